#pragma once

#include <string>

#include "fileio/directory.h"

namespace brindell {

// A directory only the helper's own user can reach, for what helpers of one
// user share with each other and with nobody else: the lock files through
// which they coordinate, and where each parent's clean-up goes on from.
// "$XDG_RUNTIME_DIR/brindell" where the session has a runtime directory
// (private to the user, emptied when the user logs out), otherwise
// "/tmp/brindell-" + the user id; made (mode 0700) when missing, and used only
// when it is a real directory of the user's own that no one else may
// change. Opened once per process and held. Throws SyncFailure Code::io,
// naming the directory, when no such directory can be had.
const Directory& privateDirectory();

// The same directory found anew, not the one held; the same failure.
Directory findPrivateDirectory();

// The name of the entry kept in the private directory for the item held by
// `directory`, by its device and inode (which no rename changes), with the
// ending `ending`: its lock file, its clean-up cursor.
std::string privateEntryName(const Directory& directory, std::string_view ending);

}  // namespace brindell
