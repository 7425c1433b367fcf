#include "cloud/cloud_state.h"
#include "cloud/coordinated_access.h"
#include "fileio/bounded_read.h"
#include "operations/operations.h"
#include "request/limits.h"

namespace brindell {

JsonValue read(Platform& platform, const Directory& folder, const std::string& name) {
  readManifest(platform, folder);
  requestDownload(platform, folder, name);
  const ObjectFile history = coordinatedRead(platform, folder, name, /*metadataOnly=*/false, [&] {
    return readObject(platform, folder, name, maximumBundleBytes);
  });
  return JsonValue(history.object);
}

}  // namespace brindell
