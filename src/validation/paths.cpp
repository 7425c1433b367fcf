#include "validation/paths.h"

namespace brindell {

std::vector<std::string> pathComponents(std::string_view path) {
  std::vector<std::string> components;
  std::size_t start = 0;
  while (start <= path.size()) {
    std::size_t end = path.find('/', start);
    if (end == std::string_view::npos) end = path.size();
    if (end > start) components.emplace_back(path.substr(start, end - start));
    start = end + 1;
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
