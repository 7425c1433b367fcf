#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace brindell {

// True exactly for a lowercase UUID in 8-4-4-4-12 hexadecimal form.
bool validID(std::string_view text);

// True exactly for a history file name: a lowercase UUID, "-", 64 lowercase
// hexadecimal digits and ".brindell-history.json", nothing before or after.
bool isHistoryFileName(std::string_view name);

// "Brindell-" + workspaceId + ".brindell-sync": the name of a workspace's
// sync folder.
std::string syncFolderName(std::string_view workspaceId);
// True exactly for such a name of a valid workspace identifier.
bool isSyncFolderName(std::string_view name);

// The name between typographic quotes, as a sentence names an item.
std::string inQuotes(std::string_view name);

// Path text helpers. Paths are absolute; they are split at "/" with empty
// pieces dropped, as a file URL would normalise them.
std::vector<std::string> pathComponents(std::string_view path);
// The normalised form: "/" + the components joined by "/" ("/" for the root).
std::string normalizedPath(std::string_view path);
std::string lastComponent(std::string_view path);
std::string appendComponent(std::string_view path, std::string_view name);

}  // namespace brindell
