#include "fileio/staged_write.h"

#include <fcntl.h>

#include "base/names.h"
#include "base/sync_failure.h"
#include "system/file_system.h"

namespace brindell {
namespace {

void writeAll(int file, std::string_view bytes) {
  std::size_t written = 0;
  while (written < bytes.size()) {
    const iovec piece{const_cast<char*>(bytes.data()) + written, bytes.size() - written};
    std::size_t n = 0;
    if (const int error = fileSystem().write(file, &piece, 1, n)) {
      throw posixFailure("Cannot write the sync file", error);
    }
    // A write that takes nothing while bytes remain would loop forever; the
    // device is full in all but name.
    if (n == 0) throw posixFailure("Cannot write the sync file", ENOSPC);
    written += n;
  }
}

void writeAndFlush(int file, const ContentWriter& produce) {
  produce([file](std::string_view piece) { writeAll(file, piece); });
  if (const int error = fileSystem().flush(file)) {
    throw posixFailure("Cannot synchronize the sync file", error);
  }
}

// Renames without replacing anything: 0 when done, EEXIST when the name is
// taken, the error number of the failure otherwise. Where the file system has no
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
  FileSystem& files = fileSystem();
  const int error = files.rename(from.descriptor.get(), source, to.descriptor.get(), target, true);
  if (error != EINVAL && error != ENOSYS && error != EOPNOTSUPP) return error;
  struct stat status;
  const int looked = inspect(to, target, status);
  if (looked == 0) return EEXIST;
  if (looked != ENOENT) return looked;
  return files.rename(from.descriptor.get(), source, to.descriptor.get(), target, false);
}

}  // namespace

StagedFile::StagedFile(const Directory& folder, const ContentWriter& produce) {
  FileSystem& files = fileSystem();
  const int error =
      files.open(folder.descriptor.get(), ".", O_TMPFILE | O_WRONLY | O_CLOEXEC, 0600, file_);
  // An unnamed file is named through /proc, which some sandboxes leave out:
  // there it is given up for the staging directory before anything is
  // written, rather than found unnameable once written.
  if (error == 0 && files.descriptorReachable(file_.get()) != 0) file_.reset();
  // Anything but the ways file systems without unnamed files refuse them.
  if (error != 0 && error != EOPNOTSUPP && error != EISDIR && error != EINVAL) {
    throw posixFailure("Cannot prepare the sync file", error);
  }
  if (!file_.valid()) {
    Directory parent = openParentDirectory(folder);
    parentOfFolder_ = std::make_unique<Directory>(std::move(parent));
    staging_ = std::make_unique<StagingDirectory>(*parentOfFolder_);
    if (const int failed =
            files.open(staging_->directory().descriptor.get(), std::string(stagedHistoryName),
                       O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600, file_)) {
      throw posixFailure("Cannot prepare the sync file", failed);
    }
  }
  writeAndFlush(file_.get(), produce);
}

bool StagedFile::linkExclusively(const Directory& folder, std::string_view name) {
  const std::string target(name);
  const int error =
      staging_ ? renameWithoutReplacing(staging_->directory(), stagedHistoryName, folder, target)
               : fileSystem().linkDescriptor(file_.get(), folder.descriptor.get(), target);
  if (error == 0) return true;
  if (error == EEXIST) return false;
  throw posixFailure("Cannot publish the sync file", error);
}

Directory makeDirectory(const Directory& parent, std::string_view name) {
  if (const int error =
          fileSystem().makeDirectory(parent.descriptor.get(), std::string(name), 0700)) {
    throw platformFailure("Cannot create directory " + inQuotes(name), error);
  }
  return openChildDirectory(parent, name);
}

void writeNewFile(const Directory& directory, std::string_view name, std::string_view bytes) {
  FileDescriptor file;
  if (const int error =
          fileSystem().open(directory.descriptor.get(), std::string(name),
                            O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600, file)) {
    throw posixFailure("Cannot prepare the sync file", error);
  }
  writeAndFlush(file.get(), [bytes](const auto& write) { write(bytes); });
}

void moveFolderExclusively(const Directory& from, const Directory& folder,
                           std::string_view fileName, const Directory& to,
                           std::string_view failurePhrase) {
  FileSystem& files = fileSystem();
  const std::string name = lastComponent(folder.path), file(fileName);
  int error = files.rename(from.descriptor.get(), name, to.descriptor.get(), name, true);
  if (error == EINVAL || error == ENOSYS || error == EOPNOTSUPP) {
    error = files.makeDirectory(to.descriptor.get(), name, 0700);
    if (error == 0) {
      // Until the file is in it, the folder made goes again on any failure;
      // removing a directory only ever succeeds while it is empty.
      Directory made;
      try {
        made = openChildDirectory(to, name);
      } catch (const SyncFailure&) {
        files.remove(to.descriptor.get(), name, true);
        throw;
      }
      if (const int failed =
              files.rename(folder.descriptor.get(), file, made.descriptor.get(), file, false)) {
        const SyncFailure failure = posixFailure(failurePhrase, failed);
        files.remove(to.descriptor.get(), name, true);
        throw failure;
      }
      syncDirectory(made);
    }
  }
  if (error != 0 && error != EEXIST) throw posixFailure(failurePhrase, error);
}

void syncDirectory(const Directory& directory) {
  FileDescriptor readable;
  int error = openForReading(directory, readable);
  if (error == 0) error = fileSystem().flush(readable.get());
  if (error != 0) throw posixFailure("Cannot synchronize the sync directory", error);
}

}  // namespace brindell
