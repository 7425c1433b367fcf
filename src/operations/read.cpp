#include "base/limits.h"
#include "folder/cloud_state.h"
#include "folder/coordinated_access.h"
#include "folder/object_file.h"
#include "operations/operations.h"

namespace brindell {

JsonValue read(Platform& platform, const Request& request) {
  const Directory& folder = request.folder;
  const std::string& name = request.name;
  requireOwnDirectory(folder);
  readManifest(platform, folder);
  requestDownload(platform, folder, name);
  const ObjectFile history = coordinatedRead(platform, folder, name, /*metadataOnly=*/false, [&] {
    return readObject(platform, folder, name, maximumBundleBytes);
  });
  return JsonValue(history.object);
}

}  // namespace brindell
