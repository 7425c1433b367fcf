#pragma once

#include <cstdint>
#include <string>

#include "cloud/platform.h"

namespace brindell {

// What a sync client sharing the sync folder tells through files of its own:
// which entries are its metadata, which item is still downloading and which
// is in conflict. Each entry is judged by its name (Platform::clientFile); the
// helper never reads, renames or removes any of them, because some clients
// delete the real file on every peer when its conflict copy goes.

// Client metadata beyond this many in one folder counts toward the listing's
// entry bound like any entry, so that no folder makes a listing examine more
// than a bounded number of entries. Clients leave a handful.
inline constexpr std::int64_t maximumClientMetadataEntries = 32;

// For an entry that is not one of the folder's own items: throws
// Code::fileConflict, the message naming the item and the entry, when a sync
// client left it as a conflict copy of "manifest.json" or a history file,
// and returns otherwise, leaving the entry to the caller.
void refuseClientConflictCopy(Platform& platform, const std::string& name);

// For an item of the directory that is missing: throws Code::downloadPending
// as above when the directory shows a sync client's download of it in progress, and
// returns otherwise. Lists that folder, at most as many entries as a listing
// examines. Throws SyncFailure Code::io when the folder cannot be listed, or
// the platform's failure met while listing it.
void refuseClientDownload(Platform& platform, const Directory& directory, std::string_view item);

// Throws Code::fileConflict as above when the directory holds a sync
// client's conflict copy of the item, and returns otherwise. Lists the
// directory like refuseClientDownload, with the same failures.
void refuseClientConflict(Platform& platform, const Directory& directory, std::string_view item);

}  // namespace brindell
