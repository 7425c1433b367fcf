#include "fileio/staging.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <optional>
#include <random>
#include <vector>

#include "base/names.h"
#include "base/sync_failure.h"
#include "fileio/private_directory.h"
#include "system/file_system.h"

namespace brindell {
namespace {

constexpr std::string_view stagingPrefix = ".brindell-staging-";
constexpr std::size_t stagingSuffixLength = 6;
constexpr int maximumStagingNameAttempts = 100;
// A leftover is only taken for one once nothing has touched it for this long:
// a live helper holds its staging directory for seconds at most.
constexpr std::time_t staleStagingSeconds = 60;
// The entries of a parent looked at per request, so that a cloud-drive
// folder of a million entries costs no more than a small one.
constexpr std::size_t maximumStaleScanEntries = 4'096;
// The extended attribute a staging directory is marked with as it is made.
constexpr const char* stagingMark = "user.brindell-staging";
constexpr std::string_view manifestName = "manifest.json";

// A staging directory's mark: its own device and inode, which the helper
// sets as an extended attribute on the directory it has just made. Only
// someone who may write a directory can set one on it, so nobody else can
// mark a directory of the user's to have it taken for a leftover, and a
// directory renamed to a staging name keeps the mark it had, which is none;
// a copy made elsewhere has another inode. Where the file system keeps no
// extended attributes nothing is marked, and leftovers stay.
std::string markOf(const struct stat& status) {
  return std::to_string(status.st_dev) + ":" + std::to_string(status.st_ino);
}

bool marked(int directory, const struct stat& status) {
  std::string value;
  return fileSystem().readAttribute(directory, stagingMark, 64, value) == 0 &&
         value == markOf(status);
}

std::string randomStagingName() {
  static constexpr char alphabet[] =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
  std::random_device device;
  std::uniform_int_distribution<std::size_t> pick(0, sizeof alphabet - 2);
  std::string name(stagingPrefix);
  for (std::size_t i = 0; i < stagingSuffixLength; ++i) name += alphabet[pick(device)];
  return name;
}

bool isStagingName(std::string_view name) {
  return name.size() == stagingPrefix.size() + stagingSuffixLength &&
         name.starts_with(stagingPrefix);
}

// Up to `limit` + 1 names of a directory's entries: enough to tell whether
// it holds more than `limit`. nullopt when it cannot be read.
std::optional<std::vector<std::string>> firstEntries(const Directory& directory,
                                                     std::size_t limit) {
  std::vector<std::string> names;
  const int error = forEachEntry(directory, [&](std::string_view name) {
    names.emplace_back(name);
    return names.size() <= limit;
  });
  if (error != 0) return std::nullopt;
  return names;
}

// Whether an item is ours on the given device and of the given type; for a
// file also that it has no other link. A leftover must also be private, as
// everything this helper makes is where the file system keeps modes. The
// helper's own staging directory is known by the descriptor it holds and
// need not be: some file systems show every item with one fixed mode.
bool ours(const struct stat& status, dev_t device, mode_t type, bool mustBePrivate) {
  return status.st_uid == ::geteuid() && status.st_dev == device &&
         (status.st_mode & S_IFMT) == type && (!mustBePrivate || (status.st_mode & 077) == 0) &&
         (type != S_IFREG || status.st_nlink == 1);
}

std::optional<struct stat> statusAt(const Directory& directory, std::string_view name) {
  struct stat status;
  if (inspect(directory, name, status) != 0) return std::nullopt;
  return status;
}

// The directory `name` of `parent` held, if it is one of ours on the same
// device: the one looked at, not one swapped in since.
std::optional<Directory> ourDirectory(const Directory& parent, std::string_view name,
                                      bool mustBePrivate) {
  const std::optional<struct stat> status = statusAt(parent, name);
  if (!status || !ours(*status, parent.device, S_IFDIR, mustBePrivate)) return std::nullopt;
  try {
    Directory held = openChildDirectory(parent, name);
    if (held.inode == status->st_ino && held.device == status->st_dev) return held;
  } catch (const SyncFailure&) {
  }
  return std::nullopt;
}

// Unlinks one entry of ours from a held directory: a file with no other
// link, or an empty directory (removing one only ever succeeds when it is
// empty, so whatever else is in it stays).
bool unlinkOurs(const Directory& directory, std::string_view name, bool isDirectory,
                bool mustBePrivate) {
  const std::optional<struct stat> status = statusAt(directory, name);
  return status &&
         ours(*status, directory.device, isDirectory ? S_IFDIR : S_IFREG, mustBePrivate) &&
         fileSystem().remove(directory.descriptor.get(), std::string(name), isDirectory) == 0;
}

// Whether the held directory holds nothing, or only `name`, a file of ours
// that is then unlinked.
bool emptiedOf(const Directory& directory, std::string_view name, bool mustBePrivate) {
  const std::optional<std::vector<std::string>> entries = firstEntries(directory, 1);
  if (!entries || entries->size() > 1) return false;
  return entries->empty() ||
         (entries->front() == name && unlinkOurs(directory, name, false, mustBePrivate));
}

// Empties a held staging directory if it has one of the shapes this helper
// makes; anything else is left entirely alone. True when it is empty.
bool emptiedOwnShape(const Directory& staging, bool mustBePrivate) {
  const std::optional<std::vector<std::string>> entries = firstEntries(staging, 1);
  if (!entries || entries->size() > 1) return false;
  if (entries->empty()) return true;
  const std::string& inner = entries->front();
  if (inner == stagedHistoryName) return unlinkOurs(staging, inner, false, mustBePrivate);
  const std::optional<Directory> folder =
      isSyncFolderName(inner) ? ourDirectory(staging, inner, mustBePrivate) : std::nullopt;
  return folder && emptiedOf(*folder, manifestName, mustBePrivate) &&
         unlinkOurs(staging, inner, true, mustBePrivate);
}

// Removes the emptied staging directory `name` of `parent`, held as
// `staging`, while the name still holds it: a directory moved in under the
// name since is someone else's.
void removeEmptied(const Directory& parent, const std::string& name, const Directory& staging) {
  const std::optional<struct stat> status = statusAt(parent, name);
  if (status && status->st_ino == staging.inode && status->st_dev == staging.device) {
    fileSystem().remove(parent.descriptor.get(), name, true);
  }
}

// Where the clean-up of a parent left off reading it, kept in the private
// directory, so that over repeated requests every entry of a parent of any
// size is looked at while each request looks at a bounded number. Without a
// private directory there is no clean-up, and no coordination either, so no
// request gets further. Written only when it changes, which for a parent
// smaller than one scan is never: a write on every request would cost each
// one a metadata update.
class ScanCursor {
 public:
  explicit ScanCursor(const Directory& parent)
      : directory_(privateDirectory().descriptor.get()), name_(privateEntryName(parent, ".scan")) {
    FileDescriptor file;
    char text[positionDigits + 1] = {};
    std::size_t length = 0;
    if (fileSystem().open(directory_, name_, O_RDONLY | O_NOFOLLOW | O_CLOEXEC, 0, file) == 0 &&
        fileSystem().read(file.get(), text, positionDigits, length) == 0 && length > 0) {
      position = saved_ = std::strtol(text, nullptr, 10);
    }
  }
  void save() const {
    FileDescriptor file;
    if (position == saved_ ||
        fileSystem().open(directory_, name_, O_WRONLY | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600,
                          file) != 0) {
      return;
    }
    // Always as many digits, so no shorter position leaves a longer one's behind.
    char text[positionDigits + 1];
    std::snprintf(text, sizeof text, "%0*ld", positionDigits, position);
    const iovec piece{text, positionDigits};
    std::size_t written;
    fileSystem().write(file.get(), &piece, 1, written);
  }

  long position = 0;  // a directory stream position; 0 is the beginning

 private:
  static constexpr int positionDigits = 20;
  int directory_;
  std::string name_;
  long saved_ = 0;
};

}  // namespace

void removeStaleStagingDirectories(const Directory& parent) noexcept {
  try {
    std::vector<std::string> candidates;
    std::size_t looked = 0;
    ScanCursor cursor(parent);
    forEachEntry(
        parent,
        [&](std::string_view name) {
          if (isStagingName(name)) candidates.emplace_back(name);
          return ++looked < maximumStaleScanEntries;
        },
        &cursor.position);
    cursor.save();
    const std::time_t now = std::time(nullptr);
    for (const std::string& name : candidates) {
      // Everything is decided on one descriptor, and what it holds is what
      // is emptied: the name is not looked up again but for the last rmdir.
      FileDescriptor held;
      struct stat status;
      if (fileSystem().open(parent.descriptor.get(), name,
                            O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0,
                            held) != 0 ||
          fileSystem().status(held.get(), "", status) != 0 ||
          !ours(status, parent.device, S_IFDIR, true) || !marked(held.get(), status) ||
          now - status.st_mtime <= staleStagingSeconds ||
          // A living helper holds its own directory locked.
          fileSystem().lock(held.get(), LOCK_EX | LOCK_NB) != 0) {
        continue;
      }
      const Directory staging{std::move(held), parent.pathOf(name), status.st_dev, status.st_ino};
      if (emptiedOwnShape(staging, true)) removeEmptied(parent, name, staging);
    }
  } catch (...) {
    // Clean-up is best effort: the request's answer never depends on it.
  }
}

void removeLeftoversBeside(const Directory& folder) noexcept {
  try {
    removeStaleStagingDirectories(openParentDirectory(folder));
  } catch (...) {
    // As above: best effort.
  }
}

StagingDirectory::StagingDirectory(const Directory& parent) : parent_(parent) {
  const std::string failure =
      "Cannot create a staging directory in " + inQuotes(lastComponent(parent.path));
  removeStaleStagingDirectories(parent);
  for (int attempt = 0;; ++attempt) {
    if (attempt == maximumStagingNameAttempts) {
      throw platformFailure(failure + ": every name tried was taken.");
    }
    name_ = randomStagingName();
    const int error = fileSystem().makeDirectory(parent.descriptor.get(), name_, 0700);
    if (error == 0) break;
    if (error != EEXIST) throw platformFailure(failure, error);
  }
  // Held readable, so that the one descriptor also carries the lock.
  FileDescriptor made;
  struct stat status;
  int error =
      fileSystem().open(parent.descriptor.get(), name_,
                        O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0, made);
  if (error == 0) error = fileSystem().status(made.get(), "", status);
  if (error != 0) {
    const SyncFailure failed = platformFailure(failure, error);
    // Not held, so not known to be the directory made: only an empty
    // directory of ours goes, which is all that name can have held of ours.
    unlinkOurs(parent, name_, true, false);
    throw failed;
  }
  // Whoever can write the parent could have put another directory under the
  // name since it was made: only one of ours, on this device, serves. Its
  // mode is not looked at, since some file systems keep none; the process's
  // file-creation mask gave it no more than 0700 where one is kept.
  if (!ours(status, parent.device, S_IFDIR, false)) {
    throw platformFailure(failure + ": another item took its place.");
  }
  directory_ = Directory{std::move(made), parent.pathOf(name_), status.st_dev, status.st_ino};
  fileSystem().writeAttribute(directory_.descriptor.get(), stagingMark, markOf(status));
  // Descriptors kept for the removal: a request that runs out of them
  // (EMFILE) still empties and removes what it staged.
  for (FileDescriptor& spare : spares_) {
    if (error == 0) error = fileSystem().duplicate(directory_.descriptor.get(), spare);
  }
  if (error == 0) error = fileSystem().lock(directory_.descriptor.get(), LOCK_EX | LOCK_NB);
  if (error != 0) {
    const SyncFailure failed = platformFailure(failure, error);
    // Nothing is in it yet: its removal needs no descriptor.
    removeEmptied(parent_, name_, directory_);
    throw failed;
  }
}

void StagingDirectory::removeIfStillOurs() noexcept {
  try {
    for (FileDescriptor& spare : spares_) spare.reset();
    // What is in it is reached through the descriptor held since it was made.
    if (emptiedOwnShape(directory_, false)) removeEmptied(parent_, name_, directory_);
  } catch (...) {
    // Best effort, as every clean-up: the answer never depends on it.
  }
}

StagingDirectory::~StagingDirectory() {
  removeIfStillOurs();
}

}  // namespace brindell
