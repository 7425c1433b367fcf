#include "folder/cloud_state.h"

#include <optional>

#include "base/names.h"
#include "base/sync_failure.h"
#include "base/wording.h"
#include "folder/client_items.h"
#include "folder/coordinated_access.h"

namespace brindell {
namespace {

// Only an explicit true counts: the platform may leave any value out.
bool isTrue(const std::optional<bool>& value) {
  return value.value_or(false);
}

}  // namespace

CloudState cloudState(Platform& platform, const Directory& directory, std::string_view name,
                      CloudQuery query) {
  return cloudState(platform, directory, name, query,
                    query.metadataOnly ? platform.promisedResourceValues(directory, name)
                                       : platform.resourceValues(directory, name));
}

CloudState cloudState(Platform& platform, const Directory& directory, std::string_view name,
                      CloudQuery query, const ResourceValues& values) {
  const std::string itemName = name.empty() ? lastComponent(directory.path) : std::string(name);

  if (isTrue(values.isSymbolicLink) || isTrue(values.isAliasFile)) {
    throw SyncFailure{Code::unsafePath, "Sync items cannot be " + std::string(linkKinds) + "."};
  }
  if (isTrue(values.ubiquitousItemIsExcludedFromSync)) {
    throw SyncFailure{Code::excluded,
                      "iCloud Drive excludes this folder or file from synchronization. Select an "
                      "available iCloud Drive folder."};
  }
  // The version store is asked only when the flag alone does not settle it.
  const bool inConflict =
      isTrue(values.ubiquitousItemHasUnresolvedConflicts) ||
      (query.checkVersions && platform.unresolvedConflictVersionCount(directory, name) > 0);
  if (inConflict) {
    throw SyncFailure{Code::fileConflict,
                      "iCloud Drive reports conflicting versions of " + itemName +
                          ". Preserve the files and resolve the folder conflict before retrying."};
  }
  // A sync client that shares the folder tells of a conflict by a copy beside the item.
  if (query.checkVersions) refuseClientConflict(platform, directory, name);
  if (values.ubiquitousItemDownloadingError) {
    throw SyncFailure{Code::downloadFailed, "iCloud Drive could not download " + itemName + ": " +
                                                *values.ubiquitousItemDownloadingError};
  }
  if (values.ubiquitousItemUploadingError) {
    throw SyncFailure{Code::uploadFailed, "iCloud Drive could not upload " + itemName + ": " +
                                              *values.ubiquitousItemUploadingError};
  }

  if (!query.expectedCloud && !isTrue(values.isUbiquitousItem))
    return CloudState{false, true, false};
  CloudState state;
  state.isUbiquitous = true;
  state.isUploaded =
      isTrue(values.ubiquitousItemIsUploaded) && !isTrue(values.ubiquitousItemIsUploading);
  state.needsDownload = !values.ubiquitousItemDownloadingStatus ||
                        *values.ubiquitousItemDownloadingStatus != downloadingStatusCurrent;
  return state;
}

void requestDownload(Platform& platform, const Directory& directory, std::string_view name) {
  // A folder that may be searched but not read cannot be locked for
  // coordination; one that may not even be searched fails first here, as it
  // would wherever the platform coordinates without reading the folder.
  exists(directory, name);
  coordinatedRead(platform, directory, name, /*metadataOnly=*/true, [&] {
    const std::string placeholder = placeholderName(name);
    if (exists(directory, name)) {
      // A link at the item is a link on the path the user chose, and is
      // answered as such rather than by what the metadata says of it.
      validateItem(directory, name, {});
      if (!cloudState(platform, directory, name, {.metadataOnly = true}).needsDownload) return;
    } else {
      if (!exists(directory, placeholder)) {
        // A sync client may be downloading it, which tells the user more.
        refuseClientDownload(platform, directory, name);
        throw SyncFailure{Code::downloadPending,
                          std::string(name) + " is not available yet. Wait for " +
                              std::string(syncService) +
                              " and retry; the existing workspace will not be replaced."};
      }
      validateItem(directory, placeholder, {});
    }
    // The download is asked for the item itself: the placeholder is only the
    // cloud drive's marker and downloading it means nothing.
    platform.startDownloading(directory, name);
  });
}

std::string placeholderName(std::string_view name) {
  std::string placeholder = ".";
  placeholder += name;
  placeholder += ".icloud";
  return placeholder;
}

}  // namespace brindell
