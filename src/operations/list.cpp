#include "folder/coordinated_access.h"
#include "folder/listing.h"
#include "folder/object_file.h"
#include "operations/operations.h"

namespace brindell {

JsonValue list(Platform& platform, const Request& request) {
  const Directory& folder = request.folder;
  requireOwnDirectory(folder);
  // The manifest is read on its own first, so a folder that is not a sync
  // folder is reported as such rather than by whatever the listing trips on.
  const ObjectFile manifest = readManifest(platform, folder);
  const Listing contents = coordinatedRead(platform, folder, "", /*metadataOnly=*/true, [&] {
    return listing(platform, folder, /*metadataOnly=*/true);
  });
  return JsonValue::Object{
      {"manifest", JsonValue(manifest.object)},
      {"files", filesJson(contents.files)},
      {"isUbiquitous", contents.isUbiquitous},
      {"pendingUploads", !manifest.state.isUploaded || contents.pendingUploads}};
}

}  // namespace brindell
