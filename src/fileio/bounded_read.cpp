#include "fileio/bounded_read.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "base/sync_failure.h"

namespace brindell {
namespace {

SyncFailure tooLarge() {
  return SyncFailure{Code::capacity,
                     "A sync file exceeds the supported size limit. Local workspace data is "
                     "unchanged."};
}

}  // namespace

ByteBuffer boundedBytes(const Directory& directory, std::string_view name, std::int64_t maximum) {
  validateItem(directory, name, {});
  // Relative to the held folder and without following a link; non-blocking
  // so that a FIFO swapped in after the check cannot hold the helper.
  const FileDescriptor file(::openat(directory.descriptor.get(), std::string(name).c_str(),
                                     O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC));
  if (!file.valid()) {
    const int error = errno;
    throw posixFailure("Cannot read " + std::string(name), error);
  }
  struct stat status;
  if (::fstat(file.get(), &status) != 0)
    throw posixFailure("Cannot inspect the opened sync file", errno);
  if ((status.st_mode & S_IFMT) != S_IFREG || status.st_nlink != 1) {
    throw SyncFailure{Code::unsafePath, "Sync content must be a regular file without hard links."};
  }
  requireOwnItem(status, name);
  if (status.st_size < 0 || status.st_size > maximum) throw tooLarge();

  // Sized from fstat once, with one byte more to notice a file that grew, so
  // a file that keeps its size is read without any regrowth and a small one
  // costs no more memory than its size; only a growing one is given room up
  // to maximum + 1 bytes, never more.
  const auto limit = static_cast<std::size_t>(maximum) + 1;
  ByteBuffer bytes(std::min(limit, static_cast<std::size_t>(status.st_size) + 1));
  bytes.preferHugePages(0, bytes.capacity());
  std::size_t held = 0;
  for (;;) {
    if (held == bytes.capacity()) bytes.grow(limit);
    ssize_t n;
    do {
      n = ::read(file.get(), bytes.data() + held, bytes.capacity() - held);
    } while (n < 0 && errno == EINTR);
    if (n < 0) throw posixFailure("Cannot read the sync file", errno);
    if (n == 0) {
      bytes.setSize(held);
      return bytes;
    }
    held += static_cast<std::size_t>(n);
    bytes.setSize(held);
    if (held > static_cast<std::size_t>(maximum)) throw tooLarge();
  }
}

}  // namespace brindell
