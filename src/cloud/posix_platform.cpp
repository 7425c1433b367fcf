#include "cloud/posix_platform.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <ctime>
#include <memory>
#include <random>
#include <thread>
#include <utility>
#include <vector>

#include "fileio/safe_path.h"
#include "validation/paths.h"

namespace brindell {
namespace {

using Clock = std::chrono::steady_clock;

constexpr std::string_view stagingPrefix = ".brindell-staging-";
constexpr std::size_t stagingSuffixLength = 6;
// A staging directory exists unlocked for a moment between its creation and
// its lock; only one older than this can have been left by a dead helper.
constexpr std::time_t staleStagingSeconds = 60;
constexpr int maximumStagingNameAttempts = 100;
// Staging trees are a few levels deep; anything deeper is not ours.
constexpr int maximumRemovalDepth = 16;
constexpr std::chrono::milliseconds lockPollInterval{10};

std::string quoted(std::string_view name) {
  return "\u201C" + std::string(name) + "\u201D";
}

PlatformError systemError(const std::string& phrase, int error) {
  return PlatformError{phrase + ": " + std::strerror(error) + "."};
}

FileDescriptor openDirectory(const std::string& path) {
  return openWithoutLinks(path, O_RDONLY | O_DIRECTORY | O_NONBLOCK);
}

FileDescriptor openChildDirectory(int parent, const std::string& name) {
  return FileDescriptor(
      ::openat(parent, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
}

struct DirectoryStreamCloser {
  void operator()(DIR* stream) const { ::closedir(stream); }
};
using DirectoryStream = std::unique_ptr<DIR, DirectoryStreamCloser>;

// The stream takes the descriptor over only when it could be made.
DirectoryStream openDirectoryStream(FileDescriptor directory) {
  DIR* stream = ::fdopendir(directory.get());
  if (stream != nullptr) directory.release();
  return DirectoryStream(stream);
}

bool isDotOrDotDot(const char* name) {
  return std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0;
}

// The names in a directory, read through a fresh open of it so that the
// caller's descriptor keeps its own offset. Read errors end the list.
std::vector<std::string> entryNames(int directory) {
  std::vector<std::string> names;
  DirectoryStream stream = openDirectoryStream(
      FileDescriptor(::openat(directory, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC)));
  if (!stream) return names;
  while (const dirent* entry = ::readdir(stream.get())) {
    if (!isDotOrDotDot(entry->d_name)) names.emplace_back(entry->d_name);
  }
  return names;
}

// Removes one entry of `parent` and, for a directory, everything below it.
// unlinkat removes a symbolic link itself, and O_NOFOLLOW keeps a link swapped
// in for a directory from being entered.
void removeEntry(int parent, const std::string& name, int depth) {
  if (::unlinkat(parent, name.c_str(), 0) == 0) return;
  if (depth >= maximumRemovalDepth) return;
  FileDescriptor directory = openChildDirectory(parent, name);
  if (!directory.valid()) return;
  for (const std::string& child : entryNames(directory.get())) {
    removeEntry(directory.get(), child, depth + 1);
  }
  ::unlinkat(parent, name.c_str(), AT_REMOVEDIR);
}

bool isStagingName(std::string_view name) {
  return name.size() == stagingPrefix.size() + stagingSuffixLength &&
         name.substr(0, stagingPrefix.size()) == stagingPrefix;
}

// Removes staging directories that helpers killed before their clean-up left
// in `parent`: only real directories of our name pattern, owned by us, old
// enough, and not locked by a living helper. Every error is ignored.
void removeStaleStagingDirectories(int parent) {
  const std::time_t now = std::time(nullptr);
  for (const std::string& name : entryNames(parent)) {
    if (!isStagingName(name)) continue;
    struct stat status;
    if (::fstatat(parent, name.c_str(), &status, AT_SYMLINK_NOFOLLOW) != 0) continue;
    if (!S_ISDIR(status.st_mode) || status.st_uid != ::geteuid()) continue;
    if (now - status.st_mtime <= staleStagingSeconds) continue;
    FileDescriptor directory = openChildDirectory(parent, name);
    struct stat opened;
    if (!directory.valid() || ::fstat(directory.get(), &opened) != 0) continue;
    if (opened.st_dev != status.st_dev || opened.st_ino != status.st_ino) continue;
    // Held while removing, so that two cleaners never work on one directory.
    if (::flock(directory.get(), LOCK_EX | LOCK_NB) != 0) continue;
    removeEntry(parent, name, 0);
  }
}

std::string randomStagingSuffix() {
  static constexpr char alphabet[] =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
  std::random_device device;
  std::uniform_int_distribution<std::size_t> pick(0, sizeof alphabet - 2);
  std::string suffix;
  for (std::size_t i = 0; i < stagingSuffixLength; ++i) suffix += alphabet[pick(device)];
  return suffix;
}

std::string describeDuration(std::chrono::milliseconds duration) {
  const long long count = duration.count();
  if (count % 1000 != 0) return std::to_string(count) + " milliseconds";
  return std::to_string(count / 1000) + (count == 1000 ? " second" : " seconds");
}

// The directory whose lock stands for an item, and the item's name inside it
// (empty when the item is that directory).
struct LockTarget {
  std::string directoryPath;
  std::string itemName;
  FileDescriptor directory;
};

LockTarget lockTarget(const std::string& path) {
  FileDescriptor itself = openDirectory(path);
  if (itself.valid()) return LockTarget{path, "", std::move(itself)};
  int error = errno;
  // Not a directory, not there yet, or a link: the directory holding it
  // stands for it. A link further up fails there too.
  if (error == ENOTDIR || error == ENOENT || error == ELOOP) {
    std::string parent = parentPath(path);
    FileDescriptor holder = openDirectory(parent);
    if (holder.valid())
      return LockTarget{std::move(parent), lastComponent(path), std::move(holder)};
    error = errno;
  }
  throw systemError("Cannot coordinate access to " + path, error);
}

void lockWithin(const LockTarget& target, int operation, Clock::time_point deadline,
                const std::string& path, std::chrono::milliseconds bound) {
  for (;;) {
    if (::flock(target.directory.get(), operation | LOCK_NB) == 0) return;
    const int error = errno;
    if (error == EINTR) continue;
    if (error != EWOULDBLOCK) {
      throw systemError("Cannot coordinate access to " + path, error);
    }
    const Clock::time_point now = Clock::now();
    if (now >= deadline) {
      throw PlatformError{"Timed out after " + describeDuration(bound) +
                          " waiting for coordinated access to " + path + "."};
    }
    std::this_thread::sleep_for(std::min<Clock::duration>(deadline - now, lockPollInterval));
  }
}

bool sameDirectory(const FileDescriptor& a, const FileDescriptor& b) {
  struct stat first, second;
  return ::fstat(a.get(), &first) == 0 && ::fstat(b.get(), &second) == 0 &&
         first.st_dev == second.st_dev && first.st_ino == second.st_ino;
}

// The device and inode of an opened directory. A failed fstat is an error: taken
// for another directory, it would have the helper wait on its own lock.
std::pair<dev_t, ino_t> directoryIdentity(const FileDescriptor& directory,
                                          const std::string& path) {
  struct stat status;
  if (::fstat(directory.get(), &status) != 0) {
    const int error = errno;
    throw systemError("Cannot coordinate access to " + path, error);
  }
  return {status.st_dev, status.st_ino};
}

// The path to hand the accessor: the requested one while the locked directory
// still sits at its path; otherwise where the item is now, or "" when that
// cannot be told. Never the requested path for an item that moved.
std::string handedPath(const std::string& requested, const LockTarget& target) {
  FileDescriptor named = openDirectory(target.directoryPath);
  if (named.valid() && sameDirectory(named, target.directory)) return requested;

  char link[PATH_MAX];
  const std::string procPath = "/proc/self/fd/" + std::to_string(target.directory.get());
  const ssize_t length = ::readlink(procPath.c_str(), link, sizeof link);
  if (length <= 0 || static_cast<std::size_t>(length) >= sizeof link || link[0] != '/') return "";
  const std::string current(link, static_cast<std::size_t>(length));
  std::string handed =
      target.itemName.empty() ? current : appendComponent(current, target.itemName);
  return handed == requested ? "" : handed;
}

}  // namespace

PosixPlatform::PosixPlatform(std::chrono::milliseconds coordinationTimeout)
    : coordinationTimeout_(coordinationTimeout) {}

std::optional<PlatformError> PosixPlatform::coordinate(const std::string& path, int lockOperation,
                                                       const Accessor& accessor) {
  LockTarget target;
  std::string handed;
  try {
    target = lockTarget(path);
    lockWithin(target, lockOperation, Clock::now() + coordinationTimeout_, path,
               coordinationTimeout_);
    handed = handedPath(path, target);
  } catch (const PlatformError& error) {
    return error;
  }
  // The lock goes with `target` when the accessor returns or throws.
  accessor(handed);
  return std::nullopt;
}

std::optional<PlatformError> PosixPlatform::coordinateReading(const std::string& path, int,
                                                              const Accessor& accessor) {
  return coordinate(path, LOCK_SH, accessor);
}

std::optional<PlatformError> PosixPlatform::coordinateWriting(const std::string& path, int,
                                                              const Accessor& accessor) {
  return coordinate(path, LOCK_EX, accessor);
}

std::optional<PlatformError> PosixPlatform::coordinateReadingAndWriting(
    const std::string& readingPath, int, const std::string& writingPath, int,
    const ReadingWritingAccessor& accessor) {
  LockTarget writing, reading;
  std::string handedWriting, handedReading;
  try {
    // Both are opened before the wait, so that a move during the wait shows.
    writing = lockTarget(writingPath);
    reading = lockTarget(readingPath);
    const Clock::time_point deadline = Clock::now() + coordinationTimeout_;
    lockWithin(writing, LOCK_EX, deadline, writingPath, coordinationTimeout_);
    // A second lock of the same directory would wait for our own write lock,
    // which already covers the reading item.
    if (directoryIdentity(reading.directory, readingPath) !=
        directoryIdentity(writing.directory, writingPath)) {
      lockWithin(reading, LOCK_SH, deadline, readingPath, coordinationTimeout_);
    }
    handedWriting = handedPath(writingPath, writing);
    handedReading = handedPath(readingPath, reading);
  } catch (const PlatformError& error) {
    return error;
  }
  accessor(handedReading, handedWriting);
  return std::nullopt;
}

ResourceValues PosixPlatform::promisedResourceValues(const std::string& path) {
  return resourceValues(path);
}

ResourceValues PosixPlatform::resourceValues(const std::string& path) {
  struct stat status;
  if (::lstat(path.c_str(), &status) != 0) {
    const int error = errno;
    throw systemError("Cannot read the attributes of " + quoted(lastComponent(path)), error);
  }
  ResourceValues values;
  values.isRegularFile = S_ISREG(status.st_mode);
  values.isDirectory = S_ISDIR(status.st_mode);
  values.isSymbolicLink = S_ISLNK(status.st_mode);
  values.isAliasFile = false;
  // As on a cloud-drive platform, only a regular file has a file size.
  if (S_ISREG(status.st_mode)) values.fileSize = static_cast<std::int64_t>(status.st_size);
  return values;
}

std::size_t PosixPlatform::unresolvedConflictVersionCount(const std::string&) {
  return 0;
}

void PosixPlatform::startDownloading(const std::string& path) {
  throw PlatformError{lastComponent(path) +
                      " is not in a cloud drive, so it cannot be downloaded."};
}

std::string PosixPlatform::itemReplacementDirectory(const std::string& destination) {
  const std::string parent = parentPath(destination);
  const std::string failure =
      "Cannot create a staging directory in " + quoted(lastComponent(parent));
  FileDescriptor directory = openDirectory(parent);
  if (!directory.valid()) {
    const int error = errno;
    throw systemError(failure, error);
  }
  removeStaleStagingDirectories(directory.get());

  for (int attempt = 0; attempt < maximumStagingNameAttempts; ++attempt) {
    const std::string name = std::string(stagingPrefix) + randomStagingSuffix();
    if (::mkdirat(directory.get(), name.c_str(), 0700) != 0) {
      const int error = errno;
      if (error == EEXIST) continue;
      throw systemError(failure, error);
    }
    FileDescriptor staging = openChildDirectory(directory.get(), name);
    if (!staging.valid() || ::fchmod(staging.get(), 0700) != 0 ||
        ::flock(staging.get(), LOCK_EX | LOCK_NB) != 0) {
      const PlatformError error = systemError(failure, errno);
      ::unlinkat(directory.get(), name.c_str(), AT_REMOVEDIR);
      throw error;
    }
    std::string path = appendComponent(parent, name);
    stagingDirectories_.insert_or_assign(path, Staging{std::move(directory), std::move(staging)});
    return path;
  }
  throw PlatformError{failure + ": every name tried was taken."};
}

void PosixPlatform::createDirectory(const std::string& path, mode_t permissions) {
  const std::string failure = "Cannot create directory " + quoted(lastComponent(path));
  FileDescriptor parent = openParentWithoutLinks(path);
  const std::string name = lastComponent(path);
  if (!parent.valid() || ::mkdirat(parent.get(), name.c_str(), permissions) != 0) {
    const int error = errno;
    throw systemError(failure, error);
  }
  // mkdir applies the umask; the caller asked for these exact permissions.
  FileDescriptor created = openChildDirectory(parent.get(), name);
  if (!created.valid() || ::fchmod(created.get(), permissions) != 0) {
    const int error = errno;
    throw systemError("Cannot set the permissions of directory " + quoted(name), error);
  }
}

void PosixPlatform::removeItem(const std::string& path) noexcept {
  try {
    const std::vector<std::string> components = pathComponents(path);
    // Never the root, and never a "." or ".." that would name an ancestor.
    if (!components.empty() && components.back() != "." && components.back() != "..") {
      // A staging directory of ours is removed through the parent it was
      // made in, so a link swapped in on the path meanwhile cannot keep it
      // from going (or send the removal elsewhere).
      const auto ours = stagingDirectories_.find(normalizedPath(path));
      if (ours != stagingDirectories_.end()) {
        removeEntry(ours->second.parent.get(), components.back(), 0);
        stagingDirectories_.erase(ours);
      } else {
        const FileDescriptor parent = openParentWithoutLinks(path);
        if (parent.valid()) removeEntry(parent.get(), components.back(), 0);
      }
    }
  } catch (...) {
    // Removal is best effort: the caller's answer never depends on it.
  }
}

bool PosixPlatform::enumerateDirectory(const std::string& path, const EntryVisitor& visit,
                                       const EnumerationErrorHandler& errorHandler) {
  DirectoryStream stream = openDirectoryStream(openDirectory(path));
  if (!stream) return false;
  for (;;) {
    errno = 0;
    const dirent* entry = ::readdir(stream.get());
    if (entry == nullptr) {
      if (errno != 0) {
        const int error = errno;
        errorHandler(systemError("Cannot list " + quoted(lastComponent(path)), error));
      }
      return true;
    }
    if (!isDotOrDotDot(entry->d_name)) visit(appendComponent(path, entry->d_name));
  }
}

}  // namespace brindell
