#pragma once

#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "base/file_descriptor.h"
#include "fileio/directory.h"
#include "fileio/staging.h"

namespace brindell {

// Modes: everything made here is created with mode 0700 (directories) or
// 0600 (files) and never changed afterwards, so the process's file-creation
// mask must leave the owner's bits alone; the helper sets it to 077 at start,
// which makes the modes exactly these whatever its caller's mask was.

// Content written in full and flushed, not yet visible under any name: an
// unnamed file (O_TMPFILE) in the sync folder itself, or, where the file
// system cannot make one or /proc is missing to name it through,
// "history.json" in a staging directory beside the folder. Dropping it
// unlinked leaves nothing behind.
// Produces content by handing it, piece after piece, to `write`, which
// throws when a piece cannot be written.
using ContentWriter = std::function<void(const std::function<void(std::string_view piece)>& write)>;

class StagedFile {
 public:
  // Writes what `produce` hands over (mode 0600) as it comes, then
  // fsyncs it, retrying EINTR and short writes; a write that takes nothing
  // counts as a full device. Throws SyncFailure Code::io when the file cannot
  // be made, written or flushed, the StagingDirectory's failure, or
  // whatever `produce` throws (the unnamed file then simply disappears).
  StagedFile(const Directory& folder, const ContentWriter& produce);
  StagedFile(const StagedFile&) = delete;
  StagedFile& operator=(const StagedFile&) = delete;

  // Gives the content the name `name` in `folder`, atomically and never
  // replacing anything: true when done, false when the name is taken.
  // Throws SyncFailure Code::io for any other failure.
  bool linkExclusively(const Directory& folder, std::string_view name);

 private:
  // Only where unnamed files are refused: the folder's parent, and the
  // staging directory made in it.
  std::unique_ptr<Directory> parentOfFolder_;
  std::unique_ptr<StagingDirectory> staging_;
  FileDescriptor file_;
};

// Makes the directory `name` (mode 0700) in `parent` and holds it.
// Throws SyncFailure (platformFailure, naming it) when it cannot.
Directory makeDirectory(const Directory& parent, std::string_view name);

// Creates `name` in the directory exclusively (mode 0600, never
// through a link), writes all bytes and fsyncs them, as StagedFile does, with
// its failures.
void writeNewFile(const Directory& directory, std::string_view name, std::string_view bytes);

// Moves the held directory `folder`, which is in `from` and holds the one
// file `fileName`, to the same name in `to`, never replacing anything: a
// destination that exists by then is left as it stands, for the caller to
// judge. Where the file system renames exclusively this is one rename, so
// the folder never appears without its file. Elsewhere (FUSE mounts) the
// folder is made in its place and the file moved into it, which keeps out
// every helper only while the caller holds the destination's exclusive
// coordination, as every caller does: a FUSE cloud mount can lose a file
// that has not finished its upload when the directory holding it is renamed
// (rclone's does), while it moves a single file with its upload. A helper
// killed between those two steps leaves the folder empty. Throws SyncFailure
// Code::io, with posixFailure(`failurePhrase`), or openChildDirectory's
// failures for the folder made.
void moveFolderExclusively(const Directory& from, const Directory& folder,
                           std::string_view fileName, const Directory& to,
                           std::string_view failurePhrase);

// Flushes the directory's entries to stable storage. Throws SyncFailure
// Code::io when it cannot.
void syncDirectory(const Directory& directory);

}  // namespace brindell
