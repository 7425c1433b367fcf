// Feeds arbitrary bytes through parsing, canonical encoding and the answer a
// read would send for them as a stored file. Aborts when a refusal is not the
// one the helper documents, when an encoding does not parse back, when
// encoding what was parsed from an encoding changes its bytes, or when the
// answer carries anything but the canonical encoding.

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

// An encoding must parse again, be recognised as canonical, and re-encode to
// the same bytes.
void checkStable(const std::string& encoded) {
  const std::optional<JsonObject> again = parsed(encoded);
  if (!again || !isCanonicalText(*again->document) || canonicalJson(again->view()) != encoded) {
    std::abort();
  }
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
    if (isCanonicalText(*object->document) != (encoded == bytes)) std::abort();
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
