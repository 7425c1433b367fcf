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

// `parent`/"sync" holding only the manifest of `workspace`; returns its path.
std::string makeSyncFolder(const std::string& parent, std::string_view workspace = workspaceA);

// A canonically encoded JSON object of `workspace` of exactly `size` bytes
// (at least 70).
std::string objectOfSize(std::size_t size, std::string_view workspace = workspaceA);

// A file of exactly `size` bytes that takes no space.
void sparseFile(const std::string& path, std::int64_t size);

// One item of a test tree, named relative to the directory it is built in.
struct Item {
  enum Kind { file, sparse, directory, link, hardLink, fifo, gone } kind;
  std::string name;
  std::string text;       // file: its bytes; link, hardLink: the target's name
  std::int64_t size = 0;  // sparse: its size
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
// A list of items, for tables (a braced list would break their layout).
template <typename... Items>
std::vector<Item> with(Items... items) {
  return {std::move(items)...};
}

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

// What a cloud drive reports for a downloaded, current file of `size` bytes.
ResourceValues cloudFile(std::int64_t size, bool uploaded = true);

// "ok", or what `call` threw: "CODE: message" for a SyncFailure,
// "platform: description" for a PlatformError.
std::string outcomeOf(const std::function<void()>& call);

// The request text for `operation` on `folder`, with more members
// (",\"name\":..." and the like) appended as given.
std::string requestText(std::string_view operation, const std::string& folder,
                        std::string_view moreMembers = "");

// The exact bytes of a success answer whose result encodes as `result`.
std::string successLine(std::string_view result);

}  // namespace brindell::testing
