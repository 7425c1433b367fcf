#include "fileio/safe_path.h"

#include <fcntl.h>
#include <linux/openat2.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "base/names.h"

namespace brindell {
namespace {

// With O_DIRECTORY, openat refuses a link as not a directory (ENOTDIR); a link
// is told apart first so that every refusal of a link reads as ELOOP, as it
// does from openat2. A link swapped in after the look is still refused.
bool isLink(int directory, const std::string& name) {
  struct stat status;
  if (::fstatat(directory, name.c_str(), &status, AT_SYMLINK_NOFOLLOW) != 0) return false;
  if (!S_ISLNK(status.st_mode)) return false;
  errno = ELOOP;
  return true;
}

// Set once the kernel (or a sandbox in front of it) has shown it lacks
// openat2; the walk then serves every later call.
bool openat2Missing = false;

}  // namespace

FileDescriptor openByWalkingWithoutLinks(const std::string& path, int flags) {
  flags |= O_NOFOLLOW | O_CLOEXEC;
  const std::vector<std::string> components = pathComponents(path);
  FileDescriptor directory(::open("/", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!directory.valid()) return directory;
  if (components.empty()) {
    // The root itself: reopen it with the caller's flags.
    return FileDescriptor(::openat(directory.get(), ".", flags));
  }
  for (std::size_t i = 0; i + 1 < components.size(); ++i) {
    if (isLink(directory.get(), components[i])) return FileDescriptor();
    // O_NONBLOCK keeps a FIFO from blocking before O_DIRECTORY refuses it.
    FileDescriptor next(::openat(directory.get(), components[i].c_str(),
                                 O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    if (!next.valid()) return next;
    directory = std::move(next);
  }
  // O_PATH with O_NOFOLLOW would open a link as itself.
  if (isLink(directory.get(), components.back())) return FileDescriptor();
  return FileDescriptor(::openat(directory.get(), components.back().c_str(), flags));
}

FileDescriptor openWithoutLinks(const std::string& path, int flags) {
  // RESOLVE_NO_SYMLINKS refuses a link as the last component too, and the
  // walk adds O_NOFOLLOW itself.
  flags |= O_CLOEXEC;
  if (!openat2Missing) {
    open_how how{};
    how.flags = static_cast<std::uint64_t>(flags);
    how.resolve = RESOLVE_NO_SYMLINKS;
    const long fd = ::syscall(SYS_openat2, AT_FDCWD, path.c_str(), &how, sizeof how);
    if (fd >= 0) return FileDescriptor(static_cast<int>(fd));
    if (errno != ENOSYS && errno != EPERM) return FileDescriptor();
    // EPERM is what a seccomp filter answers for an unknown system call; a
    // genuine permission refusal is answered again by the walk.
    openat2Missing = true;
  }
  return openByWalkingWithoutLinks(path, flags);
}

}  // namespace brindell
