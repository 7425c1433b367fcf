// Feeds arbitrary bytes through parsing, canonical encoding (into a string and
// into a sink, and its size counted apart) and the answer a read would send
// for them as a stored file.
// Aborts when a refusal is not the one the helper documents, when an encoding
// does not parse back, when encoding what was parsed from an encoding changes
// its bytes, when the ways of encoding or counting differ, when the nodes built later
// for a canonical text do not encode to it, or when the answer carries
// anything but the canonical encoding.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <string>

#include "base/sync_failure.h"
#include "json/json.h"
#include "request/request_cycle.h"

namespace {

using namespace brindell;

std::optional<JsonObject> parsed(const std::string& bytes) {
  try {
    return parseObject(bytes);
  } catch (const SyncFailure& failure) {
    if (failure.code != Code::invalidFile) std::abort();
    return std::nullopt;
  }
}

// The sink's pieces, joined, checking the size each piece promises.
std::string writtenToSink(JsonView value) {
  std::string written;
  std::size_t shortPieces = 0;
  writeCanonicalJson(value, [&](std::string_view piece) {
    if (shortPieces != 0) std::abort();  // only the last may be short
    if (piece.size() < minimumSinkPieceBytes) ++shortPieces;
    written += piece;
  });
  return written;
}

// A canonical text is validated without nodes; the nodes built when a member
// is first looked at must encode to the same text.
void checkNodesOfCanonical(const JsonObject& object) {
  JsonValue::Object members;
  const JsonView root = object.view();
  for (std::size_t i = 0; i < root.size(); ++i) {
    members.emplace_back(std::string(root.key(i)), JsonValue(object.document, root.value(i)));
  }
  if (canonicalJson(JsonValue(std::move(members))) != object.document->source()) std::abort();
}

// An encoding must parse again, be recognised as canonical, and re-encode to
// the same bytes.
void checkStable(const std::string& encoded) {
  const std::optional<JsonObject> again = parsed(encoded);
  if (!again || !again->document->canonical() || canonicalJson(again->view()) != encoded) {
    std::abort();
  }
  checkNodesOfCanonical(*again);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string bytes(reinterpret_cast<const char*>(data), size);
  const std::optional<JsonObject> object = parsed(bytes);
  if (object) {
    const std::string encoded = canonicalJson(object->view());
    // Dropping whitespace and shortening escapes never lengthens a text.
    if (encoded.size() > bytes.size()) std::abort();
    // The parser's own verdict on the text must match the encoding's.
    if (object->document->canonical() != (encoded == bytes)) std::abort();
    if (writtenToSink(object->view()) != encoded) std::abort();
    if (canonicalSize(object->view()) != encoded.size()) std::abort();
    if (canonicalSizeBound(object->view()) < encoded.size()) std::abort();
    checkStable(encoded);
    // What a read answers for this text as a stored file, by whichever path.
    std::string scratch;
    std::string answer;
    for (std::string_view piece : successAnswer(JsonValue(*object), scratch)) answer += piece;
    if (answer != R"({"ok":true,"result":)" + encoded + "}\n") std::abort();
  }

  // The same bytes as string content and as a key, where they need not be
  // valid UTF-8, next to the parsed object embedded whole.
  JsonValue::Object members{{"a", bytes}, {"b" + bytes, std::int64_t{1}}};
  if (object) members.emplace_back("c", *object);
  checkStable(canonicalJson(JsonValue(std::move(members))));
  return 0;
}
