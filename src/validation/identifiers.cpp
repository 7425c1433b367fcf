#include "validation/identifiers.h"

#include "request/sync_failure.h"

namespace brindell {
namespace {

bool isLowerHex(char c) {
  return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f');
}

bool isLowerHexRun(std::string_view text, std::size_t from, std::size_t count) {
  for (std::size_t i = from; i < from + count; ++i) {
    if (!isLowerHex(text[i])) return false;
  }
  return true;
}

constexpr std::string_view historySuffix = ".brindell-history.json";

}  // namespace

bool validID(std::string_view text) {
  // Matching the 8-4-4-4-12 lowercase form is all a UUID parser could add:
  // every such text is a well-formed UUID.
  if (text.size() != 36) return false;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const bool hyphen = i == 8 || i == 13 || i == 18 || i == 23;
    if (hyphen ? text[i] != '-' : !isLowerHex(text[i])) return false;
  }
  return true;
}

bool isHistoryFileName(std::string_view name) {
  if (name.size() != 36 + 1 + 64 + historySuffix.size()) return false;
  return validID(name.substr(0, 36)) && name[36] == '-' && isLowerHexRun(name, 37, 64) &&
         name.substr(101) == historySuffix;
}

std::string requiredString(JsonView object, std::string_view key) {
  const std::optional<JsonView> member = object.find(key);
  if (!member || !member->isString() || member->text().empty()) {
    throw SyncFailure{"SYNC_INVALID_REQUEST", "Missing or invalid " + std::string(key) + "."};
  }
  return std::string(member->text());
}

}  // namespace brindell
