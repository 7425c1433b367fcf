#pragma once

#include <sys/types.h>

#include <string>

#include "base/file_descriptor.h"

namespace brindell {

// Opens by path so that the kernel refuses a symbolic link anywhere on the
// path: how a held directory's path is resolved anew to see whether it still
// names the same directory. openat2 with RESOLVE_NO_SYMLINKS where the
// kernel has it; elsewhere the components are opened one by one with openat
// and O_NOFOLLOW. A link met on the way fails with ELOOP. These return an
// invalid descriptor with errno set, like the call they stand for.

// open(2) of an absolute path. O_NOFOLLOW and O_CLOEXEC are always added.
FileDescriptor openWithoutLinks(const std::string& path, int flags, mode_t mode = 0);

// The walk that openWithoutLinks falls back on where openat2 is missing: each
// component opened with openat and O_NOFOLLOW from the root down.
FileDescriptor openByWalkingWithoutLinks(const std::string& path, int flags, mode_t mode = 0);

}  // namespace brindell
