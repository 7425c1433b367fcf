#include "cloud/cloud_state.h"
#include "cloud/coordinated_access.h"
#include "fileio/bounded_read.h"
#include "operations/operations.h"
#include "request/limits.h"
#include "validation/paths.h"

namespace brindell {

JsonValue read(Platform& platform, const std::string& folder, const std::string& name) {
  readManifest(platform, folder);
  const std::string file = appendComponent(folder, name);
  requestDownload(platform, file);
  const ObjectFile history = coordinatedRead(
      platform, file, /*metadataOnly=*/false,
      [&](const std::string& handed) { return readObject(platform, handed, maximumBundleBytes); });
  return JsonValue(history.object);
}

}  // namespace brindell
