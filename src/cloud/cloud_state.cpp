#include "cloud/cloud_state.h"

#include <optional>

#include "cloud/client_items.h"
#include "cloud/coordinated_access.h"
#include "request/sync_failure.h"
#include "validation/paths.h"

namespace brindell {
namespace {

// Only an explicit true counts: the platform may leave any value out.
bool isTrue(const std::optional<bool>& value) {
  return value.value_or(false);
}

}  // namespace

CloudState cloudState(Platform& platform, const std::string& path, bool expectedCloud,
                      bool checkVersions, bool metadataOnly) {
  const ResourceValues values =
      metadataOnly ? platform.promisedResourceValues(path) : platform.resourceValues(path);
  const std::string name = lastComponent(path);

  if (isTrue(values.isSymbolicLink) || isTrue(values.isAliasFile)) {
    throw SyncFailure{"SYNC_UNSAFE_PATH", "Sync items cannot be symbolic links or Finder aliases."};
  }
  if (isTrue(values.ubiquitousItemIsExcludedFromSync)) {
    throw SyncFailure{"SYNC_EXCLUDED",
                      "iCloud Drive excludes this folder or file from synchronization. Select an "
                      "available iCloud Drive folder."};
  }
  // The version store is asked only when the flag alone does not settle it.
  const bool inConflict = isTrue(values.ubiquitousItemHasUnresolvedConflicts) ||
                          (checkVersions && platform.unresolvedConflictVersionCount(path) > 0);
  if (inConflict) {
    throw SyncFailure{"SYNC_FILE_CONFLICT",
                      "iCloud Drive reports conflicting versions of " + name +
                          ". Preserve the files and resolve the folder conflict before retrying."};
  }
  // A sync client that shares the folder tells of a conflict by a copy beside the item.
  if (checkVersions) refuseClientConflict(platform, path);
  if (values.ubiquitousItemDownloadingError) {
    throw SyncFailure{"SYNC_DOWNLOAD_FAILED", "iCloud Drive could not download " + name + ": " +
                                                  *values.ubiquitousItemDownloadingError};
  }
  if (values.ubiquitousItemUploadingError) {
    throw SyncFailure{"SYNC_UPLOAD_FAILED", "iCloud Drive could not upload " + name + ": " +
                                                *values.ubiquitousItemUploadingError};
  }

  if (!expectedCloud && !isTrue(values.isUbiquitousItem)) return CloudState{false, true, false};
  CloudState state;
  state.isUbiquitous = true;
  state.isUploaded =
      isTrue(values.ubiquitousItemIsUploaded) && !isTrue(values.ubiquitousItemIsUploading);
  state.needsDownload = !values.ubiquitousItemDownloadingStatus ||
                        *values.ubiquitousItemDownloadingStatus != downloadingStatusCurrent;
  return state;
}

void requestDownload(Platform& platform, const std::string& path) {
  coordinatedRead(platform, path, true, [&](const std::string& item) {
    const std::string placeholder = placeholderPath(item);
    if (exists(item)) {
      validatePath(item, false, false);
      if (!cloudState(platform, item, false, false, true).needsDownload) return;
    } else {
      if (!exists(placeholder)) {
        // A sync client may be downloading it, which tells the user more.
        refuseClientDownload(platform, item);
        throw SyncFailure{"SYNC_DOWNLOAD_PENDING",
                          lastComponent(item) +
                              " is not available yet. Wait for iCloud Drive and retry; the "
                              "existing workspace will not be replaced."};
      }
      validatePath(placeholder, false, false);
    }
    // The download is asked for the item itself: the placeholder is only the
    // cloud drive's marker and downloading it means nothing.
    platform.startDownloading(item);
  });
}

std::string placeholderPath(const std::string& path) {
  std::string name = ".";
  name += lastComponent(path);
  name += ".icloud";
  return appendComponent(parentPath(path), name);
}

}  // namespace brindell
