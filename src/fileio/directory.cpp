#include "fileio/directory.h"

#include <dirent.h>
#include <fcntl.h>
#include <linux/openat2.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <memory>

#include "base/names.h"
#include "base/sync_failure.h"
#include "base/wording.h"

namespace brindell {
namespace {

constexpr std::string_view inspectPath = "Cannot inspect the sync path";

SyncFailure missing() {
  return SyncFailure{
      Code::missing,
      "The selected sync folder or file is unavailable. Restore access or wait for " +
          std::string(syncService) + ", then retry."};
}

// The kind checks every component of a path passes, the last one included.
void checkKind(const struct stat& status, bool directoryExpected) {
  if (S_ISLNK(status.st_mode)) {
    throw SyncFailure{Code::unsafePath,
                      "Sync paths cannot contain symbolic links. Select the actual folder."};
  }
  if (directoryExpected ? !S_ISDIR(status.st_mode) : !S_ISREG(status.st_mode)) {
    throw SyncFailure{Code::unsafePath, "The sync path contains an unexpected filesystem item."};
  }
}

// One component below `parent` (a descriptor), checked as a directory and
// held. O_PATH with O_NOFOLLOW opens a link or a FIFO as itself, without
// following or blocking, so that fstat tells what it is.
Directory openComponent(int parent, std::string_view name, std::string path) {
  FileDescriptor held(::openat(parent, std::string(name).c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC));
  struct stat status;
  if (!held.valid()) {
    if (errno == ENOENT) throw missing();
    throw posixFailure(inspectPath, errno);
  }
  if (::fstat(held.get(), &status) != 0) throw posixFailure(inspectPath, errno);
  checkKind(status, true);
  return Directory{std::move(held), std::move(path), status.st_dev, status.st_ino};
}

// Set once the kernel (or a sandbox in front of it) has shown it lacks
// openat2; the walk then serves every later call.
bool openat2Missing = false;

// The directory at an absolute path, resolved by the kernel in one call that
// refuses a link anywhere on it (ELOOP); ENOSYS where openat2 is missing.
// Invalid, with errno set, on failure.
FileDescriptor resolvedInOneCall(const std::string& path) {
  if (!openat2Missing) {
    open_how how{};
    how.flags = O_PATH | O_DIRECTORY | O_CLOEXEC;
    how.resolve = RESOLVE_NO_SYMLINKS;
    const long fd = ::syscall(SYS_openat2, AT_FDCWD, path.c_str(), &how, sizeof how);
    if (fd >= 0) return FileDescriptor(static_cast<int>(fd));
    // EPERM is what a seccomp filter answers for an unknown system call; a
    // genuine permission refusal is answered again by the walk.
    if (errno != ENOSYS && errno != EPERM) return FileDescriptor();
    openat2Missing = true;
  }
  errno = ENOSYS;
  return FileDescriptor();
}

}  // namespace

std::string Directory::pathOf(std::string_view name) const {
  return name.empty() ? path : appendComponent(path, name);
}

Directory openDirectory(const std::string& path) {
  Directory directory = openComponent(AT_FDCWD, "/", "/");
  for (const std::string& component : pathComponents(path)) {
    Directory next = openComponent(directory.descriptor.get(), component,
                                   appendComponent(directory.path, component));
    directory = std::move(next);
  }
  return directory;
}

Directory openChildDirectory(const Directory& parent, std::string_view name) {
  return openComponent(parent.descriptor.get(), name, parent.pathOf(name));
}

Directory openParentDirectory(const Directory& directory) {
  const std::size_t slash = directory.path.rfind('/');
  return openComponent(
      directory.descriptor.get(), "..",
      slash == 0 || slash == std::string::npos ? "/" : directory.path.substr(0, slash));
}

bool inspect(const Directory& directory, std::string_view name, struct stat& status) {
  return (name.empty() ? ::fstat(directory.descriptor.get(), &status)
                       : ::fstatat(directory.descriptor.get(), std::string(name).c_str(), &status,
                                   AT_SYMLINK_NOFOLLOW)) == 0;
}

std::string descriptorPath(int descriptor) {
  return "/proc/self/fd/" + std::to_string(descriptor);
}

std::optional<struct stat> itemStatus(const Directory& directory, std::string_view name,
                                      std::string_view failurePrefix) {
  struct stat status;
  if (inspect(directory, name, status)) return status;
  if (errno == ENOENT) return std::nullopt;
  throw posixFailure(failurePrefix, errno);
}

bool exists(const Directory& directory, std::string_view name) {
  return itemStatus(directory, name, "Cannot inspect " + std::string(name)).has_value();
}

void validateItem(const Directory& directory, std::string_view name, ItemRule rule) {
  const std::optional<struct stat> status = itemStatus(directory, name, inspectPath);
  if (!status) {
    if (rule.allowMissing) return;
    throw missing();
  }
  checkKind(*status, rule.directory);
}

void requireOwnItem(const struct stat& status, std::string_view name) {
  if (status.st_uid == ::geteuid() && (status.st_mode & (S_IWGRP | S_IWOTH)) == 0) return;
  if (name.empty()) {
    throw SyncFailure{Code::unsafePath,
                      "The sync folder belongs to another user or can be changed by other users. "
                      "Select a folder that only you can change."};
  }
  throw SyncFailure{Code::unsafePath, std::string(name) +
                                          " belongs to another user or can be changed by other "
                                          "users. It was left as it is; select a sync folder that "
                                          "only you can change."};
}

void requireOwnDirectory(const Directory& directory) {
  struct stat status;
  if (::fstat(directory.descriptor.get(), &status) != 0) throw posixFailure(inspectPath, errno);
  requireOwnItem(status, "");
}

bool stillAtItsPath(const Directory& directory) {
  const FileDescriptor now = resolvedInOneCall(directory.path);
  if (!now.valid()) {
    // Nothing at the path, or a link or a file on it: the folder moved.
    if (errno == ENOENT || errno == ELOOP || errno == ENOTDIR) return false;
    // Not resolved in one call, which says nothing of a move: no openat2,
    // or a path too long for one call (the longest a request may name is,
    // with its final NUL). Walked again the way the request first opened it,
    // one component at a time, which needs no more than search permission.
    try {
      const Directory again = openDirectory(directory.path);
      return again.device == directory.device && again.inode == directory.inode;
    } catch (const SyncFailure& failure) {
      if (failure.code == Code::missing || failure.code == Code::unsafePath) return false;
      throw;
    }
  }
  struct stat status;
  if (::fstat(now.get(), &status) != 0) throw posixFailure(inspectPath, errno);
  return status.st_dev == directory.device && status.st_ino == directory.inode;
}

FileDescriptor openForReading(const Directory& directory) {
  return FileDescriptor(
      ::openat(directory.descriptor.get(), ".", O_RDONLY | O_DIRECTORY | O_NONBLOCK | O_CLOEXEC));
}

int forEachEntry(const Directory& directory,
                 const std::function<bool(std::string_view name)>& visit, long* position) {
  FileDescriptor readable = openForReading(directory);
  DIR* opened = readable.valid() ? ::fdopendir(readable.get()) : nullptr;
  if (opened == nullptr) return -1;
  readable.release();
  const std::unique_ptr<DIR, int (*)(DIR*)> stream(opened, ::closedir);
  if (position != nullptr && *position != 0) ::seekdir(stream.get(), *position);
  for (;;) {
    errno = 0;
    const dirent* entry = ::readdir(stream.get());
    if (entry == nullptr) {
      if (position != nullptr) *position = 0;
      return errno;
    }
    const std::string_view name = entry->d_name;
    if (name != "." && name != ".." && !visit(name)) {
      if (position != nullptr) *position = ::telldir(stream.get());
      return 0;
    }
  }
}

}  // namespace brindell
