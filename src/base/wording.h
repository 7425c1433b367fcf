#pragma once

#include <string_view>

namespace brindell {

// The words of the sentences a user sees that name the service carrying the
// sync folder, the user's machine and the links a path may not hold. On
// macOS the folder lives in iCloud Drive on a Mac, and Finder aliases are
// links too; elsewhere a sync client (Syncthing, Nextcloud, Dropbox...)
// carries it, and the words say so. Codes and the rest of each sentence are
// the same everywhere.
#ifdef __APPLE__
inline constexpr std::string_view syncService = "iCloud Drive";
inline constexpr std::string_view thisMachine = "this Mac";
inline constexpr std::string_view linkKinds = "symbolic links or Finder aliases";
#else
inline constexpr std::string_view syncService = "the sync client";
inline constexpr std::string_view thisMachine = "this computer";
inline constexpr std::string_view linkKinds = "symbolic links";
#endif

}  // namespace brindell
