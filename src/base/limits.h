#pragma once

#include <cstdint>

namespace brindell {

// The largest history file, and the read bound for one.
inline constexpr std::int64_t maximumBundleBytes = 7'340'032;
// The largest total of the history files in one sync folder.
inline constexpr std::int64_t maximumFolderBytes = 67'108'864;
// The most history files one sync folder may hold.
inline constexpr std::int64_t maximumFiles = 512;
// A request carries at most one history bundle plus room for its envelope.
inline constexpr std::int64_t maximumRequestBytes = maximumBundleBytes + 65'536;
// The largest workspace manifest any reader accepts.
inline constexpr std::int64_t maximumManifestBytes = 4'096;
// The longest folder path a request may name, in UTF-8 bytes.
inline constexpr std::size_t maximumFolderPathBytes = 4'096;

}  // namespace brindell
