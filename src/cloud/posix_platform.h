#pragma once

#include <chrono>
#include <map>
#include <string>

#include "cloud/platform.h"
#include "fileio/file_descriptor.h"

namespace brindell {

// The platform of a system without a cloud drive: every item is local, and
// file coordination is an advisory flock between helper processes.
//
// Coordination locks one directory: the item itself when it is a directory,
// otherwise the directory holding it (so a folder that does not exist yet is
// coordinated through its parent). Reads take the lock shared, writes
// exclusive; the combined read-and-write takes the writing item's lock
// exclusive, which also covers a reading item inside that directory. No lock
// file or other entry is ever made. Directories are opened without following
// any symbolic link and without blocking on a FIFO. A coordination that cannot
// get its lock within the bound fails with a PlatformError naming the item.
// When the locked directory no longer sits at the requested path once the lock
// is held, the accessor receives the item's current path (or "" when that
// cannot be told), never the requested one.
//
// Staging directories are hidden directories ".brindell-staging-XXXXXX"
// (mode 0700) beside the destination, in its parent: on the same file system
// and never inside the destination. Each is locked by this object until
// removeItem or the end of the process, so that another helper can tell a
// live one from one a killed helper left behind; the latter are removed when
// the next staging directory is made in the same place.
class PosixPlatform final : public Platform {
 public:
  static constexpr std::chrono::milliseconds maximumCoordinationWait{30'000};

  explicit PosixPlatform(std::chrono::milliseconds coordinationTimeout = maximumCoordinationWait);

  std::optional<PlatformError> coordinateReading(const std::string& path, int options,
                                                 const Accessor& accessor) override;
  std::optional<PlatformError> coordinateWriting(const std::string& path, int options,
                                                 const Accessor& accessor) override;
  std::optional<PlatformError> coordinateReadingAndWriting(
      const std::string& readingPath, int readingOptions, const std::string& writingPath,
      int writingOptions, const ReadingWritingAccessor& accessor) override;

  // lstat values: kind and, for a regular file, its size; alias false; every
  // cloud value absent. Both kinds of fetch give the same values.
  ResourceValues promisedResourceValues(const std::string& path) override;
  ResourceValues resourceValues(const std::string& path) override;
  // Always 0: there is no version store.
  std::size_t unresolvedConflictVersionCount(const std::string& path) override;
  // Always refused: nothing is in a cloud drive.
  void startDownloading(const std::string& path) override;

  std::string itemReplacementDirectory(const std::string& destination) override;
  // The mode is exactly `permissions`, whatever the process's umask.
  void createDirectory(const std::string& path, mode_t permissions) override;
  // Never follows a symbolic link; gives up below a fixed depth.
  void removeItem(const std::string& path) noexcept override;
  // A read error ends the enumeration after the handler has seen it,
  // whatever it answers: a directory stream cannot be read past a failure.
  bool enumerateDirectory(const std::string& path, const EntryVisitor& visit,
                          const EnumerationErrorHandler& errorHandler) override;

  // The sync clients Linux users run say in files what a cloud drive says in
  // metadata; their conventions are in one table (client_files.h).
  ClientFile clientFile(std::string_view name) override { return clientFileOf(name); }

 private:
  std::optional<PlatformError> coordinate(const std::string& path, int lockOperation,
                                          const Accessor& accessor);

  std::chrono::milliseconds coordinationTimeout_;
  struct Staging {
    FileDescriptor parent;  // the directory it was made in
    FileDescriptor lock;    // the directory itself, locked while it lives
  };
  std::map<std::string, Staging> stagingDirectories_;
};

}  // namespace brindell
