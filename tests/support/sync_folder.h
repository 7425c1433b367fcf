#pragma once

#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "cloud/platform.h"
#include "support/helper_process.h"

namespace brindell::testing {

// Two workspaces, so that tests can tell them apart.
inline constexpr const char* workspaceA = "0f8fad5b-d9cb-469f-a165-70867728950e";
inline constexpr const char* workspaceB = "7c9e6679-7425-40de-944b-e07fc1f90ae7";

// The manifest create writes for `workspace`: 98 canonical bytes.
std::string manifestText(std::string_view workspace = workspaceA);

// A history file name of `workspace` whose digits spell `index`.
std::string historyName(std::size_t index, std::string_view workspace = workspaceA);

// The sync folder create makes for workspace A.
inline const std::string folderName = "Brindell-" + std::string(workspaceA) + ".brindell-sync";

// `parent`/"sync" holding only the manifest of `workspace`; returns its path.
std::string makeSyncFolder(const std::string& parent, std::string_view workspace = workspaceA);

// A canonically encoded JSON object of `workspace` of exactly `size` bytes
// (at least 70).
std::string objectOfSize(std::size_t size, std::string_view workspace = workspaceA);

// One item of a test tree, named relative to the directory it is built in.
struct Item {
  enum Kind { file, sparse, directory, link, hardLink, fifo, gone } kind;
  std::string name;
  std::string text;       // file: its bytes; link, hardLink: the target's name
  std::int64_t size = 0;  // sparse: its size, taking no disk space
};
void build(const std::string& directory, const std::vector<Item>& items);

inline Item file(std::string name, std::string text = "") {
  return {Item::file, std::move(name), std::move(text)};
}
inline Item sparse(std::string name, std::int64_t size) {
  return {Item::sparse, std::move(name), "", size};
}
inline Item directory(std::string name) {
  return {Item::directory, std::move(name), ""};
}
inline Item linkTo(std::string name, std::string target) {
  return {Item::link, std::move(name), std::move(target)};
}
inline Item hardLinkTo(std::string name, std::string target) {
  return {Item::hardLink, std::move(name), std::move(target)};
}
inline Item fifo(std::string name) {
  return {Item::fifo, std::move(name), ""};
}
inline Item gone(std::string name) {
  return {Item::gone, std::move(name), ""};
}
// Items and lists of items joined into one list, for tables (a braced list
// would break their layout).
inline void append(std::vector<Item>& items, Item item) {
  items.push_back(std::move(item));
}
inline void append(std::vector<Item>& items, const std::vector<Item>& more) {
  items.insert(items.end(), more.begin(), more.end());
}
template <typename... Parts>
std::vector<Item> with(Parts... parts) {
  std::vector<Item> items;
  (append(items, std::move(parts)), ...);
  return items;
}

// `count` sparse history files of `size` bytes, numbered from `first`.
std::vector<Item> historyFiles(std::size_t count, std::int64_t size, std::size_t first = 100);
// Sparse history files that leave `room` bytes of the folder's 64 MiB.
std::vector<Item> filesLeaving(std::int64_t room);

// Checks (with gtest) that `parent` holds the sync folder of workspace A and
// nothing else: mode 0700, holding only the 98-byte canonical manifest with
// mode 0600.
void expectCompleteFolder(const std::string& parent);

// The names in a directory, hidden ones included, sorted.
std::vector<std::string> entryNames(const std::string& directory);

// Whether a staging directory is left in `directory`.
bool hasStagingLeftovers(const std::string& directory);

// What a directory tree looks like to a user: every item's path, kind, size,
// mode, inode and modification time (contents not read, so sparse files stay
// cheap). Equal snapshots mean nothing was added, removed or changed.
std::string treeSnapshot(const std::string& directory);

// The permission bits of an item (0 when there is none).
mode_t permissions(const std::string& path);

// Runs the helper on every request at the same time, each in its own process.
std::vector<HelperRun> runTogether(const std::vector<std::string>& requests);

// How many of the runs answered exactly `output`.
long answersOf(const std::vector<HelperRun>& runs, const std::string& output);

// What a cloud drive reports for a downloaded, current file of `size` bytes,
// and for one whose current version is not downloaded.
ResourceValues cloudFile(std::int64_t size, bool uploaded = true);
ResourceValues notDownloaded();

// "ok", or what `call` threw: "CODE: message" for a SyncFailure,
// "platform: description" for a PlatformError.
std::string outcomeOf(const std::function<void()>& call);

// Request texts: `operation` on `folder`, with more members (",\"name\":..."
// and the like) appended as given.
std::string requestText(std::string_view operation, const std::string& folder,
                        std::string_view moreMembers = "");
std::string createRequest(const std::string& parent,
                          const std::string& workspace = jsonString(workspaceA));
std::string publishRequest(const std::string& folder, const std::string& content,
                           const std::string& name = historyName(1));

// The exact bytes of answers: any success, and those of create (of workspace
// A in `parent`) and publish (of a local file).
std::string successLine(std::string_view result);
std::string createdLine(const std::string& parent, const std::string& manifest = manifestText());
std::string publishedLine(bool created, const std::string& name = historyName(1));

}  // namespace brindell::testing
