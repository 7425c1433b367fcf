// A sync folder as each sync client Linux users run leaves it, through the
// real executable: list, read and publish pass over the client's metadata,
// answer that an item the client is still downloading is not available yet,
// and refuse an item the client made a conflict copy of, naming both files;
// whatever the answer, nothing in the folder changes.

#include <utility>

#include <gtest/gtest.h>

#include "support/helper_process.h"
#include "support/sync_folder.h"

namespace brindell::testing {
namespace {

const std::string manifest = "manifest.json";
const std::string kept = historyName(1);      // in every folder, holding `bundle`
const std::string arriving = historyName(2);  // still on its way
const std::string keptStem = kept.substr(0, kept.size() - std::string(".json").size());
const std::string bundle = objectOfSize(100);

std::string pending(const std::string& item) {
  return failureLine("SYNC_DOWNLOAD_PENDING",
                     item +
                         " is not available yet: the sync client has not finished downloading "
                         "it. Let the download complete and retry; the existing workspace will "
                         "not be replaced.");
}
std::string conflict(const std::string& item, const std::string& copy) {
  return failureLine("SYNC_FILE_CONFLICT",
                     "A sync client left " + copy + " as a conflicting copy of " + item +
                         ". Keep both files and resolve the conflict before retrying.");
}
std::string unexpected(const std::string& name) {
  return failureLine("SYNC_FOLDER_CONTENTS",
                     "The sync folder contains an unexpected item: " + name +
                         ". Preserve it and select the dedicated Brindell folder.");
}
const std::string listed = successLine(R"({"files":[{"isUploaded":true,"name":")" + kept +
                                       R"(","size":100}],"isUbiquitous":false,"manifest":)" +
                                       manifestText() + R"(,"pendingUploads":false})");
const std::string readBack = successLine(bundle);
const std::string republished = publishedLine(false, kept);

struct Layout {
  const char* label;
  std::vector<Item> items;                // added to a sync folder holding the manifest and `kept`
  std::string read;                       // the history file read
  std::string list, reading, publishing;  // the answers; publish sends `bundle` as `kept`
};

class ClientFolder : public ::testing::TestWithParam<Layout> {};

TEST_P(ClientFolder, AnswersWhatTheClientMeansAndTouchesNothing) {
  TemporaryDirectory root;
  const std::string folder = makeSyncFolder(root.path());
  build(folder, with(file(kept, bundle), GetParam().items));
  const std::string before = treeSnapshot(folder);
  const std::pair<std::string, std::string> exchanges[] = {
      {requestText("list", folder), GetParam().list},
      {requestText("read", folder, R"(,"name":)" + jsonString(GetParam().read)),
       GetParam().reading},
      {publishRequest(folder, bundle, kept), GetParam().publishing}};
  for (const auto& [request, answer] : exchanges) {
    const HelperRun run = runHelper(request);
    EXPECT_EQ(run.output, answer) << request;
    EXPECT_EQ(run.status, answer.starts_with(R"({"ok":true)") ? 0 : 1);
    EXPECT_EQ(run.errors, "");
  }
  EXPECT_EQ(treeSnapshot(folder), before);
  EXPECT_FALSE(hasStagingLeftovers(root.path()));
}

const std::string syncthingCopy = keptStem + ".sync-conflict-20250102-030405-ABCDEFG.json";
const std::string nextcloudCopy = keptStem + " (conflicted copy 2025-01-02 030405).json";
const std::string oneDriveCopy = keptStem + "-my-laptop-safeBackup-0001.json";
const std::string dropboxManifestCopy = "manifest (Ann's conflicted copy 2025-01-02).json";
const std::string ownCloudManifestCopy = "manifest_conflict-20250102-030405.json";

INSTANTIATE_TEST_SUITE_P(
    Clients, ClientFolder,
    ::testing::Values(
        // Metadata, however it is made, is never followed, read or counted.
        Layout{"syncthing_metadata",
               with(directory(".stfolder"), file(".stignore", "(?d).DS_Store\n"),
                    linkTo(".stversions", "..")),
               kept, listed, readBack, republished},
        Layout{"dropbox_metadata",
               with(file(".dropbox", "{}"), file(".dropbox.attr"), directory(".dropbox.cache"),
                    file(".dropbox.cache/partial", "x")),
               kept, listed, readBack, republished},
        Layout{"nextcloud_owncloud_metadata",
               with(file(".sync_5d41402abc4b.db", "SQLite"), file(".sync_5d41402abc4b.db-wal"),
                    file(".sync_5d41402abc4b.db-shm"), file("._sync_0a1b2c.db"),
                    file(".nextcloudsync.log", "log"), file(".owncloudsync.log")),
               kept, listed, readBack, republished},
        Layout{"desktop_litter",
               with(file("Thumbs.db"), file("Desktop.ini"), file(".directory"), file(".DS_Store")),
               kept, listed, readBack, republished},
        // Downloads in progress: the item they stand for is not there yet.
        Layout{"syncthing_download", with(file(".syncthing." + arriving + ".tmp", R"({"pa)")),
               arriving, pending(arriving), pending(arriving), pending(arriving)},
        Layout{"syncthing_download_of_the_manifest_from_windows",
               with(gone(manifest), file("~syncthing~manifest.json.tmp")), kept, pending(manifest),
               pending(manifest), pending(manifest)},
        Layout{"nextcloud_virtual_file", with(file(arriving + ".nextcloud", " ")), arriving,
               pending(arriving), pending(arriving), pending(arriving)},
        Layout{"owncloud_virtual_manifest", with(gone(manifest), file("manifest.json.owncloud")),
               kept, pending(manifest), pending(manifest), pending(manifest)},
        // Conflict copies of a history file or of the manifest.
        Layout{"syncthing_conflict", with(file(syncthingCopy, objectOfSize(101))), kept,
               conflict(kept, syncthingCopy), conflict(kept, syncthingCopy),
               conflict(kept, syncthingCopy)},
        Layout{"nextcloud_conflict", with(file(nextcloudCopy, bundle)), kept,
               conflict(kept, nextcloudCopy), conflict(kept, nextcloudCopy),
               conflict(kept, nextcloudCopy)},
        Layout{"onedrive_conflict", with(file(oneDriveCopy, bundle)), kept,
               conflict(kept, oneDriveCopy), conflict(kept, oneDriveCopy),
               conflict(kept, oneDriveCopy)},
        Layout{"dropbox_manifest_conflict",
               with(file(dropboxManifestCopy, manifestText(workspaceB))), kept,
               conflict(manifest, dropboxManifestCopy), conflict(manifest, dropboxManifestCopy),
               conflict(manifest, dropboxManifestCopy)},
        Layout{"owncloud_manifest_conflict", with(file(ownCloudManifestCopy, manifestText())), kept,
               conflict(manifest, ownCloudManifestCopy), conflict(manifest, ownCloudManifestCopy),
               conflict(manifest, ownCloudManifestCopy)},
        // Anything else is as unexpected as ever, a client's name or not; a
        // read does not look at the rest of the folder.
        Layout{"stray_file", with(file("notes.txt")), kept, unexpected("notes.txt"), readBack,
               unexpected("notes.txt")},
        Layout{"download_of_a_stray_file", with(file(".syncthing.notes.txt.tmp")), kept,
               unexpected(".syncthing.notes.txt.tmp"), readBack,
               unexpected(".syncthing.notes.txt.tmp")},
        Layout{"conflict_copy_of_a_stray_file",
               with(file("notes (conflicted copy 2025-01-02 030405).txt")), kept,
               unexpected("notes (conflicted copy 2025-01-02 030405).txt"), readBack,
               unexpected("notes (conflicted copy 2025-01-02 030405).txt")}),
    [](const auto& info) { return std::string(info.param.label); });

}  // namespace
}  // namespace brindell::testing
