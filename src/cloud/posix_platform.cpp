#include "cloud/posix_platform.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>

#include <algorithm>
#include <thread>

#include "base/names.h"
#include "fileio/private_directory.h"
#include "system/file_system.h"

namespace brindell {
namespace {

using Clock = std::chrono::steady_clock;

constexpr std::chrono::milliseconds lockPollInterval{10};

std::string itemName(const Directory& directory, std::string_view name) {
  return name.empty() ? lastComponent(directory.path) : std::string(name);
}

// Where the held directory is now, or "" when that cannot be told.
std::string currentPath(int descriptor) {
  std::string now;
  if (fileSystem().descriptorTarget(descriptor, now) != 0 || !now.starts_with('/')) return "";
  return now;
}

// The path an item of the directory is to be used at now: the requested one
// while the directory has not moved, never the requested one when it has.
std::string handedPath(const Directory& directory, std::string_view name,
                       const std::string& directoryNow) {
  if (directoryNow == directory.path) return directory.pathOf(name);
  if (directoryNow.empty()) return "";
  // Both paths are normalised, so a directory elsewhere names its items elsewhere.
  return name.empty() ? directoryNow : appendComponent(directoryNow, name);
}

}  // namespace

void PosixPlatform::coordinate(const Directory& directory, int lockOperation,
                               const std::function<void(bool moved)>& run) {
  const std::string name = inQuotes(lastComponent(directory.path));
  // Each directory's lock is a file of its own in a directory only this
  // user can reach, named by the directory's device and inode, so it is
  // the checked directory that is locked whatever its path names by now. A
  // lock on the directory itself could be taken by anyone who may read it,
  // and held to stall every request.
  FileSystem& files = fileSystem();
  FileDescriptor lock;
  if (const int error =
          files.open(privateDirectory().descriptor.get(), privateEntryName(directory, ".lock"),
                     O_RDONLY | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600, lock)) {
    throw platformFailure("Cannot coordinate access to " + name, error);
  }
  if (!deadline_) deadline_ = Clock::now() + maximumCoordinationWait;
  for (;;) {
    const int error = files.lock(lock.get(), lockOperation | LOCK_NB);
    if (error == 0) break;
    if (error != EWOULDBLOCK) throw platformFailure("Cannot coordinate access to " + name, error);
    const Clock::time_point now = Clock::now();
    if (now >= *deadline_) {
      throw platformFailure("Another process is holding " + name + "; gave up after waiting " +
                            std::to_string(maximumCoordinationWait.count()) + " seconds.");
    }
    std::this_thread::sleep_for(std::min<Clock::duration>(*deadline_ - now, lockPollInterval));
  }
  // The lock goes with the descriptor when the accessor returns or throws.
  run(!stillAtItsPath(directory));
}

void PosixPlatform::coordinateReading(const Directory& directory, std::string_view name, int,
                                      const Accessor& accessor) {
  coordinate(directory, LOCK_SH, [&](bool moved) {
    accessor(handedPath(directory, name,
                        moved ? currentPath(directory.descriptor.get()) : directory.path));
  });
}

void PosixPlatform::coordinateWriting(const Directory& directory, std::string_view name, int,
                                      const Accessor& accessor) {
  coordinate(directory, LOCK_EX, [&](bool moved) {
    accessor(handedPath(directory, name,
                        moved ? currentPath(directory.descriptor.get()) : directory.path));
  });
}

void PosixPlatform::coordinateReadingAndWriting(const Directory& folder,
                                                std::string_view readingName, int, int,
                                                const ReadingWritingAccessor& accessor) {
  coordinate(folder, LOCK_EX, [&](bool moved) {
    const std::string now = moved ? currentPath(folder.descriptor.get()) : folder.path;
    accessor(handedPath(folder, readingName, now), handedPath(folder, "", now));
  });
}

ResourceValues PosixPlatform::promisedResourceValues(const Directory& directory,
                                                     std::string_view name) {
  return resourceValues(directory, name);
}

ResourceValues PosixPlatform::resourceValues(const Directory& directory, std::string_view name) {
  struct stat status;
  if (const int error = inspect(directory, name, status)) {
    throw platformFailure("Cannot read the attributes of " + inQuotes(itemName(directory, name)),
                          error);
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

std::size_t PosixPlatform::unresolvedConflictVersionCount(const Directory&, std::string_view) {
  return 0;
}

void PosixPlatform::startDownloading(const Directory& directory, std::string_view name) {
  throw platformFailure(itemName(directory, name) +
                        " is not in a cloud drive, so it cannot be downloaded.");
}

bool PosixPlatform::enumerateDirectory(const Directory& folder, const EntryVisitor& visit) {
  FileDescriptor readable;
  if (openForReading(folder, readable) != 0) return false;
  long start = 0;
  if (const int error = fileSystem().readEntries(
          std::move(readable), start,
          [&](std::string_view name) { return visit(std::string(name)); })) {
    throw platformFailure("Cannot list " + inQuotes(lastComponent(folder.path)), error);
  }
  return true;
}

}  // namespace brindell
