#include "cloud/manifest_write.h"

#include <exception>
#include <optional>

#include "cloud/cloud_state.h"
#include "cloud/coordinated_access.h"
#include "fileio/bounded_read.h"
#include "fileio/json.h"
#include "folder/manifest.h"
#include "request/limits.h"
#include "request/sync_failure.h"
#include "validation/paths.h"

namespace brindell {

bool coordinatedManifestWrite(Platform& platform, const std::string& folder,
                              const std::string& expectedWorkspaceId,
                              const std::function<bool(const std::string& folder)>& body) {
  const std::string manifest = appendComponent(folder, manifestFileName);
  std::optional<bool> result;
  std::exception_ptr failure;

  auto accessor = [&](const std::string& reading, const std::string& writing) {
    try {
      if (writing != folder || reading != manifest) throw detail::folderMovedFailure();
      validatePath(writing, /*directory=*/true, /*allowMissingLeaf=*/false);
      const CloudState state = cloudState(platform, reading, /*expectedCloud=*/false,
                                          /*checkVersions=*/true, /*metadataOnly=*/false);
      if (state.needsDownload) {
        throw SyncFailure{"SYNC_DOWNLOAD_PENDING",
                          "The current workspace manifest is still downloading. Retry when iCloud "
                          "Drive makes it available."};
      }
      const JsonObject object = parseObject(boundedData(reading, maximumManifestBytes));
      manifestObject(object);
      if (object.find("workspaceId")->text() != expectedWorkspaceId) {
        throw SyncFailure{"SYNC_WORKSPACE_MISMATCH",
                          "The sync folder now belongs to a different workspace. No history was "
                          "published there."};
      }
      result = body(writing);
    } catch (...) {
      failure = std::current_exception();
    }
  };

  const std::optional<PlatformError> coordinationError =
      platform.coordinateReadingAndWriting(manifest, 0, folder, 0, accessor);
  if (failure) std::rethrow_exception(failure);
  if (result) return *result;
  if (coordinationError) throw *coordinationError;
  throw SyncFailure{"SYNC_IO", "Coordinated manifest validation did not complete. Retry sync."};
}

}  // namespace brindell
