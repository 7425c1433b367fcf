#pragma once

#include <sys/types.h>

#include <string>

#include "fileio/file_descriptor.h"

namespace brindell {

// Opens and renames by path so that the kernel refuses a symbolic link
// anywhere on the path, closing the window between a component-by-component
// check and the use of the path. openat2 with RESOLVE_NO_SYMLINKS where the
// kernel has it; elsewhere the components are opened one by one with openat
// and O_NOFOLLOW. A link met on the way fails with ELOOP. These return -1 /
// an invalid descriptor with errno set, like the calls they stand for.

// open(2) of an absolute path. O_NOFOLLOW and O_CLOEXEC are always added.
FileDescriptor openWithoutLinks(const std::string& path, int flags, mode_t mode = 0);

// The walk that openWithoutLinks falls back on where openat2 is missing: each
// component opened with openat and O_NOFOLLOW from the root down.
FileDescriptor openByWalkingWithoutLinks(const std::string& path, int flags, mode_t mode = 0);

// The directory holding `path`, opened without links (O_DIRECTORY, O_PATH is
// not used so the descriptor can be locked and flushed).
FileDescriptor openParentWithoutLinks(const std::string& path);

// renameat2(..., RENAME_NOREPLACE) between two absolute paths whose parent
// directories are reached without links. Fails with EEXIST rather than
// replace anything; where the file system cannot rename exclusively it fails
// (EINVAL/ENOSYS) and nothing is moved.
int renameExclusivelyWithoutLinks(const std::string& from, const std::string& to);

}  // namespace brindell
