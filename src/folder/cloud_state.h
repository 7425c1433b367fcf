#pragma once

#include <string>

#include "cloud/platform.h"

namespace brindell {

// One item as the cloud drive sees it. A local item outside any cloud drive
// is {false, true, false}: it counts as uploaded and present.
struct CloudState {
  bool isUbiquitous = false;
  bool isUploaded = true;
  bool needsDownload = false;
};

// How an item's state is read.
struct CloudQuery {
  // Treat the item as a cloud item even if it does not say so.
  bool expectedCloud = false;
  // Besides the item's conflict flag, ask the version store.
  bool checkVersions = false;
  // Promised values, which exist even while only a placeholder is local.
  bool metadataOnly = false;
};

// Reads the item's metadata (promised values when `metadataOnly`) and refuses
// an item that cannot take part in sync, in this order:
//   a symbolic link or alias: Code::unsafePath;
//   excluded from sync: Code::excluded;
//   in conflict (the flag, or with `checkVersions` also unresolved versions in
//     the version store or a sync client's conflict copy beside the item, see
//     refuseClientConflict): Code::fileConflict;
//   a downloading error: Code::downloadFailed;
//   an uploading error: Code::uploadFailed.
// Throws SyncFailure, a failed metadata fetch's among them.
CloudState cloudState(Platform& platform, const Directory& directory, std::string_view name,
                      CloudQuery query);

// The same judgement of values the caller already fetched for the item, as
// `query` says they are fetched, so that a caller that needs them for more
// asks the platform once. Throws what the checks above throw.
CloudState cloudState(Platform& platform, const Directory& directory, std::string_view name,
                      CloudQuery query, const ResourceValues& values);

// Makes sure an item about to be read is present and current, or that its
// download has been asked for; never waits for a download. Runs in its own
// metadata-only coordinated read. An item with neither a local copy nor a
// placeholder fails with Code::downloadPending and a message that begins
// with the item's name (refuseClientDownload's when a sync client is
// downloading it). Throws SyncFailure (also for a refused download
// request).
void requestDownload(Platform& platform, const Directory& directory, std::string_view name);

// "." + name + ".icloud": what the cloud drive leaves beside an item it has
// not downloaded.
std::string placeholderName(std::string_view name);

}  // namespace brindell
