#pragma once

#include <string>
#include <string_view>

#include "cloud/platform.h"

namespace brindell {

// A new private staging directory for content destined for `destination`
// (the sync folder being made or written to): on the same volume, never
// inside a sync folder. Throws the platform's error unchanged.
std::string stagingDirectory(Platform& platform, const std::string& destination);

// Removes the staging directory when it goes out of scope, on every exit;
// an error of that removal is ignored.
class StagingDirectory {
 public:
  StagingDirectory(Platform& platform, const std::string& destination)
      : platform_(platform), path_(stagingDirectory(platform, destination)) {}
  StagingDirectory(const StagingDirectory&) = delete;
  StagingDirectory& operator=(const StagingDirectory&) = delete;
  ~StagingDirectory() { platform_.removeItem(path_); }
  const std::string& path() const { return path_; }

 private:
  Platform& platform_;
  std::string path_;
};

// Creates `destination` exclusively (mode 0600, never through a link), writes
// all bytes (retrying EINTR and short writes) and fsyncs it. Throws SyncFailure
// "SYNC_IO" with "Cannot prepare the sync file" (open, also when the name
// exists), "Cannot write the sync file", "Cannot synchronize the sync file".
void writeStagedFile(std::string_view bytes, const std::string& destination);

// Renames source to destination atomically, never replacing anything: true
// when moved, false when the destination already exists. Throws SyncFailure
// "SYNC_IO" "Cannot publish the sync file" for any other failure (including a
// file system that cannot rename exclusively); the source then stays put.
bool moveExclusively(const std::string& source, const std::string& destination);

// Flushes a directory's entries to stable storage (opened without links and
// without blocking). Throws SyncFailure "SYNC_IO" "Cannot synchronize the sync
// directory".
void syncDirectory(const std::string& directory);

}  // namespace brindell
