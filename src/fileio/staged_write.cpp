#include "fileio/staged_write.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

#include "base/names.h"
#include "base/sync_failure.h"

namespace brindell {
namespace {

void writeAll(int file, std::string_view bytes) {
  std::size_t written = 0;
  while (written < bytes.size()) {
    const ssize_t n = ::write(file, bytes.data() + written, bytes.size() - written);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) throw posixFailure("Cannot write the sync file", errno);
    // A write that takes nothing while bytes remain would loop forever; the
    // device is full in all but name.
    if (n == 0) throw posixFailure("Cannot write the sync file", ENOSPC);
    written += static_cast<std::size_t>(n);
  }
}

void writeAndFlush(int file, const ContentWriter& produce) {
  produce([file](std::string_view piece) { writeAll(file, piece); });
  if (::fsync(file) != 0) throw posixFailure("Cannot synchronize the sync file", errno);
}

// Renames without replacing anything: 0 when done, EEXIST when the name is
// taken, the errno of the failure otherwise. Where the file system has no
// exclusive rename (FUSE file systems without it answer EINVAL), the name is
// looked at and then given by a plain rename: every caller holds the
// destination folder's exclusive coordination and has found the name free,
// so no helper of this machine can take it in between. Hard links are no
// way out there: a helper killed between the link and the unlink of the
// staged name would leave a history file with two links, refused by every
// reader and never removable as a leftover.
int renameWithoutReplacing(const Directory& from, std::string_view fromName, const Directory& to,
                           std::string_view toName) {
  const std::string source(fromName), target(toName);
  if (::renameat2(from.descriptor.get(), source.c_str(), to.descriptor.get(), target.c_str(),
                  RENAME_NOREPLACE) == 0) {
    return 0;
  }
  if (errno != EINVAL && errno != ENOSYS && errno != EOPNOTSUPP) return errno;
  struct stat status;
  if (inspect(to, target, status)) return EEXIST;
  if (errno != ENOENT) return errno;
  return ::renameat(from.descriptor.get(), source.c_str(), to.descriptor.get(), target.c_str()) == 0
             ? 0
             : errno;
}

}  // namespace

StagedFile::StagedFile(const Directory& folder, const ContentWriter& produce) {
  file_ = FileDescriptor(
      ::openat(folder.descriptor.get(), ".", O_TMPFILE | O_WRONLY | O_CLOEXEC, 0600));
  if (file_.valid()) {
    // An unnamed file is named through /proc, which some sandboxes leave out:
    // there it is given up for the staging directory before anything is
    // written, rather than found unnameable once written.
    struct stat status;
    if (::fstatat(AT_FDCWD, descriptorPath(file_.get()).c_str(), &status, AT_SYMLINK_NOFOLLOW) != 0)
      file_.reset();
  } else if (errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL) {
    // Anything but the ways file systems without unnamed files refuse them.
    throw posixFailure("Cannot prepare the sync file", errno);
  }
  if (!file_.valid()) {
    Directory parent = openParentDirectory(folder);
    parentOfFolder_ = std::make_unique<Directory>(std::move(parent));
    staging_ = std::make_unique<StagingDirectory>(*parentOfFolder_);
    file_ = FileDescriptor(::openat(staging_->directory().descriptor.get(),
                                    std::string(stagedHistoryName).c_str(),
                                    O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (!file_.valid()) throw posixFailure("Cannot prepare the sync file", errno);
  }
  writeAndFlush(file_.get(), produce);
}

bool StagedFile::linkExclusively(const Directory& folder, std::string_view name) {
  const std::string target(name);
  int error;
  if (staging_) {
    error = renameWithoutReplacing(staging_->directory(), stagedHistoryName, folder, target);
  } else {
    // linkat through /proc gives an unnamed file its name without any
    // privilege, and fails with EEXIST rather than replace.
    error = ::linkat(AT_FDCWD, descriptorPath(file_.get()).c_str(), folder.descriptor.get(),
                     target.c_str(), AT_SYMLINK_FOLLOW) == 0
                ? 0
                : errno;
  }
  if (error == 0) return true;
  if (error == EEXIST) return false;
  throw posixFailure("Cannot publish the sync file", error);
}

Directory makeDirectory(const Directory& parent, std::string_view name) {
  const std::string failure = "Cannot create directory " + inQuotes(name);
  if (::mkdirat(parent.descriptor.get(), std::string(name).c_str(), 0700) != 0) {
    throw platformFailure(failure, errno);
  }
  return openChildDirectory(parent, name);
}

void writeNewFile(const Directory& directory, std::string_view name, std::string_view bytes) {
  const FileDescriptor file(::openat(directory.descriptor.get(), std::string(name).c_str(),
                                     O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
  if (!file.valid()) throw posixFailure("Cannot prepare the sync file", errno);
  writeAndFlush(file.get(), [bytes](const auto& write) { write(bytes); });
}

void moveExclusively(const Directory& from, std::string_view fromName, const Directory& to,
                     std::string_view toName, std::string_view failurePhrase) {
  const int error = renameWithoutReplacing(from, fromName, to, toName);
  if (error != 0 && error != EEXIST) throw posixFailure(failurePhrase, error);
}

void syncDirectory(const Directory& directory) {
  const FileDescriptor readable = openForReading(directory);
  if (!readable.valid() || ::fsync(readable.get()) != 0) {
    throw posixFailure("Cannot synchronize the sync directory", errno);
  }
}

}  // namespace brindell
