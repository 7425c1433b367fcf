#include "fileio/staged_write.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

#include "fileio/safe_path.h"
#include "request/sync_failure.h"

namespace brindell {

std::string stagingDirectory(Platform& platform, const std::string& destination) {
  return platform.itemReplacementDirectory(destination);
}

void writeStagedFile(std::string_view bytes, const std::string& destination) {
  const FileDescriptor file =
      openWithoutLinks(destination, O_WRONLY | O_CREAT | O_EXCL, S_IRUSR | S_IWUSR);
  if (!file.valid()) throw posixFailure("Cannot prepare the sync file");
  std::size_t written = 0;
  while (written < bytes.size()) {
    const ssize_t n = ::write(file.get(), bytes.data() + written, bytes.size() - written);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) throw posixFailure("Cannot write the sync file");
    // A write that takes nothing while bytes remain would loop forever; the
    // device is full in all but name.
    if (n == 0) throw posixFailure("Cannot write the sync file", ENOSPC);
    written += static_cast<std::size_t>(n);
  }
  if (::fsync(file.get()) != 0) throw posixFailure("Cannot synchronize the sync file");
}

bool moveExclusively(const std::string& source, const std::string& destination) {
  if (renameExclusivelyWithoutLinks(source, destination) == 0) return true;
  if (errno == EEXIST) return false;
  throw posixFailure("Cannot publish the sync file");
}

void syncDirectory(const std::string& directory) {
  const FileDescriptor handle = openWithoutLinks(directory, O_RDONLY | O_DIRECTORY | O_NONBLOCK);
  if (!handle.valid()) throw posixFailure("Cannot synchronize the sync directory");
  if (::fsync(handle.get()) != 0) throw posixFailure("Cannot synchronize the sync directory");
}

}  // namespace brindell
