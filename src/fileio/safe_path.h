#pragma once

#include <string>

#include "base/file_descriptor.h"

namespace brindell {

// Opens by path so that the kernel refuses a symbolic link anywhere on the
// path: how a held directory's path is resolved anew to see whether it still
// names the same directory. openat2 with RESOLVE_NO_SYMLINKS where the
// kernel has it; elsewhere the components are opened one by one with openat
// and O_NOFOLLOW. A link met on the way fails with ELOOP. These return an
// invalid descriptor with errno set, like the call they stand for.

// open(2) of an existing item by its absolute path, never creating one.
// O_CLOEXEC is always added, and a link is refused as the last component too,
// even with O_PATH.
FileDescriptor openWithoutLinks(const std::string& path, int flags);

// The walk that openWithoutLinks falls back on where openat2 is missing: each
// component opened with openat and O_NOFOLLOW from the root down.
FileDescriptor openByWalkingWithoutLinks(const std::string& path, int flags);

}  // namespace brindell
