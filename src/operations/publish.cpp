#include <algorithm>

#include "cloud/cloud_state.h"
#include "cloud/coordinated_access.h"
#include "cloud/manifest_write.h"
#include "fileio/bounded_read.h"
#include "fileio/json.h"
#include "fileio/staged_write.h"
#include "folder/listing.h"
#include "operations/operations.h"
#include "request/limits.h"
#include "request/sync_failure.h"
#include "validation/identifiers.h"
#include "validation/paths.h"

namespace brindell {

JsonValue publish(Platform& platform, const JsonObject& request, const std::string& folder,
                  const std::string& name) {
  const std::optional<JsonView> content = request.find("content");
  if (!content || !content->isObject()) {
    throw SyncFailure{"SYNC_INVALID_REQUEST", "publish requires a JSON content object."};
  }
  const std::optional<JsonView> workspace = content->find("workspaceId");
  if (!workspace || !workspace->isString() || !validID(workspace->text())) {
    throw SyncFailure{"SYNC_INVALID_REQUEST",
                      "Published history must identify its workspace with a lowercase UUID."};
  }
  const std::string workspaceId(workspace->text());
  // Serialised once: these bytes are written, counted and compared.
  const std::string bytes = canonicalJson(*content);
  if (static_cast<std::int64_t>(bytes.size()) > maximumBundleBytes) {
    throw SyncFailure{"SYNC_CAPACITY",
                      "This history bundle exceeds the 7-MiB sync limit. Local workspace data is "
                      "unchanged."};
  }
  readManifest(platform, folder);
  const std::string target = appendComponent(folder, name);
  validatePath(target, /*directory=*/false, /*allowMissingLeaf=*/true);

  bool created;
  {
    const StagingDirectory staging(platform, folder);
    const std::string staged = appendComponent(staging.path(), "history.json");
    writeStagedFile(bytes, staged);
    // The manifest check, the limits and the move happen under one
    // coordination that keeps every other helper out of the folder, so the
    // limits hold however many publish at once.
    created =
        coordinatedManifestWrite(platform, folder, workspaceId, [&](const std::string& handed) {
          validatePath(handed, /*directory=*/true, /*allowMissingLeaf=*/false);
          const Listing contents = listing(platform, handed, /*metadataOnly=*/false);
          const std::string handedTarget = appendComponent(handed, name);
          if (exists(handedTarget)) return false;
          if (std::any_of(contents.files.begin(), contents.files.end(),
                          [&](const FileEntry& file) { return file.name == name; })) {
            throw SyncFailure{"SYNC_DOWNLOAD_PENDING",
                              "An existing cloud copy of this immutable file is still downloading. "
                              "Retry after iCloud Drive makes it available."};
          }
          if (static_cast<std::int64_t>(contents.files.size()) >= maximumFiles ||
              contents.totalBytes + static_cast<std::int64_t>(bytes.size()) > maximumFolderBytes) {
            throw SyncFailure{"SYNC_CAPACITY",
                              "Publishing would exceed the sync folder's 512-file or 64-MiB limit. "
                              "Local edits remain saved on this Mac."};
          }
          // Another writer that got the name first makes this false; the
          // contents are then compared like any existing file's.
          const bool moved = moveExclusively(staged, handedTarget);
          if (moved) syncDirectory(handed);
          return moved;
        });
  }

  const CloudState folderState =
      coordinatedRead(platform, folder, /*metadataOnly=*/true, [&](const std::string& handed) {
        return cloudState(platform, handed, /*expectedCloud=*/false, /*checkVersions=*/false,
                          /*metadataOnly=*/true);
      });
  CloudState fileState;
  if (created) {
    fileState =
        coordinatedRead(platform, target, /*metadataOnly=*/true, [&](const std::string& handed) {
          return cloudState(platform, handed, folderState.isUbiquitous, /*checkVersions=*/false,
                            /*metadataOnly=*/true);
        });
  } else {
    requestDownload(platform, target);
    const ObjectFile existing =
        coordinatedRead(platform, target, /*metadataOnly=*/false, [&](const std::string& handed) {
          return readObject(platform, handed, maximumBundleBytes);
        });
    if (canonicalJson(existing.object.view()) != bytes) {
      throw SyncFailure{"SYNC_IMMUTABLE_CONFLICT",
                        "An existing immutable history file has different content. It was "
                        "preserved; inspect the folder before retrying."};
    }
    fileState = existing.state;
  }

  const bool isUbiquitous = folderState.isUbiquitous || fileState.isUbiquitous;
  const bool isUploaded =
      isUbiquitous ? fileState.isUbiquitous && fileState.isUploaded : fileState.isUploaded;
  return JsonValue::Object{{"name", name},
                           {"created", created},
                           {"isUbiquitous", isUbiquitous},
                           {"isUploaded", isUploaded},
                           {"pendingUploads", !isUploaded}};
}

}  // namespace brindell
