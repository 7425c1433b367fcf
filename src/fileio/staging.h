#pragma once

#include <string>
#include <string_view>

#include "base/file_descriptor.h"
#include "fileio/directory.h"

namespace brindell {

// The name a staged history file has in its staging directory.
inline constexpr std::string_view stagedHistoryName = "history.json";

// A private directory ".brindell-staging-XXXXXX" (mode 0700) made in a held
// parent, held through its descriptor and locked while it lives, so that
// another helper can tell it from one a killed helper left behind. Removed
// when it goes out of scope, through the descriptor held, but only in the
// shapes this helper makes (see removeStaleStagingDirectories); anything else
// found in it stays.
class StagingDirectory {
 public:
  // Removes stale leftovers in `parent` first, then makes a new one and
  // checks that what it holds is the directory it made: a real directory of
  // ours on the parent's device (whatever mode the file system shows). Throws
  // SyncFailure (platformFailure, naming the parent) when it cannot.
  explicit StagingDirectory(const Directory& parent);
  StagingDirectory(const StagingDirectory&) = delete;
  StagingDirectory& operator=(const StagingDirectory&) = delete;
  ~StagingDirectory();

  const Directory& directory() const { return directory_; }

 private:
  void removeIfStillOurs() noexcept;

  const Directory& parent_;
  std::string name_;
  Directory directory_;  // held readable: its descriptor carries the lock
  FileDescriptor spares_[2];
};

// Removes from `parent` the staging directories that killed helpers left:
// only exact shapes this helper makes (a staging directory holding nothing,
// one "history.json", or one sync folder holding nothing or one
// "manifest.json"), each a real directory or file of ours on the parent's
// device, unlocked, and unchanged for a minute; everything else is left
// alone. Entries are unlinked one by one through descriptors, never
// recursively. Reads the parent as a stream and looks at a bounded number of
// its entries. Best effort: every error is ignored.
void removeStaleStagingDirectories(const Directory& parent) noexcept;

// The same for the directory holding `folder`, reached through it, for the
// leftovers of a create or of a publish that had to stage beside the folder.
void removeLeftoversBeside(const Directory& folder) noexcept;

}  // namespace brindell
