#include "cloud/client_files.h"

#include <algorithm>
#include <cctype>
#include <utility>

namespace brindell {
namespace {

using Kind = ClientFileKind;

// Each row names the client and where its convention is described; a
// convention seen only in third-party material says so.

// Entries a client keeps for itself, matched exactly.
constexpr std::string_view ownEntries[] = {
    // Syncthing: the folder marker, a directory (a file in old releases)
    // whose absence stops the folder (docs: FAQ, "folder marker").
    ".stfolder",
    // Syncthing: the ignore patterns, never synced themselves (docs:
    // "Ignoring Files").
    ".stignore",
    // Syncthing: replaced and deleted files kept by file versioning (docs:
    // "File Versioning").
    ".stversions",
    // Dropbox: the cache and staging area of downloads and uploads (help:
    // "How to clear the Dropbox cache folder").
    ".dropbox.cache",
    // Dropbox: a folder's identity and attributes (third-party material only).
    ".dropbox",
    ".dropbox.attr",
    // Nextcloud and ownCloud desktop clients: the sync logs (the clients'
    // built-in exclude list).
    ".owncloudsync.log",
    ".nextcloudsync.log",
    // KDE Dolphin: a folder's view settings (third-party material only).
    ".directory",
};

// Windows Explorer's thumbnail cache and folder settings, which clients carry
// over from Windows peers; Windows spells them in either case.
constexpr std::string_view windowsEntries[] = {"Thumbs.db", "desktop.ini"};

// Nextcloud and ownCloud desktop clients: the sync journal, an SQLite
// database in the folder, "._sync_" + id + ".db" and the older
// ".csync_journal.db" (client manual: "Ignored Files", "The Sync Journal");
// current clients spell it ".sync_" + id + ".db" (built-in exclude list).
// SQLite keeps its write-ahead log and shared memory beside it.
constexpr std::string_view journalPrefixes[] = {".sync_", "._sync_"};
constexpr std::string_view oldJournal = ".csync_journal";
constexpr std::string_view databaseEndings[] = {".db", ".db-wal", ".db-shm"};

// Syncthing: a download goes to ".syncthing." + name + ".tmp" (on Windows
// peers "~syncthing~" + name + ".tmp"), renamed over the name when complete;
// an interrupted one stays up to a day (docs: "Understanding
// Synchronization", "Temporary Files"). A name longer than 145 bytes (160
// less the additions) is replaced by a hexadecimal hash: of the name, by
// SHA-256 (64 digits), as 1.19 does (seen in the Syncthing system test); of
// its path in the folder, by MD5 (32 digits), in older releases (source:
// lib/fs/tempname.go). Every conflict copy of a history file is that long. Such a name reads as an
// item named by the digits, which is never the manifest or a history file: an item in transit that
// is neither, which is what it is.
constexpr std::string_view syncthingTemporaryPrefixes[] = {".syncthing.", "~syncthing~"};
constexpr std::string_view syncthingTemporaryEnding = ".tmp";

// ownCloud virtual files on Linux: a file not downloaded is a one-byte
// placeholder named name + ".owncloud", replaced by the file once it is
// downloaded (client wiki: "Virtual Files"). Nextcloud's client names it
// name + ".nextcloud" (third-party material only).
constexpr std::string_view virtualFileEndings[] = {".owncloud", ".nextcloud"};

// Syncthing: the losing side of a conflict becomes
// stem + ".sync-conflict-" + YYYYMMDD + "-" + HHMMSS + "-" + device + extension,
// and is synced to every peer like any file (docs: "Understanding
// Synchronization", "Conflicting Changes"); old releases left out the device.
constexpr std::string_view syncthingConflict = ".sync-conflict-";

// Dropbox: the later save becomes a copy whose name adds the editor, "conflicted
// copy" and the date (help: "What's a conflicted copy?"), as
// stem + " (" + editor + "'s conflicted copy " + date + ")" + extension.
// Nextcloud and ownCloud desktop clients: the local version becomes
// stem + " (conflicted copy " + date + " " + time + ")" + extension (Nextcloud
// manual: "Conflicts").
constexpr std::string_view conflictedCopy = "conflicted copy";

// Nextcloud and ownCloud desktop clients before 2.5: the local version became
// stem + "_conflict-" + YYYYMMDD + "-" + HHMMSS + extension (client manual:
// "Comparison and Conflict Cases").
constexpr std::string_view oldClientConflict = "_conflict-";

// OneDrive client for Linux: a local file that would be overwritten is kept as
// stem + "-" + device + "-safeBackup-" + number + extension and uploaded
// (third-party material only; its manual shows the older stem + "-" + device +
// extension, which a name alone cannot tell).
constexpr std::string_view oneDriveBackup = "-safeBackup-";

bool isDigits(std::string_view text) {
  return !text.empty() && std::all_of(text.begin(), text.end(),
                                      [](unsigned char c) { return std::isdigit(c) != 0; });
}

bool isLettersAndDigits(std::string_view text) {
  return !text.empty() && std::all_of(text.begin(), text.end(),
                                      [](unsigned char c) { return std::isalnum(c) != 0; });
}

bool equalsIgnoringCase(std::string_view a, std::string_view b) {
  return a.size() == b.size() &&
         std::equal(a.begin(), a.end(), b.begin(), [](unsigned char x, unsigned char y) {
           return std::tolower(x) == std::tolower(y);
         });
}

// An extension is empty or starts with its dot.
bool isExtension(std::string_view text) {
  return text.empty() || text.front() == '.';
}

bool isJournal(std::string_view name) {
  for (const std::string_view ending : databaseEndings) {
    if (!name.ends_with(ending)) continue;
    const std::string_view stem = name.substr(0, name.size() - ending.size());
    if (stem == oldJournal) return true;
    for (const std::string_view prefix : journalPrefixes) {
      if (stem.size() > prefix.size() && stem.starts_with(prefix)) return true;
    }
  }
  return false;
}

bool isMetadata(std::string_view name) {
  return std::find(std::begin(ownEntries), std::end(ownEntries), name) != std::end(ownEntries) ||
         std::any_of(std::begin(windowsEntries), std::end(windowsEntries),
                     [&](std::string_view entry) { return equalsIgnoringCase(name, entry); }) ||
         isJournal(name);
}

std::vector<std::string> itemInTransit(std::string_view name) {
  for (const std::string_view prefix : syncthingTemporaryPrefixes) {
    if (name.size() > prefix.size() + syncthingTemporaryEnding.size() && name.starts_with(prefix) &&
        name.ends_with(syncthingTemporaryEnding)) {
      return {std::string(name.substr(
          prefix.size(), name.size() - prefix.size() - syncthingTemporaryEnding.size()))};
    }
  }
  for (const std::string_view ending : virtualFileEndings) {
    if (name.size() > ending.size() && name.ends_with(ending)) {
      return {std::string(name.substr(0, name.size() - ending.size()))};
    }
  }
  return {};
}

std::string joined(std::string_view stem, std::string_view extension) {
  std::string item(stem);
  item += extension;
  return item;
}

// The rest after a stamp of YYYYMMDD + "-" + HHMMSS, or npos.
std::size_t afterStamp(std::string_view text) {
  constexpr std::size_t length = 15;
  if (text.size() < length || !isDigits(text.substr(0, 8)) || text[8] != '-' ||
      !isDigits(text.substr(9, 6))) {
    return std::string_view::npos;
  }
  return length;
}

std::vector<std::string> syncthingOriginal(std::string_view name) {
  const std::size_t at = name.find(syncthingConflict);
  if (at == name.npos) return {};
  std::string_view rest = name.substr(at + syncthingConflict.size());
  const std::size_t stamp = afterStamp(rest);
  if (stamp == rest.npos) return {};
  rest.remove_prefix(stamp);
  if (rest.starts_with('-')) {
    const std::size_t device = std::min(rest.find('.'), rest.size());
    if (!isLettersAndDigits(rest.substr(1, device - 1))) return {};
    rest.remove_prefix(device);
  }
  if (!isExtension(rest)) return {};
  return {joined(name.substr(0, at), rest)};
}

std::vector<std::string> conflictedCopyOriginal(std::string_view name) {
  const std::size_t mark = name.find(conflictedCopy);
  if (mark == name.npos) return {};
  const std::size_t open = name.rfind(" (", mark);
  const std::size_t close = name.find(')', mark);
  if (open == name.npos || close == name.npos) return {};
  const std::string_view extension = name.substr(close + 1);
  if (!isExtension(extension)) return {};
  return {joined(name.substr(0, open), extension)};
}

std::vector<std::string> oldClientOriginal(std::string_view name) {
  const std::size_t at = name.find(oldClientConflict);
  if (at == name.npos) return {};
  const std::string_view rest = name.substr(at + oldClientConflict.size());
  const std::size_t stamp = afterStamp(rest);
  if (stamp == rest.npos || !isExtension(rest.substr(stamp))) return {};
  return {joined(name.substr(0, at), rest.substr(stamp))};
}

std::vector<std::string> oneDriveOriginals(std::string_view name) {
  const std::size_t at = name.find(oneDriveBackup);
  if (at == name.npos) return {};
  const std::string_view rest = name.substr(at + oneDriveBackup.size());
  const std::size_t number = std::min(rest.find('.'), rest.size());
  if (!isDigits(rest.substr(0, number))) return {};
  const std::string_view extension = rest.substr(number);
  // The stem and the device name may both hold hyphens: every split is a
  // reading, and a device name is never empty.
  const std::string_view stemAndDevice = name.substr(0, at);
  std::vector<std::string> items;
  for (std::size_t hyphen = stemAndDevice.rfind('-'); hyphen != 0 && hyphen != name.npos;
       hyphen = stemAndDevice.rfind('-', hyphen - 1)) {
    if (hyphen + 1 < stemAndDevice.size()) {
      items.push_back(joined(stemAndDevice.substr(0, hyphen), extension));
    }
  }
  return items;
}

std::vector<std::string> conflictOriginals(std::string_view name) {
  for (const auto reading :
       {syncthingOriginal, conflictedCopyOriginal, oldClientOriginal, oneDriveOriginals}) {
    if (std::vector<std::string> items = reading(name); !items.empty()) return items;
  }
  return {};
}

}  // namespace

ClientFile clientFileOf(std::string_view name) {
  if (isMetadata(name)) return {Kind::metadata, {}};
  if (std::vector<std::string> items = itemInTransit(name); !items.empty()) {
    return {Kind::inTransit, std::move(items)};
  }
  if (std::vector<std::string> items = conflictOriginals(name); !items.empty()) {
    return {Kind::conflictCopy, std::move(items)};
  }
  return {};
}

}  // namespace brindell
