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

}  // namespace brindell
