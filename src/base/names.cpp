#include "base/names.h"

#include <sstream>

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
constexpr std::string_view syncFolderPrefix = "Brindell-", syncFolderSuffix = ".brindell-sync";

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

std::string syncFolderName(std::string_view workspaceId) {
  std::string name(syncFolderPrefix);
  name += workspaceId;
  name += syncFolderSuffix;
  return name;
}

bool isSyncFolderName(std::string_view name) {
  return name.size() == syncFolderPrefix.size() + 36 + syncFolderSuffix.size() &&
         name.starts_with(syncFolderPrefix) && name.ends_with(syncFolderSuffix) &&
         validID(name.substr(syncFolderPrefix.size(), 36));
}

std::string inQuotes(std::string_view name) {
  return "\u201C" + std::string(name) + "\u201D";
}

std::vector<std::string> pathComponents(std::string_view path) {
  std::vector<std::string> components;
  std::istringstream parts{std::string(path)};
  for (std::string component; std::getline(parts, component, '/');) {
    if (!component.empty()) components.push_back(std::move(component));
  }
  return components;
}

std::string normalizedPath(std::string_view path) {
  std::string normalized;
  for (const std::string& component : pathComponents(path)) {
    normalized += '/';
    normalized += component;
  }
  return normalized.empty() ? "/" : normalized;
}

std::string lastComponent(std::string_view path) {
  const std::size_t end = path.find_last_not_of('/');
  if (end == path.npos) return "/";
  const std::size_t slash = path.rfind('/', end);
  const std::size_t start = slash == path.npos ? 0 : slash + 1;
  return std::string(path.substr(start, end + 1 - start));
}

std::string appendComponent(std::string_view path, std::string_view name) {
  std::string joined = normalizedPath(path);
  if (joined != "/") joined += '/';
  joined += name;
  return joined;
}

}  // namespace brindell
