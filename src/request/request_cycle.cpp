#include "request/request_cycle.h"

#include <poll.h>
#include <sys/uio.h>

#include <cstring>
#include <new>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "base/limits.h"
#include "base/sync_failure.h"
#include "json/json.h"
#include "request/dispatch.h"
#include "system/file_system.h"

namespace brindell {
namespace {

constexpr std::size_t requestChunkBytes = 65'536;

// Whether a call on the stream that failed with `error` is worth making
// again, after waiting until it is. A caller may hand over a stream it made
// non-blocking for its own use: the flag belongs to the stream, shared by
// every process that holds it, and such a stream answers EAGAIN where a
// blocking one waits.
bool waitedFor(int stream, short events, int error) {
  return error == EAGAIN && fileSystem().wait(stream, events) == 0;
}

// Reads the request to end of file. Each read asks for no more than the
// limit plus one byte minus what is held, so an endless input costs at most
// that much memory and is refused without being read to its end. A request
// that does not fit the first chunk gets room for the limit at once: growing
// step by step would copy a large request several times over and fault in
// fresh pages for each copy, while room reserved and never written costs
// nothing. Each block of it past the first is asked for as a huge page just
// before the request reaches it, so a request costs at most the rest of one
// block beyond its size.
ByteBuffer readRequest(int input) {
  const auto limit = static_cast<std::size_t>(maximumRequestBytes);
  ByteBuffer bytes(requestChunkBytes);
  for (;;) {
    if (bytes.size() == bytes.capacity()) bytes.grow(limit + 1);
    const std::size_t held = bytes.size();
    const std::size_t request = std::min(requestChunkBytes, bytes.capacity() - held);
    bytes.preferHugePages(held, held + request);
    std::size_t n = 0;
    int error;
    do {
      error = fileSystem().read(input, bytes.data() + held, request, n);
    } while (waitedFor(input, POLLIN, error));
    if (error != 0) throw platformFailure("The helper could not read its request", error);
    if (n == 0) return bytes;
    bytes.setSize(held + n);
    if (bytes.size() > limit) {
      throw SyncFailure{Code::capacity, "The helper request exceeds its supported size."};
    }
  }
}

JsonValue failureEnvelope(Code code, std::string message) {
  return JsonValue::Object{{"ok", false},
                           {"error", JsonValue::Object{{"code", std::string(codeText(code))},
                                                       {"message", std::move(message)}}}};
}

// A pipe may take the answer in parts, be interrupted by a signal or, when
// non-blocking, be full for a while; a truncated answer would be a corrupted
// one, so the write goes on until every byte is out or the reader is gone.
bool writeAll(int output, std::vector<iovec> pieces) {
  std::size_t first = 0;
  while (first < pieces.size()) {
    std::size_t taken = 0;
    const int error = fileSystem().write(output, pieces.data() + first,
                                         static_cast<int>(pieces.size() - first), taken);
    if (waitedFor(output, POLLOUT, error)) continue;
    if (error != 0 || taken == 0) return false;
    while (first < pieces.size() && taken >= pieces[first].iov_len)
      taken -= pieces[first++].iov_len;
    if (first < pieces.size()) {
      pieces[first].iov_base = static_cast<char*>(pieces[first].iov_base) + taken;
      pieces[first].iov_len -= taken;
    }
  }
  return true;
}

iovec piece(std::string_view bytes) {
  return iovec{const_cast<char*>(bytes.data()), bytes.size()};
}

// A result that is a whole stored document already in canonical form, as
// every history file this helper wrote is.
const JsonDocument* canonicalStoredDocument(const JsonValue& result) {
  const auto* embedded = std::get_if<JsonValue::Embedded>(&result.data());
  if (embedded == nullptr) return nullptr;
  const JsonDocument& document = *embedded->document;
  if (embedded->view.node() != JsonDocument::rootNode || !document.canonical()) return nullptr;
  return &document;
}

}  // namespace

std::array<std::string_view, 3> successAnswer(const JsonValue& result, std::string& scratch) {
  if (const JsonDocument* stored = canonicalStoredDocument(result)) {
    return {R"({"ok":true,"result":)", stored->source(), "}\n"};
  }
  appendCanonicalJson(scratch, JsonValue::Object{{"ok", true}, {"result", result}});
  scratch += '\n';
  return {scratch, {}, {}};
}

int serveRequest(Platform& platform, int input, int output) {
  int status = 1;
  std::string response;
  std::array<std::string_view, 3> answer;
  try {
    JsonValue result;
    std::optional<SyncFailure> failure;
    try {
      const JsonObject request = parseObject(readRequest(input));
      result = execute(platform, request);
      status = 0;
    } catch (const SyncFailure& failed) {
      failure = failed;
    } catch (const std::bad_alloc&) {
      failure = platformFailure("The helper ran out of memory.");
    } catch (...) {
      failure = platformFailure("An unexpected internal error occurred.");
    }
    if (failure) {
      appendCanonicalJson(response, failureEnvelope(failure->code, std::move(failure->message)));
      response += '\n';
      answer = {response, {}, {}};
    } else {
      answer = successAnswer(result, response);
    }
    // The result may hold the stored document the answer points into.
    const bool written = writeAll(output, {piece(answer[0]), piece(answer[1]), piece(answer[2])});
    return written ? status : 1;
  } catch (...) {
    // Without memory for the answer nothing can be written.
    return 1;
  }
}

}  // namespace brindell
