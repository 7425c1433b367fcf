#include "folder/object_file.h"

#include "base/limits.h"
#include "base/sync_failure.h"
#include "fileio/bounded_read.h"
#include "folder/coordinated_access.h"
#include "folder/manifest.h"
#include "json/json.h"

namespace brindell {

ObjectFile readObject(Platform& platform, const Directory& directory, std::string_view name,
                      std::int64_t maximum) {
  validateItem(directory, name, {});
  const CloudState state = cloudState(platform, directory, name, {.checkVersions = true});
  if (state.needsDownload) {
    throw SyncFailure{Code::downloadPending,
                      "iCloud Drive has not made the current file contents available. Retry after "
                      "the download completes."};
  }
  JsonObject object = parseObject(boundedBytes(directory, name, maximum));
  return ObjectFile{std::move(object), CloudState{state.isUbiquitous, state.isUploaded, false}};
}

ObjectFile readManifest(Platform& platform, const Directory& folder) {
  requestDownload(platform, folder, manifestFileName);
  ObjectFile manifest = coordinatedRead(
      platform, folder, manifestFileName, /*metadataOnly=*/false,
      [&] { return readObject(platform, folder, manifestFileName, maximumManifestBytes); });
  manifestObject(manifest.object);
  return manifest;
}

}  // namespace brindell
