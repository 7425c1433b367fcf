#include <dirent.h>
#include <fcntl.h>
#include <linux/openat2.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/syscall.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <memory>

#include "system/file_system.h"

namespace brindell {
namespace {

// The name by which the kernel reaches what an open descriptor holds, even
// an unnamed file.
std::string descriptorPath(int file) {
  return "/proc/self/fd/" + std::to_string(file);
}

// 0, or the error the call just left, for a call that answers -1 on failure.
int outcome(long result) {
  return result < 0 ? errno : 0;
}

// Makes `call` again while a signal interrupts it.
template <typename Call>
long uninterrupted(Call call) {
  long result;
  do {
    result = call();
  } while (result < 0 && errno == EINTR);
  return result;
}

class PosixFileSystem final : public FileSystem {
 public:
  int open(int directory, const std::string& name, int flags, mode_t mode,
           FileDescriptor& opened) override {
    const int fd = static_cast<int>(
        uninterrupted([&] { return ::openat(directory, name.c_str(), flags, mode); }));
    if (fd < 0) return errno;
    opened = FileDescriptor(fd);
    return 0;
  }

  int openDirectoryResolved(const std::string& path, FileDescriptor& opened) override {
    // Set once the kernel, or a sandbox in front of it, has shown it lacks
    // openat2, so that later calls do not ask again.
    static bool missing = false;
    if (missing) return ENOSYS;
    open_how how{};
    how.flags = O_PATH | O_DIRECTORY | O_CLOEXEC;
    how.resolve = RESOLVE_NO_SYMLINKS;
    const long fd = ::syscall(SYS_openat2, AT_FDCWD, path.c_str(), &how, sizeof how);
    if (fd >= 0) {
      opened = FileDescriptor(static_cast<int>(fd));
      return 0;
    }
    // EPERM is what a seccomp filter answers for a call it does not know;
    // a genuine refusal is met again by whatever the caller does instead.
    if (errno != ENOSYS && errno != EPERM) return errno;
    missing = true;
    return ENOSYS;
  }

  int status(int directory, const std::string& name, struct stat& status) override {
    return outcome(name.empty() ? ::fstat(directory, &status)
                                : ::fstatat(directory, name.c_str(), &status, AT_SYMLINK_NOFOLLOW));
  }

  int read(int file, char* buffer, std::size_t size, std::size_t& count) override {
    const long n = uninterrupted([&] { return ::read(file, buffer, size); });
    if (n < 0) return errno;
    count = static_cast<std::size_t>(n);
    return 0;
  }

  int write(int file, const iovec* pieces, int pieceCount, std::size_t& count) override {
    const long n = uninterrupted(
        [&] { return ::writev(file, pieces, std::min(pieceCount, static_cast<int>(IOV_MAX))); });
    if (n < 0) return errno;
    count = static_cast<std::size_t>(n);
    return 0;
  }

  int wait(int stream, short events) override {
    pollfd ready{stream, events, 0};
    return outcome(uninterrupted([&] { return ::poll(&ready, 1, -1); }));
  }

  int flush(int file) override { return outcome(::fsync(file)); }

  int makeDirectory(int directory, const std::string& name, mode_t mode) override {
    return outcome(::mkdirat(directory, name.c_str(), mode));
  }

  int remove(int directory, const std::string& name, bool isDirectory) override {
    return outcome(::unlinkat(directory, name.c_str(), isDirectory ? AT_REMOVEDIR : 0));
  }

  int rename(int fromDirectory, const std::string& from, int toDirectory, const std::string& to,
             bool exclusive) override {
    return outcome(exclusive ? ::renameat2(fromDirectory, from.c_str(), toDirectory, to.c_str(),
                                           RENAME_NOREPLACE)
                             : ::renameat(fromDirectory, from.c_str(), toDirectory, to.c_str()));
  }

  int linkDescriptor(int file, int toDirectory, const std::string& to) override {
    // Through /proc, linkat names an unnamed file without any privilege.
    return outcome(::linkat(AT_FDCWD, descriptorPath(file).c_str(), toDirectory, to.c_str(),
                            AT_SYMLINK_FOLLOW));
  }

  int lock(int file, int operation) override {
    return outcome(uninterrupted([&] { return ::flock(file, operation); }));
  }

  int duplicate(int file, FileDescriptor& copy) override {
    const int fd = ::fcntl(file, F_DUPFD_CLOEXEC, 0);
    if (fd < 0) return errno;
    copy = FileDescriptor(fd);
    return 0;
  }

  int readAttribute(int file, const char* name, std::size_t maximumSize,
                    std::string& value) override {
    std::string read(maximumSize, '\0');
    const ssize_t length = ::fgetxattr(file, name, read.data(), read.size());
    if (length < 0) return errno;
    read.resize(static_cast<std::size_t>(length));
    value = std::move(read);
    return 0;
  }

  int writeAttribute(int file, const char* name, std::string_view value) override {
    return outcome(::fsetxattr(file, name, value.data(), value.size(), 0));
  }

  int descriptorTarget(int file, std::string& path) override {
    char target[PATH_MAX];
    const ssize_t length = ::readlink(descriptorPath(file).c_str(), target, sizeof target);
    if (length < 0) return errno;
    // A target that fills the buffer may have been cut short.
    if (static_cast<std::size_t>(length) == sizeof target) return ENAMETOOLONG;
    path.assign(target, static_cast<std::size_t>(length));
    return 0;
  }

  int descriptorReachable(int file) override {
    struct stat ignored;
    return outcome(
        ::fstatat(AT_FDCWD, descriptorPath(file).c_str(), &ignored, AT_SYMLINK_NOFOLLOW));
  }

  int readEntries(FileDescriptor directory, long& position,
                  const std::function<bool(std::string_view name)>& visit) override {
    DIR* opened = ::fdopendir(directory.get());
    if (opened == nullptr) return errno;
    directory.release();
    const std::unique_ptr<DIR, int (*)(DIR*)> stream(opened, ::closedir);
    if (position != 0) ::seekdir(stream.get(), position);
    for (;;) {
      errno = 0;
      const dirent* entry = ::readdir(stream.get());
      if (entry == nullptr) {
        position = 0;
        return errno;
      }
      const std::string_view name = entry->d_name;
      if (name != "." && name != ".." && !visit(name)) {
        position = ::telldir(stream.get());
        return 0;
      }
    }
  }
};

FileSystem* current = nullptr;

}  // namespace

FileSystem& posixFileSystem() {
  static PosixFileSystem posix;
  return posix;
}

FileSystem& fileSystem() {
  return current != nullptr ? *current : posixFileSystem();
}

FileSystem* replaceFileSystem(FileSystem* replacement) {
  FileSystem* previous = current;
  current = replacement;
  return previous;
}

}  // namespace brindell
