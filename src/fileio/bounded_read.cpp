#include "fileio/bounded_read.h"

#include <fcntl.h>
#include <sys/stat.h>

#include "base/sync_failure.h"
#include "system/file_system.h"

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
  FileSystem& files = fileSystem();
  FileDescriptor file;
  if (const int error = files.open(directory.descriptor.get(), std::string(name),
                                   O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC, 0, file)) {
    throw posixFailure("Cannot read " + std::string(name), error);
  }
  struct stat status;
  if (const int error = files.status(file.get(), "", status)) {
    throw posixFailure("Cannot inspect the opened sync file", error);
  }
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
    std::size_t n = 0;
    if (const int error = files.read(file.get(), bytes.data() + held, bytes.capacity() - held, n)) {
      throw posixFailure("Cannot read the sync file", error);
    }
    if (n == 0) {
      bytes.setSize(held);
      return bytes;
    }
    held += n;
    bytes.setSize(held);
    if (held > static_cast<std::size_t>(maximum)) throw tooLarge();
  }
}

}  // namespace brindell
