#include "fileio/directory.h"

#include <fcntl.h>
#include <unistd.h>

#include "base/names.h"
#include "base/sync_failure.h"
#include "base/wording.h"
#include "system/file_system.h"

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
  FileDescriptor held;
  if (const int error =
          fileSystem().open(parent, std::string(name), O_PATH | O_NOFOLLOW | O_CLOEXEC, 0, held)) {
    if (error == ENOENT) throw missing();
    throw posixFailure(inspectPath, error);
  }
  struct stat status;
  if (const int error = fileSystem().status(held.get(), "", status)) {
    throw posixFailure(inspectPath, error);
  }
  checkKind(status, true);
  return Directory{std::move(held), std::move(path), status.st_dev, status.st_ino};
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

int inspect(const Directory& directory, std::string_view name, struct stat& status) {
  return fileSystem().status(directory.descriptor.get(), std::string(name), status);
}

std::optional<struct stat> itemStatus(const Directory& directory, std::string_view name,
                                      std::string_view failurePrefix) {
  struct stat status;
  const int error = inspect(directory, name, status);
  if (error == 0) return status;
  if (error == ENOENT) return std::nullopt;
  throw posixFailure(failurePrefix, error);
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
  if (const int error = inspect(directory, "", status)) throw posixFailure(inspectPath, error);
  requireOwnItem(status, "");
}

bool stillAtItsPath(const Directory& directory) {
  FileDescriptor now;
  const int error = fileSystem().openDirectoryResolved(directory.path, now);
  // Nothing at the path, or a link or a file on it: the folder moved.
  if (error == ENOENT || error == ELOOP || error == ENOTDIR) return false;
  if (error != 0) {
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
  if (const int failed = fileSystem().status(now.get(), "", status)) {
    throw posixFailure(inspectPath, failed);
  }
  return status.st_dev == directory.device && status.st_ino == directory.inode;
}

int openForReading(const Directory& directory, FileDescriptor& readable) {
  return fileSystem().open(directory.descriptor.get(), ".",
                           O_RDONLY | O_DIRECTORY | O_NONBLOCK | O_CLOEXEC, 0, readable);
}

int forEachEntry(const Directory& directory,
                 const std::function<bool(std::string_view name)>& visit, long* position) {
  FileDescriptor readable;
  if (const int error = openForReading(directory, readable)) return error;
  long start = 0;
  return fileSystem().readEntries(std::move(readable), position != nullptr ? *position : start,
                                  visit);
}

}  // namespace brindell
