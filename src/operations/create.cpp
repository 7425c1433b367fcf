#include "base/limits.h"
#include "base/names.h"
#include "base/sync_failure.h"
#include "fileio/bounded_read.h"
#include "fileio/staged_write.h"
#include "folder/coordinated_access.h"
#include "folder/listing.h"
#include "folder/manifest.h"
#include "folder/object_file.h"
#include "json/json.h"
#include "operations/operations.h"

namespace brindell {
namespace {

// Whether the directory holds a workspace manifest, as a sync folder does
// whatever its name; a "manifest.json" of another program does not count.
bool holdsWorkspaceManifest(const Directory& directory) {
  if (!itemStatus(directory, manifestFileName, "Cannot inspect " + std::string(manifestFileName))) {
    return false;
  }
  try {
    manifestObject(parseObject(boundedBytes(directory, manifestFileName, maximumManifestBytes)));
    return true;
  } catch (const SyncFailure&) {
    return false;
  }
}

}  // namespace

JsonValue create(Platform& platform, const Request& request) {
  const Directory& parent = request.folder;
  const std::string& workspaceId = request.workspaceId;
  if (!validID(workspaceId)) {
    throw SyncFailure{Code::invalidRequest, "workspaceId must be a lowercase UUID."};
  }
  // A sync folder holds no folders: one made inside another would make every
  // later list and publish of the outer one refuse it as a stray.
  if (isSyncFolderName(lastComponent(parent.path)) || holdsWorkspaceManifest(parent)) {
    throw SyncFailure{Code::unsafePath,
                      "The selected folder is itself a sync folder. Select the folder that "
                      "should hold the sync folder instead."};
  }
  const std::string folderName = syncFolderName(workspaceId);
  // A folder that no later request could name would be made in vain, and
  // could never be listed, read or removed by the helper again.
  if (parent.pathOf(folderName).size() > maximumFolderPathBytes) {
    throw SyncFailure{Code::unsafePath,
                      "The sync folder's path would be longer than 4,096 bytes. Select a parent "
                      "folder with a shorter path."};
  }
  validateItem(parent, folderName, {.directory = true, .allowMissing = true});
  // Someone else's folder under the name is refused before anything is staged.
  if (const std::optional<struct stat> status =
          itemStatus(parent, folderName, "Cannot inspect " + folderName)) {
    requireOwnItem(*status, "");
  }

  {
    // The folder is assembled and flushed in full beside its final place and
    // appears there in one exclusive rename, so no reader, cloud drive or
    // crash ever sees it without its manifest, and nothing is ever replaced
    // (but on FUSE mounts, see moveFolderExclusively).
    const StagingDirectory staging(parent);
    const Directory staged = makeDirectory(staging.directory(), folderName);
    writeNewFile(staged, manifestFileName, canonicalJson(buildManifest(workspaceId)));
    syncDirectory(staged);
    coordinatedWrite(platform, parent, folderName, [&] {
      if (exists(parent, folderName)) return;
      // Whoever won a race to this name, the read-back below judges it.
      moveFolderExclusively(staging.directory(), staged, manifestFileName, parent,
                            "Cannot create the sync folder");
      syncDirectory(parent);
    });
  }

  const Directory folder = openChildDirectory(parent, folderName);
  requireOwnDirectory(folder);
  const ObjectFile manifest = readManifest(platform, folder);
  // readManifest has already checked the keys, the format and the version,
  // so the workspace is all that can still differ; comparing whole encodings
  // would refuse an equivalent manifest that spells its version 1.0.
  if (manifest.object.find("workspaceId")->text() != workspaceId) {
    throw SyncFailure{Code::workspaceMismatch,
                      "The existing folder belongs to a different workspace. Its contents were not "
                      "replaced."};
  }
  const Listing contents = coordinatedRead(platform, folder, "", /*metadataOnly=*/true, [&] {
    return listing(platform, folder, /*metadataOnly=*/true);
  });
  return JsonValue::Object{
      {"folder", folder.path},
      {"manifest", JsonValue(manifest.object)},
      {"isUbiquitous", contents.isUbiquitous},
      {"pendingUploads", !manifest.state.isUploaded || contents.pendingUploads}};
}

}  // namespace brindell
