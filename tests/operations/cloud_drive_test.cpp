// What only a cloud drive can report, on the fake platform over a real sync
// folder: what the drive says of each item, how a coordination ends, and the
// operations' answers then; and what the operations ask of the coordinator.

#include <gtest/gtest.h>

#include "folder/listing.h"
#include "folder/manifest_write.h"
#include "folder/object_file.h"
#include "json/json.h"
#include "operations/operations.h"
#include "support/fake_platform.h"
#include "support/sync_folder.h"

namespace brindell::testing {
namespace {

using enum FakePlatform::Outcome;
const std::string name = historyName(1), name2 = historyName(2), m = "manifest.json";
const std::string placeholder2 = "." + name2 + ".icloud", moves = "moved";
const std::string made = "Brindell-" + std::string(workspaceA) + ".brindell-sync";
const std::string stored = R"({"workspaceId":")" + std::string(workspaceA) + "\"}";
const std::string conflict =
    "SYNC_FILE_CONFLICT: iCloud Drive reports conflicting versions of manifest.json. Preserve the "
    "files and resolve the folder conflict before retrying.";
const std::string moved =
    "SYNC_FOLDER_MOVED: The sync folder moved during access. Reconnect its new location before "
    "retrying.";
const std::string excluded =
    "SYNC_EXCLUDED: iCloud Drive excludes this folder or file from synchronization. Select an "
    "available iCloud Drive folder.";
const std::string unsafe =
    "SYNC_UNSAFE_PATH: Sync items cannot be symbolic links or Finder aliases.";

ResourceValues inDrive(std::int64_t size, bool uploaded = true, bool uploading = false,
                       const char* status = downloadingStatusCurrent) {
  return {.isRegularFile = true,
          .fileSize = size,
          .isUbiquitousItem = true,
          .ubiquitousItemIsUploaded = uploaded,
          .ubiquitousItemIsUploading = uploading,
          .ubiquitousItemDownloadingStatus = status};
}
const ResourceValues notDownloaded = inDrive(98, true, false, "NotDownloaded");
const ResourceValues folderInDrive{.isDirectory = true, .isUbiquitousItem = true};
const ResourceValues conflicted{.ubiquitousItemHasUnresolvedConflicts = true};

// A row's setting of the drive: files in the sync folder, what the drive says
// of an item ("" the folder, "../" + name one beside it), its conflict
// versions, or a coordination's outcome. With more items than one, the
// scripted values are merged field by field, the last set winning.
struct Script {
  enum Kind { files, promised, plain, versions, coordination } kind;
  std::string item;
  ResourceValues values = {};
  FakePlatform::Outcome outcome = run;
};

enum class Call { list, read, publish, create, listing, check };

// An operation (read and publish on name2, create beside the folder), the
// listing alone, or the manifest check of publish.
JsonValue called(Call call, FakePlatform& drive, const std::string& folder) {
  const JsonObject content = parseObject(stored);
  const Request request{
      .folder = openDirectory(call == Call::create ? folder.substr(0, folder.rfind('/')) : folder),
      .name = name2,
      .workspaceId = workspaceA,
      .content = content.view()};
  if (call == Call::list) return list(drive, request);
  if (call == Call::read) return read(drive, request);
  if (call == Call::publish) return publish(drive, request);
  if (call == Call::create) return create(drive, request);
  if (call == Call::listing) return filesJson(listing(drive, request.folder, true).files);
  return coordinatedManifestWrite(drive, request.folder, workspaceA, [] { return true; });
}

struct Case {
  const char* label;
  std::vector<Script> scripts;
  Call call;
  std::string expected;  // the result's encoding ("$" for the parent), what was thrown, its code
  bool downloadAsked = false;  // of name2
};

class CloudDrive : public ::testing::TestWithParam<Case> {};

TEST_P(CloudDrive, AnswersWhatTheDriveReports) {
  TemporaryDirectory root;
  const std::string folder = makeSyncFolder(root.path());
  FakePlatform drive;
  for (const Script& script : GetParam().scripts) {
    const std::string path = script.item.empty()              ? folder
                             : script.item.starts_with("../") ? root.path() + script.item.substr(2)
                                                              : folder + "/" + script.item;
    if (script.kind == Script::files) writeFile(path, script.item == name2 ? stored : "{}");
    if (script.kind == Script::promised) drive.promisedValues[path] = script.values;
    if (script.kind == Script::plain) drive.plainValues[path] = script.values;
    if (script.kind == Script::versions) drive.conflictVersions[path] = 1;
    if (script.kind == Script::coordination) {
      drive.coordinations[script.item == moves ? folder : path] = {
          script.outcome, script.item == moves ? std::optional(path) : std::nullopt};
    }
  }
  std::string result, expected = GetParam().expected;
  std::string outcome =
      outcomeOf([&] { result = canonicalJson(called(GetParam().call, drive, folder)); });
  if (expected.starts_with("SYNC_") && expected.find(':') == expected.npos) {
    outcome.resize(outcome.find(':'));  // the code alone
  }
  if (const auto parent = expected.find('$'); parent != expected.npos) {
    expected.replace(parent, 1, root.path());
  }
  EXPECT_EQ(outcome == "ok" ? result : outcome, expected);
  EXPECT_EQ(drive.downloadRequests, GetParam().downloadAsked ? std::vector{folder + "/" + name2}
                                                             : std::vector<std::string>{});
}

std::string listed(const std::string& files, bool pending) {
  return R"({"files":[)" + files + R"(],"isUbiquitous":true,"manifest":)" + manifestText() +
         R"(,"pendingUploads":)" + (pending ? "true" : "false") + "}";
}
std::string entry(const std::string& file, int size, bool uploaded) {
  return std::string(R"({"isUploaded":)") + (uploaded ? "true" : "false") + R"(,"name":")" + file +
         R"(","size":)" + std::to_string(size) + "}";
}
std::string published(bool created, bool uploaded) {
  return std::string(R"({"created":)") + (created ? "true" : "false") +
         R"(,"isUbiquitous":true,"isUploaded":)" + (uploaded ? "true" : "false") + R"(,"name":")" +
         name2 + R"(","pendingUploads":)" + (uploaded ? "false" : "true") + "}";
}

using S = Script;
using enum Call;
// One row a case, laid out as a table.
// clang-format off
INSTANTIATE_TEST_SUITE_P(Rows, CloudDrive, ::testing::Values(
    // The item's own state, judged in this order.
    Case{"alias", {{S::plain, m, {.isAliasFile = true}}}, read, unsafe},
    Case{"conflict_before_errors", {{S::plain, m, {.ubiquitousItemDownloadingError = "x",
        .ubiquitousItemHasUnresolvedConflicts = true}}}, read, conflict},
    Case{"download_before_upload", {{S::plain, m, {.ubiquitousItemDownloadingError = "Offline.",
        .ubiquitousItemUploadingError = "Quota."}}}, read,
        "SYNC_DOWNLOAD_FAILED: iCloud Drive could not download manifest.json: Offline."},
    Case{"conflict_versions", {{S::versions, m}}, read, conflict},
    // A listing's flags: the items of a folder in the drive are in it; list
    // reads the manifest's full metadata, the listing the promised.
    Case{"placeholder_listed", {{S::files, placeholder2}, {S::files, name},
        {S::promised, "", folderInDrive}, {S::promised, name2, inDrive(1234, false)}}, list,
        listed(entry(name, 2, false) + "," + entry(name2, 1234, false), true)},
    Case{"manifest_uploaded_late", {{S::files, name}, {S::plain, m, inDrive(98, false)},
        {S::promised, m, inDrive(98)}}, list, listed(entry(name, 2, true), true)},
    Case{"all_uploaded", {{S::promised, "", folderInDrive}, {S::promised, m, inDrive(98)}}, list,
        listed("", false)},
    Case{"still_uploading", {{S::promised, "", folderInDrive},
        {S::promised, m, inDrive(98, true, true)}}, list, listed("", true)},
    Case{"placeholder_without_metadata", {{S::files, placeholder2}}, list, "SYNC_DOWNLOAD_PENDING:"
        " iCloud Drive has not supplied the history file's metadata yet. Retry after its download "
        "completes.", true},
    Case{"size_unknown", {{S::files, name2}, {S::promised, name2, {.isRegularFile = true, .fileSize = -1}}},
        listing, "SYNC_UNSAFE_PATH: A sync item is not a regular file with a known size."},
    Case{"not_downloaded", {{S::files, name2}, {S::plain, name2, notDownloaded},
        {S::promised, name2, notDownloaded}}, read, "SYNC_DOWNLOAD_PENDING: iCloud Drive has not "
        "made the current file contents available. Retry after the download completes.", true},
    // Asked for, then read again once it is here.
    Case{"placeholder_read", {{S::files, placeholder2}}, read, "SYNC_MISSING", true},
    // A coordination's own outcome, and the body's, which wins.
    Case{"busy", {{S::coordination, m, {}, failWithoutRunning}}, read, "platform: Busy."},
    Case{"never_ran", {{S::coordination, m, {}, returnWithoutRunning}}, read,
        "SYNC_IO: Coordinated file access did not complete. Retry sync."},
    Case{"body_failed_first", {{S::versions, m}, {S::coordination, m, {}, runAndFail}}, read,
        conflict},
    Case{"check_moved", {{S::coordination, moves}}, check, moved},
    Case{"check_downloading", {{S::plain, m, notDownloaded}}, check, "SYNC_DOWNLOAD_PENDING: The "
        "current workspace manifest is still downloading. Retry when iCloud Drive makes it "
        "available."},
    Case{"check_conflict_versions", {{S::versions, m}}, check, conflict},
    // Publish judges the folder by its full metadata and the result by the
    // promised; a file the drive has not downloaded is not replaced.
    Case{"publish_over_a_download", {{S::files, placeholder2}, {S::promised, name2, notDownloaded}},
        publish, "SYNC_DOWNLOAD_PENDING: An existing cloud copy of this immutable file is still "
        "downloading. Retry after iCloud Drive makes it available."},
    Case{"publish_excluded", {{S::plain, "", {.ubiquitousItemIsExcludedFromSync = true}}}, publish,
        excluded},
    Case{"publish_into_the_drive", {{S::promised, "", folderInDrive}}, publish,
        published(true, false)},
    Case{"publish_again", {{S::promised, "", folderInDrive}, {S::files, name2},
        {S::plain, name2, inDrive(54)}}, publish, published(false, true)},
    Case{"create_in_the_drive", {{S::promised, "../" + made, folderInDrive}}, create,
        R"({"folder":"$/)" + made + R"(","isUbiquitous":true,"manifest":)" + manifestText() +
        R"(,"pendingUploads":true})"}),
    [](const auto& info) { return std::string(info.param.label); });
// clang-format on

// Reads of what is only looked at ask for metadata alone (option 4); publish
// checks the manifest and writes under one combined coordination.
TEST(Coordinator, IsAskedForEachAccessOfEachOperation) {
  TemporaryDirectory root;
  const std::string f = makeSyncFolder(root.path()), h = f + "/" + name2, mf = f + "/" + m,
                    n = root.path() + "/" + made, read0 = "R4 " + mf + "; R0 " + mf + "; ";
  writeFile(h, stored);
  const std::pair<Call, std::string> calls[] = {
      {list, read0 + "R4 " + f + "; "},
      {read, read0 + "R4 " + h + "; R0 " + h + "; "},
      {publish, read0 + "RW00 " + mf + " " + f + "; R4 " + f + "; R4 " + h + "; R0 " + h + "; "},
      {create, "W0 " + n + "; R4 " + n + "/" + m + "; R0 " + n + "/" + m + "; R4 " + n + "; "}};
  for (const auto& [call, expected] : calls) {
    FakePlatform drive;
    EXPECT_EQ(outcomeOf([&] { called(call, drive, f); }), "ok");
    EXPECT_EQ(drive.coordinated, expected);
    // A file read is current.
    EXPECT_FALSE(readManifest(drive, openDirectory(f)).state.needsDownload);
  }
}

}  // namespace
}  // namespace brindell::testing
