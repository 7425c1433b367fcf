#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace brindell {

// Path text helpers. Paths are absolute; they are split at "/" with empty
// pieces dropped, as a file URL would normalise them.
std::vector<std::string> pathComponents(std::string_view path);
// The normalised form: "/" + the components joined by "/" ("/" for the root).
std::string normalizedPath(std::string_view path);
std::string lastComponent(std::string_view path);
std::string appendComponent(std::string_view path, std::string_view name);
// The path without its last component ("/" for a top-level item).
std::string parentPath(std::string_view path);

// Whether an item exists at the path; a final symbolic link is not followed,
// so a dangling link exists. Throws SyncFailure "SYNC_IO" ("Cannot inspect " +
// last component) when lstat fails for any reason but ENOENT.
bool exists(const std::string& path);

// Walks the path from the root down with lstat: every component must exist,
// must not be a symbolic link, and must be a directory, except the last, which
// must be a directory when `directory` and a regular file otherwise. With
// `allowMissingLeaf` the last component may be absent. The first problem from
// the top decides. Throws SyncFailure:
//   "SYNC_MISSING"     a component is missing;
//   "SYNC_IO"          lstat failed otherwise ("Cannot inspect the sync path");
//   "SYNC_UNSAFE_PATH" a symbolic link, or an item of the wrong kind.
// The root itself examines nothing.
void validatePath(const std::string& path, bool directory, bool allowMissingLeaf);

}  // namespace brindell
