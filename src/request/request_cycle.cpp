#include "request/request_cycle.h"

#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <new>
#include <string>

#include "cloud/platform_error.h"
#include "fileio/json.h"
#include "request/dispatch.h"
#include "request/limits.h"
#include "request/sync_failure.h"

namespace brindell {
namespace {

constexpr std::size_t requestChunkBytes = 65'536;

// Reads the request to end of file. Each read asks for no more than the
// limit plus one byte minus what is held, so an endless input costs at most
// that much memory and is refused without being read to its end.
std::string readRequest(int input) {
  const auto limit = static_cast<std::size_t>(maximumRequestBytes);
  std::string bytes;
  for (;;) {
    const std::size_t request = std::min(requestChunkBytes, limit + 1 - bytes.size());
    const std::size_t held = bytes.size();
    bytes.resize(held + request);
    ssize_t n;
    do {
      n = ::read(input, bytes.data() + held, request);
    } while (n < 0 && errno == EINTR);
    if (n < 0) {
      throw PlatformError{std::string("The helper could not read its request: ") +
                          std::strerror(errno) + "."};
    }
    bytes.resize(held + static_cast<std::size_t>(n));
    if (n == 0) return bytes;
    if (bytes.size() > limit) {
      throw SyncFailure{"SYNC_CAPACITY", "The helper request exceeds its supported size."};
    }
  }
}

JsonValue failureEnvelope(std::string code, std::string message) {
  return JsonValue::Object{
      {"ok", false},
      {"error", JsonValue::Object{{"code", std::move(code)}, {"message", std::move(message)}}}};
}

JsonValue ioFailureEnvelope(const std::string& description) {
  return failureEnvelope("SYNC_IO", "Sync folder access failed: " + description +
                                        " Local workspace data is unchanged.");
}

// A pipe may take the answer in parts or be interrupted by a signal; a
// truncated answer would be a corrupted one, so the write goes on until every
// byte is out or the reader is gone.
bool writeAll(int output, const std::string& bytes) {
  std::size_t written = 0;
  while (written < bytes.size()) {
    const ssize_t n = ::write(output, bytes.data() + written, bytes.size() - written);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    written += static_cast<std::size_t>(n);
  }
  return true;
}

}  // namespace

int serveRequest(Platform& platform, int input, int output) {
  int status = 1;
  std::string response;
  try {
    JsonValue envelope;
    try {
      const JsonObject request = parseObject(readRequest(input));
      envelope = JsonValue::Object{{"ok", true}, {"result", execute(platform, request)}};
      status = 0;
    } catch (const SyncFailure& failure) {
      envelope = failureEnvelope(failure.code, failure.message);
    } catch (const PlatformError& error) {
      envelope = ioFailureEnvelope(error.description);
    } catch (const std::bad_alloc&) {
      envelope = ioFailureEnvelope("The helper ran out of memory.");
    } catch (...) {
      envelope = ioFailureEnvelope("An unexpected internal error occurred.");
    }
    appendCanonicalJson(response, envelope);
    response += '\n';
  } catch (...) {
    // Without memory for the answer nothing can be written.
    return 1;
  }
  return writeAll(output, response) ? status : 1;
}

}  // namespace brindell
