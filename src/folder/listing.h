#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "cloud/platform.h"
#include "json/json_value.h"

namespace brindell {

struct FileEntry {
  std::string name;  // the history file's name (a placeholder's base name)
  std::int64_t size = 0;
  bool isUploaded = true;
};

// The judged contents of one sync folder.
struct Listing {
  std::vector<FileEntry> files;  // sorted by name
  std::int64_t totalBytes = 0;
  bool isUbiquitous = false;
  bool pendingUploads = false;
};

// The file entries as the JSON array a result reports.
JsonValue filesJson(const std::vector<FileEntry>& files);

// Enumerates the folder once and judges every entry: ".DS_Store" is ignored,
// and so is a sync client's metadata or an item it is bringing that is no
// history file (the manifest, a conflict copy, a hashed name), uncounted up
// to a bound; the manifest and history files (or their placeholders) are
// admitted and checked; a history file a sync client is bringing is listed
// as its placeholder would be, with the size the client's file announces,
// unless the complete file is there too; a sync client's conflict copy of
// the manifest or a history file fails as such (refuseClientConflictCopy);
// anything else fails. Enforces the limits (546 enumerated entries,
// 4,096-byte manifest, 7 MiB per history file, 512 files, 64 MiB in total).
// Changes nothing in the folder; at most asks for a placeholder's download.
// `metadataOnly` applies to the folder's own cloud state. Throws SyncFailure.
Listing listing(Platform& platform, const Directory& folder, bool metadataOnly);

}  // namespace brindell
