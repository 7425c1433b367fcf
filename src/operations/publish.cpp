#include <algorithm>

#include "base/limits.h"
#include "base/names.h"
#include "base/sync_failure.h"
#include "base/wording.h"
#include "fileio/staged_write.h"
#include "folder/cloud_state.h"
#include "folder/coordinated_access.h"
#include "folder/listing.h"
#include "folder/manifest_write.h"
#include "folder/object_file.h"
#include "json/json.h"
#include "operations/operations.h"

namespace brindell {
namespace {

// The checks made under the coordination that keeps every other helper out
// of the folder, then the naming of the staged file: true when this call
// gave the file its name, false when one of that name was already there.
bool placeStagedFile(Platform& platform, const Directory& folder, const std::string& name,
                     StagedFile& staged, std::int64_t size) {
  const Listing contents = listing(platform, folder, /*metadataOnly=*/false);
  if (exists(folder, name)) return false;
  if (std::any_of(contents.files.begin(), contents.files.end(),
                  [&](const FileEntry& file) { return file.name == name; })) {
    throw SyncFailure{Code::downloadPending,
                      "An existing cloud copy of this immutable file is still downloading. Retry "
                      "after " +
                          std::string(syncService) + " makes it available."};
  }
  if (static_cast<std::int64_t>(contents.files.size()) >= maximumFiles ||
      contents.totalBytes + size > maximumFolderBytes) {
    throw SyncFailure{Code::capacity,
                      "Publishing would exceed the sync folder's 512-file or 64-MiB limit. Local "
                      "edits remain saved on " +
                          std::string(thisMachine) + "."};
  }
  // Another writer that got the name first makes this false; the contents
  // are then compared like any existing file's.
  const bool linked = staged.linkExclusively(folder, name);
  if (linked) syncDirectory(folder);
  return linked;
}

// Whether `content` encodes canonically to exactly `expected`, found as the
// encoding is produced, without holding it.
bool encodesTo(JsonView content, std::string_view expected) {
  std::size_t at = 0;
  bool same = true;
  writeCanonicalJson(content, [&](std::string_view piece) {
    same = same && expected.substr(at, piece.size()) == piece;
    at += piece.size();
  });
  return same && at == expected.size();
}

// An existing file of that name must hold the same content; its state is the
// file's state.
CloudState compareExisting(Platform& platform, const Directory& folder, const std::string& name,
                           JsonView content) {
  requestDownload(platform, folder, name);
  const ObjectFile existing = coordinatedRead(platform, folder, name, /*metadataOnly=*/false, [&] {
    return readObject(platform, folder, name, maximumBundleBytes);
  });
  if (!encodesTo(content, canonicalJson(existing.object.view()))) {
    throw SyncFailure{Code::immutableConflict,
                      "An existing immutable history file has different content. It was "
                      "preserved; inspect the folder before retrying."};
  }
  return existing.state;
}

}  // namespace

JsonValue publish(Platform& platform, const Request& request) {
  const Directory& folder = request.folder;
  const std::string& name = request.name;
  const std::optional<JsonView>& content = request.content;
  if (!content || !content->isObject()) {
    throw SyncFailure{Code::invalidRequest, "publish requires a JSON content object."};
  }
  const std::optional<JsonView> workspace = content->find("workspaceId");
  if (!workspace || !workspace->isString() || !validID(workspace->text())) {
    throw SyncFailure{Code::invalidRequest,
                      "Published history must identify its workspace with a lowercase UUID."};
  }
  const std::string workspaceId(workspace->text());
  // Sized before anything else is looked at, then encoded straight into the
  // staged file, so the encoding is never held whole. The cheap bound settles
  // every content but one close to the limit, which is counted exactly; the
  // size the folder's limit needs is what was written.
  const auto maximum = static_cast<std::size_t>(maximumBundleBytes);
  if (canonicalSizeBound(*content) > maximum && canonicalSize(*content) > maximum) {
    throw SyncFailure{Code::capacity,
                      "This history bundle exceeds the 7-MiB sync limit. Local workspace data is "
                      "unchanged."};
  }
  requireOwnDirectory(folder);
  readManifest(platform, folder);
  validateItem(folder, name, {.allowMissing = true});

  bool created;
  {
    std::size_t size = 0;
    StagedFile staged(folder, [&](const auto& write) {
      writeCanonicalJson(*content, [&](std::string_view piece) {
        size += piece.size();
        write(piece);
      });
    });
    created = coordinatedManifestWrite(platform, folder, workspaceId, [&] {
      return placeStagedFile(platform, folder, name, staged, static_cast<std::int64_t>(size));
    });
  }
  removeLeftoversBeside(folder);

  const CloudState folderState = coordinatedRead(platform, folder, "", /*metadataOnly=*/true, [&] {
    return cloudState(platform, folder, "", {.metadataOnly = true});
  });
  const CloudState fileState =
      created ? coordinatedRead(platform, folder, name, /*metadataOnly=*/true,
                                [&] {
                                  return cloudState(platform, folder, name,
                                                    {.expectedCloud = folderState.isUbiquitous,
                                                     .metadataOnly = true});
                                })
              : compareExisting(platform, folder, name, *content);

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
