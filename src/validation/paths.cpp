#include "validation/paths.h"

#include <sys/stat.h>

#include <cerrno>

#include "request/sync_failure.h"

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
  // Paths are normalised for every entry of a listing; most already are.
  const bool alreadyNormal = path.starts_with('/') && path.find("//") == path.npos &&
                             (path.size() == 1 || !path.ends_with('/'));
  if (alreadyNormal) return std::string(path);
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

std::string parentPath(std::string_view path) {
  std::string normalized = normalizedPath(path);
  const std::size_t slash = normalized.rfind('/');
  return slash == 0 ? "/" : normalized.substr(0, slash);
}

bool exists(const std::string& path) {
  struct stat status;
  if (::lstat(path.c_str(), &status) == 0) return true;
  if (errno == ENOENT) return false;
  throw posixFailure("Cannot inspect " + lastComponent(path));
}

void validatePath(const std::string& path, bool directory, bool allowMissingLeaf) {
  const std::vector<std::string> components = pathComponents(path);
  std::string cursor;
  for (std::size_t i = 0; i < components.size(); ++i) {
    const bool last = i + 1 == components.size();
    cursor += '/';
    cursor += components[i];
    struct stat status;
    if (::lstat(cursor.c_str(), &status) != 0) {
      if (errno == ENOENT && allowMissingLeaf && last) return;
      if (errno == ENOENT) {
        throw SyncFailure{"SYNC_MISSING",
                          "The selected sync folder or file is unavailable. Restore access or wait "
                          "for iCloud Drive, then retry."};
      }
      throw posixFailure("Cannot inspect the sync path");
    }
    const mode_t kind = status.st_mode & S_IFMT;
    if (kind == S_IFLNK) {
      throw SyncFailure{"SYNC_UNSAFE_PATH",
                        "Sync paths cannot contain symbolic links. Select the actual folder."};
    }
    const mode_t expected = (!last || directory) ? S_IFDIR : S_IFREG;
    if (kind != expected) {
      throw SyncFailure{"SYNC_UNSAFE_PATH",
                        "The sync path contains an unexpected filesystem item."};
    }
  }
}

}  // namespace brindell
