#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "base/file_descriptor.h"

namespace brindell {

// A directory opened once, without following a link anywhere on its path,
// and held for the rest of the request: everything below it is reached
// through the descriptor, so a name checked once cannot lead elsewhere the
// next time it is used. The descriptor is O_PATH, which needs no read
// permission; reading, listing and locking open the directory again through
// it (openForReading), never through its path.
struct Directory {
  FileDescriptor descriptor;
  std::string path;  // where it was opened; used for messages and the moved check
  dev_t device = 0;
  ino_t inode = 0;

  // `name` inside the directory as a path ("" names the directory itself).
  std::string pathOf(std::string_view name) const;
};

// Opens the directory at an absolute, normalised path, walking it from the
// root one component at a time, each opened relative to the one before
// without following links. The first problem from the top decides. Throws
// SyncFailure:
//   Code::missing     a component is missing;
//   Code::unsafePath a component is a symbolic link, or not a directory;
//   Code::io          for any other failure.
Directory openDirectory(const std::string& path);

// The child directory `name` of `parent`, opened relative to it; the same
// failures as openDirectory for that one component.
Directory openChildDirectory(const Directory& parent, std::string_view name);

// The directory holding `directory`, reached through it (".."), with its
// path as `directory`'s path names it.
Directory openParentDirectory(const Directory& directory);

// The item `name` inside the directory, without following a final link; the
// directory itself for "". 0, or the error number when it cannot be
// inspected. Every inspection of an item goes here.
int inspect(const Directory& directory, std::string_view name, struct stat& status);

// The item `name` inside the directory, without following a final link; the
// directory itself for "". nullopt when nothing has that name. Throws
// SyncFailure Code::io with posixFailure(`failurePrefix`) for any other error.
std::optional<struct stat> itemStatus(const Directory& directory, std::string_view name,
                                      std::string_view failurePrefix);

// Whether an item named `name` exists in the directory (a link counts).
// Throws SyncFailure Code::io, naming the item, when it cannot be told.
bool exists(const Directory& directory, std::string_view name);

// Refuses what another user could have put there or may change: the sync
// folder (`name` "") or its item `name`, as fstat or fstatat described it,
// must be owned by the helper's own user and writable by nobody else, or
// its contents could be planted, read back as the user's and swapped under
// what the helper publishes. Throws SyncFailure Code::unsafePath.
void requireOwnItem(const struct stat& status, std::string_view name);

// requireOwnItem for the held directory itself. Throws it, or SyncFailure
// Code::io when the directory cannot be inspected.
void requireOwnDirectory(const Directory& directory);

// What an item checked by validateItem must be.
struct ItemRule {
  bool directory = false;     // a directory rather than a regular file
  bool allowMissing = false;  // may be absent
};

// Checks the item `name` of the directory the way every component of a path
// is checked: present (unless the rule allows it missing), not a symbolic
// link, and of the rule's kind. Throws the failures of openDirectory.
void validateItem(const Directory& directory, std::string_view name, ItemRule rule);

// Whether the directory's path, resolved anew without following links, still
// names the held directory (same device and inode). False only when it
// names something else or nothing; a path that cannot be resolved again
// (an error other than a missing item, a link or a file on it) throws
// SyncFailure Code::io rather than pass for a move.
bool stillAtItsPath(const Directory& directory);

// The directory opened for reading through the held descriptor, for
// listing, locking and flushing: 0, or the error number of the failure.
int openForReading(const Directory& directory, FileDescriptor& readable);

// Calls `visit` with the name of each entry of the directory ("." and ".."
// aside), read as a stream through openForReading, until it answers false.
// 0, or the error number of what ended the reading or kept it from
// starting. With `position`, the reading starts where it names and leaves
// it where a later reading goes on (see FileSystem::readEntries).
int forEachEntry(const Directory& directory,
                 const std::function<bool(std::string_view name)>& visit, long* position = nullptr);

}  // namespace brindell
