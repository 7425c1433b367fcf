#include "folder/listing.h"

#include <algorithm>
#include <optional>
#include <set>

#include "base/limits.h"
#include "base/names.h"
#include "base/sync_failure.h"
#include "base/wording.h"
#include "folder/client_items.h"
#include "folder/cloud_state.h"
#include "folder/manifest.h"

namespace brindell {
namespace {

// A sync folder holds the manifest, at most maximumFiles history files and
// ".DS_Store"; a placeholder stands in for either of the first two. Anything
// past that is refused before it is looked at.
constexpr std::int64_t maximumEntries = maximumFiles + 2;

constexpr std::string_view placeholderPrefix = ".";
constexpr std::string_view placeholderSuffix = ".icloud";

struct Classified {
  bool placeholder;
  std::string baseName;
};

Classified classify(const std::string& name) {
  const bool placeholder = name.starts_with(placeholderPrefix) && name.ends_with(placeholderSuffix);
  if (!placeholder) return {false, name};
  std::string_view base = std::string_view(name).substr(placeholderPrefix.size());
  // ".icloud" alone shares its dot between both ends and has no base name.
  if (!base.ends_with(placeholderSuffix)) return {true, ""};
  base.remove_suffix(placeholderSuffix.size());
  return {true, std::string(base)};
}

// An entry's metadata, which must describe a regular file with a size.
ResourceValues regularFile(ResourceValues values) {
  if (values.isRegularFile != true || !values.fileSize || *values.fileSize < 0) {
    throw SyncFailure{Code::unsafePath, "A sync item is not a regular file with a known size."};
  }
  return values;
}

// The history file an entry a sync client is bringing stands for, if any.
std::optional<std::string> incomingHistoryFile(const ClientFile& client) {
  if (client.kind != ClientFileKind::inTransit) return std::nullopt;
  const auto item = std::find_if(client.items.begin(), client.items.end(),
                                 [](const std::string& name) { return isHistoryFileName(name); });
  if (item == client.items.end()) return std::nullopt;
  return *item;
}

// An admitted entry's item's metadata, which exists even while only a
// placeholder is local; it must be a regular file with a size. A placeholder
// whose metadata has not arrived gets its item's download asked for, to be
// retried once it is here (a refused request replaces the error).
ResourceValues itemValues(Platform& platform, const Directory& folder, const Classified& item) {
  ResourceValues values;
  try {
    values = platform.promisedResourceValues(folder, item.baseName);
  } catch (const SyncFailure&) {
    if (!item.placeholder) throw;
    platform.startDownloading(folder, item.baseName);
    throw SyncFailure{Code::downloadPending,
                      "iCloud Drive has not supplied the history file's metadata yet. Retry "
                      "after its download completes."};
  }
  return regularFile(values);
}

// Counts an admitted history file against the folder's limits.
void admitHistoryFile(Listing& result, const std::string& name, std::int64_t size,
                      bool isUploaded) {
  if (size > maximumBundleBytes) {
    throw SyncFailure{Code::capacity,
                      "A sync history file exceeds the 7-MiB limit. Local workspace data is "
                      "unchanged."};
  }
  // Both operands are at most 64 MiB + 7 MiB here, far from overflow.
  result.totalBytes += size;
  if (static_cast<std::int64_t>(result.files.size()) >= maximumFiles ||
      result.totalBytes > maximumFolderBytes) {
    throw SyncFailure{Code::capacity,
                      "The sync folder exceeds its 512-file or 64-MiB limit. Local edits are "
                      "safe; use a new sync folder or a supported retention workflow."};
  }
  result.files.push_back(FileEntry{name, size, isUploaded});
}

}  // namespace

JsonValue filesJson(const std::vector<FileEntry>& files) {
  JsonValue::Array entries;
  for (const FileEntry& file : files) {
    entries.emplace_back(JsonValue::Object{
        {"name", file.name}, {"size", file.size}, {"isUploaded", file.isUploaded}});
  }
  return entries;
}

Listing listing(Platform& platform, const Directory& folder, bool metadataOnly) {
  const CloudState folderState = cloudState(platform, folder, "", {.metadataOnly = metadataOnly});

  Listing result;
  result.isUbiquitous = folderState.isUbiquitous;
  std::int64_t entryCount = 0;
  std::int64_t clientMetadataCount = 0;
  std::set<std::string> seen;
  std::vector<FileEntry> arriving;

  auto judge = [&](const std::string& name) {
    // A sync client's metadata, and what it is bringing that is no history
    // file (the manifest, a conflict copy, an item whose name it hashed), are
    // no part of the folder's contents until they land, and use up none of
    // its entries, until so many that the work must stay bounded.
    const ClientFile client = platform.clientFile(name);
    const std::optional<std::string> incoming = incomingHistoryFile(client);
    const bool clientOwn = client.kind == ClientFileKind::metadata ||
                           (client.kind == ClientFileKind::inTransit && !incoming);
    if (clientOwn && ++clientMetadataCount <= maximumClientMetadataEntries) return;
    if (++entryCount > maximumEntries) {
      throw SyncFailure{Code::capacity,
                        "The sync folder exceeds its 512-file limit. Local edits are safe; use a "
                        "new sync folder or an explicitly supported retention workflow."};
    }
    if (name == ".DS_Store" || clientOwn) return;
    if (incoming) {
      validateItem(folder, name, {.allowMissing = true});
      // The size the client's file announces: Syncthing's temporary file has
      // the full size from the start, a virtual file a byte or none.
      const ResourceValues values = regularFile(platform.promisedResourceValues(folder, name));
      arriving.push_back(FileEntry{*incoming, *values.fileSize});
      return;
    }
    const Classified item = classify(name);
    const bool isManifest = item.baseName == manifestFileName;
    if (!isManifest && !isHistoryFileName(item.baseName)) {
      refuseClientConflictCopy(platform, name);
      throw SyncFailure{Code::folderContents,
                        "The sync folder contains an unexpected item: " + name +
                            ". Preserve it and select the dedicated "
                            "Brindell folder."};
    }
    if (!seen.insert(item.baseName).second) {
      throw SyncFailure{Code::fileConflict,
                        "The sync folder contains ambiguous copies of " + item.baseName +
                            ". Wait for " + std::string(syncService) +
                            " or inspect the conflicting files before retrying."};
    }
    validateItem(folder, name, {.allowMissing = true});
    const ResourceValues values = itemValues(platform, folder, item);
    const std::int64_t size = *values.fileSize;
    const CloudState state = cloudState(
        platform, folder, item.baseName,
        {.expectedCloud = folderState.isUbiquitous || item.placeholder, .metadataOnly = true},
        values);
    if (state.isUbiquitous) result.isUbiquitous = true;
    if (!state.isUploaded) result.pendingUploads = true;
    if (!isManifest) {
      admitHistoryFile(result, item.baseName, size, state.isUploaded);
    } else if (size > maximumManifestBytes) {
      throw SyncFailure{Code::capacity, "The sync manifest exceeds its supported size."};
    }
  };

  if (!platform.enumerateDirectory(folder, [&](const std::string& name) {
        judge(name);
        return true;
      })) {
    throw SyncFailure{Code::io, "Cannot list the selected sync folder."};
  }
  // A history file a sync client is bringing stands for the file, as a cloud
  // drive's placeholder does; beside a complete copy (a new version on its
  // way) it changes nothing.
  for (const FileEntry& file : arriving) {
    if (seen.insert(file.name).second) admitHistoryFile(result, file.name, file.size, true);
  }
  if (!seen.contains(manifestFileName)) {
    throw SyncFailure{Code::downloadPending,
                      "The workspace manifest disappeared during listing. Wait for " +
                          std::string(syncService) +
                          " and retry; this folder will not be reinitialized."};
  }
  std::sort(result.files.begin(), result.files.end(),
            [](const FileEntry& a, const FileEntry& b) { return a.name < b.name; });
  return result;
}

}  // namespace brindell
