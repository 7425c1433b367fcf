#include "folder/manifest_write.h"

#include "base/limits.h"
#include "base/sync_failure.h"
#include "fileio/bounded_read.h"
#include "folder/cloud_state.h"
#include "folder/coordinated_access.h"
#include "folder/manifest.h"
#include "json/json.h"

namespace brindell {

bool coordinatedManifestWrite(Platform& platform, const Directory& folder,
                              const std::string& expectedWorkspaceId,
                              const std::function<bool()>& body) {
  const std::string manifest = folder.pathOf(manifestFileName);
  auto checkThenRun = [&] {
    const CloudState state =
        cloudState(platform, folder, manifestFileName, {.checkVersions = true});
    if (state.needsDownload) {
      throw SyncFailure{Code::downloadPending,
                        "The current workspace manifest is still downloading. Retry when iCloud "
                        "Drive makes it available."};
    }
    const JsonObject object =
        parseObject(boundedBytes(folder, manifestFileName, maximumManifestBytes));
    manifestObject(object);
    if (object.find("workspaceId")->text() != expectedWorkspaceId) {
      throw SyncFailure{Code::workspaceMismatch,
                        "The sync folder now belongs to a different workspace. No history was "
                        "published there."};
    }
    return body();
  };
  return detail::coordinated(
      [&](const detail::Guard& guard) {
        platform.coordinateReadingAndWriting(
            folder, manifestFileName, 0, 0,
            [&](const std::string& reading, const std::string& writing) {
              guard(writing != folder.path || reading != manifest);
            });
      },
      checkThenRun, "Coordinated manifest validation did not complete. Retry sync.");
}

}  // namespace brindell
