#pragma once

#include <cstdint>
#include <string_view>

#include "cloud/platform.h"
#include "folder/cloud_state.h"
#include "json/json_document.h"

namespace brindell {

struct ObjectFile {
  JsonObject object;
  CloudState state;  // needsDownload is always false
};

// Reads a JSON object file inside a coordinated read: path check, cloud state
// (conflict versions included), a refusal of contents not yet downloaded
// (Code::downloadPending "iCloud Drive has not made the current file
// contents available. Retry after the download completes."), the bounded read
// and parseObject. Throws SyncFailure.
ObjectFile readObject(Platform& platform, const Directory& directory, std::string_view name,
                      std::int64_t maximum);

// Reads and validates the folder's "manifest.json": requests its download if
// needed, reads it in a coordinated read (at most 4,096 bytes) and checks it
// with manifestObject. Throws SyncFailure.
ObjectFile readManifest(Platform& platform, const Directory& folder);

}  // namespace brindell
