#pragma once

#include <chrono>
#include <optional>
#include <string>

#include "cloud/platform.h"

namespace brindell {

// The platform of a system without a cloud drive: every item is local, and
// file coordination is an advisory flock between helper processes.
//
// Coordination locks the held directory the item is named in (the directory
// itself when the item is the directory): reads shared, writes exclusive;
// the combined read-and-write takes the folder's lock exclusive, which also
// covers the manifest inside it. A directory's lock is a file named by its
// device and inode in the user's private directory (privateDirectory), so
// only helpers of the same user coordinate, nobody else can take or hold
// their locks, and nothing is ever made in the sync folder or beside it. Once
// the lock is held, the directory's path is resolved once more and compared
// by device and inode: when it no longer names the held directory, the
// accessor receives where the directory is now (or "" when that cannot be
// told), never the requested path.
//
// All the waits of one request share one bound: the first coordination
// starts it, and a coordination that cannot get its lock before it ends fails
// with a platform failure (platformFailure) naming the directory another
// process holds.
class PosixPlatform final : public Platform {
 public:
  static constexpr std::chrono::seconds maximumCoordinationWait{30};

  void coordinateReading(const Directory& directory, std::string_view name, int options,
                         const Accessor& accessor) override;
  void coordinateWriting(const Directory& directory, std::string_view name, int options,
                         const Accessor& accessor) override;
  void coordinateReadingAndWriting(const Directory& folder, std::string_view readingName,
                                   int readingOptions, int writingOptions,
                                   const ReadingWritingAccessor& accessor) override;

  // fstatat values: kind and, for a regular file, its size; alias false;
  // every cloud value absent. Both kinds of fetch give the same values.
  ResourceValues promisedResourceValues(const Directory& directory, std::string_view name) override;
  ResourceValues resourceValues(const Directory& directory, std::string_view name) override;
  // Always 0: there is no version store.
  std::size_t unresolvedConflictVersionCount(const Directory& directory,
                                             std::string_view name) override;
  // Always refused: nothing is in a cloud drive.
  void startDownloading(const Directory& directory, std::string_view name) override;
  bool enumerateDirectory(const Directory& folder, const EntryVisitor& visit) override;

  // The sync clients Linux users run say in files what a cloud drive says in
  // metadata; their conventions are in one table (client_files.h).
  ClientFile clientFile(std::string_view name) override { return clientFileOf(name); }

 private:
  // Locks the directory, checks where it is and runs `run` with the paths
  // of the requested items as they are to be used now.
  void coordinate(const Directory& directory, int lockOperation,
                  const std::function<void(bool moved)>& run);

  std::optional<std::chrono::steady_clock::time_point> deadline_;
};

}  // namespace brindell
