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
  std::string normalized;
  for (const std::string& component : pathComponents(path)) {
    normalized += '/';
    normalized += component;
  }
  return normalized.empty() ? "/" : normalized;
}

std::string lastComponent(std::string_view path) {
  const std::vector<std::string> components = pathComponents(path);
  return components.empty() ? "/" : components.back();
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

std::string displayName(std::string_view name) {
  std::string shown;
  shown.reserve(name.size());
  const auto* bytes = reinterpret_cast<const unsigned char*>(name.data());
  std::size_t i = 0;
  while (i < name.size()) {
    const unsigned char lead = bytes[i];
    std::size_t length = 0;
    unsigned char low = 0x80, high = 0xBF;
    if (lead < 0x80) {
      length = 1;
    } else if (lead >= 0xC2 && lead <= 0xDF) {
      length = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
      length = 3;
      if (lead == 0xE0) low = 0xA0;
      if (lead == 0xED) high = 0x9F;  // no surrogates
    } else if (lead >= 0xF0 && lead <= 0xF4) {
      length = 4;
      if (lead == 0xF0) low = 0x90;
      if (lead == 0xF4) high = 0x8F;
    }
    // Replace the longest prefix of a valid sequence that stops short: one
    // U+FFFD per maximal invalid subsequence, as text decoders do.
    std::size_t valid = length == 0 ? 0 : 1;
    for (std::size_t k = 1; k < length && i + k < name.size(); ++k) {
      const unsigned char next = bytes[i + k];
      const unsigned char lo = k == 1 ? low : 0x80;
      const unsigned char hi = k == 1 ? high : 0xBF;
      if (next < lo || next > hi) break;
      ++valid;
    }
    if (length != 0 && valid == length) {
      shown.append(name.substr(i, length));
      i += length;
    } else {
      shown += "\xEF\xBF\xBD";
      i += valid == 0 ? 1 : valid;
    }
  }
  return shown;
}

}  // namespace brindell
