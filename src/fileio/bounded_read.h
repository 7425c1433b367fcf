#pragma once

#include <cstdint>
#include <string>

#include "cloud/cloud_state.h"
#include "cloud/platform.h"
#include "fileio/json_document.h"

namespace brindell {

// Reads at most `maximum` bytes of the regular file `name` of a held
// directory, which must have exactly one link. The item is checked with
// validateItem, then opened relative to the directory without following a
// link and without blocking (a FIFO swapped in returns at once and is
// refused as not regular). The size is checked with fstat before
// any byte is read; at most maximum + 1 bytes are ever read, in 64 KiB reads
// retried on EINTR. Throws SyncFailure:
//   validateItem's failures;
//   "SYNC_IO" "Cannot read " + name / "Cannot inspect the opened sync file" /
//     "Cannot read the sync file" for failed open, fstat, read;
//   "SYNC_UNSAFE_PATH" "Sync content must be a regular file without hard links.";
//   "SYNC_CAPACITY" "A sync file exceeds the supported size limit. Local
//     workspace data is unchanged." (before reading, or when it grew).
std::string boundedData(const Directory& directory, std::string_view name, std::int64_t maximum);

struct ObjectFile {
  JsonObject object;
  CloudState state;  // needsDownload is always false
};

// Reads a JSON object file inside a coordinated read: path check, cloud state
// (conflict versions included), a refusal of contents not yet downloaded
// ("SYNC_DOWNLOAD_PENDING" "iCloud Drive has not made the current file
// contents available. Retry after the download completes."), the bounded read
// and parseObject. Throws SyncFailure or PlatformError.
ObjectFile readObject(Platform& platform, const Directory& directory, std::string_view name,
                      std::int64_t maximum);

// Reads and validates the folder's "manifest.json": requests its download if
// needed, reads it in a coordinated read (at most 4,096 bytes) and checks it
// with manifestObject. Throws SyncFailure or PlatformError.
ObjectFile readManifest(Platform& platform, const Directory& folder);

}  // namespace brindell
