#pragma once

#include <string>
#include <string_view>

namespace brindell {

// The classes of refusal the application switches on. Each has one stable
// text, which is all the application ever sees of it (see codeText).
enum class Code {
  invalidRequest,
  invalidFile,
  unsafePath,
  missing,
  io,
  capacity,
  workspaceMismatch,
  folderMoved,
  downloadPending,
  fileConflict,
  folderContents,
  uploadFailed,
  downloadFailed,
  excluded,
  immutableConflict,
  unsupportedManifest,
};

// "SYNC_" and the code's name in upper case, as the answer carries it.
std::string_view codeText(Code code);

// The one refusal record of the helper. Every check throws one of these the
// moment it fails; the request cycle turns it into the answer's "error"
// object without looking inside. `message` is a complete sentence the
// application shows to the user as it stands.
struct SyncFailure {
  Code code;
  std::string message;
};

// The Code::io failure of the platform (coordination, metadata, download
// requests, staging directories) or of the request's own streams:
// "Sync folder access failed: " + description + " Local workspace data is
// unchanged.", so `description` is one or more complete sentences. Never
// throws except std::bad_alloc.
SyncFailure platformFailure(std::string_view description);

// platformFailure of `phrase` + ": " + strerror(error) + ".", for a failed
// system call of the platform that names the item in `phrase`.
SyncFailure platformFailure(std::string_view phrase, int error);

// The Code::io failure of a system call that failed with `error`:
// operation + ": " + strerror(error) + ". Local workspace data is unchanged."
// `operation` is a phrase such as "Cannot read manifest.json", without final
// punctuation, and `error` the error number the failing call answered. Never
// throws except std::bad_alloc.
SyncFailure posixFailure(std::string_view operation, int error);

}  // namespace brindell
