// The operations (and the manifest check publish makes) on the fake platform,
// over a real folder, for what only a cloud drive can report: placeholders,
// transfers, conflicts, metadata and moves.

#include <functional>

#include <gtest/gtest.h>

#include "folder/listing.h"
#include "folder/manifest_write.h"
#include "json/json.h"
#include "operations/operations.h"
#include "support/fake_platform.h"
#include "support/sync_folder.h"

namespace brindell::testing {
namespace {

const std::string name = historyName(1), name2 = historyName(2);
const std::string placeholder2 = "." + name2 + ".icloud";

std::string ambiguous(const std::string& item) {
  return "SYNC_FILE_CONFLICT: The sync folder contains ambiguous copies of " + item +
         ". Wait for iCloud Drive or inspect the conflicting files before retrying.";
}

// A list result of a folder in the cloud drive.
std::string listed(const std::string& files, bool pending) {
  return R"({"files":[)" + files + R"(],"isUbiquitous":true,"manifest":)" + manifestText() +
         R"(,"pendingUploads":)" + (pending ? "true" : "false") + "}";
}
std::string entry(const std::string& file, int size, bool uploaded) {
  return std::string(R"({"isUploaded":)") + (uploaded ? "true" : "false") + R"(,"name":")" + file +
         R"(","size":)" + std::to_string(size) + "}";
}

using Script = std::function<void(FakePlatform& fake, const std::string& folder)>;
using Call = std::function<JsonValue(FakePlatform& fake, const std::string& folder)>;

// The request dispatch would pass for the folder.
Request requestFor(const std::string& folder, const JsonObject& content = parseObject("{}")) {
  return Request{.folder = openDirectory(folder), .name = name2, .content = content.view()};
}

JsonValue listCall(FakePlatform& fake, const std::string& folder) {
  return list(fake, requestFor(folder));
}
// The listing alone, without the manifest check that list makes first.
JsonValue listingCall(FakePlatform& fake, const std::string& folder) {
  listing(fake, openDirectory(folder), true);
  return {};
}
JsonValue readCall(FakePlatform& fake, const std::string& folder) {
  return read(fake, requestFor(folder));
}
JsonValue publishCall(FakePlatform& fake, const std::string& folder) {
  const JsonObject content = parseObject(objectOfSize(100));
  return publish(fake, requestFor(folder, content));
}

// The manifest check publish makes under its coordination, on its own.
JsonValue manifestCheckCall(FakePlatform& fake, const std::string& folder) {
  return coordinatedManifestWrite(fake, openDirectory(folder), workspaceA, [] { return true; });
}

void noScript(FakePlatform&, const std::string&) {}
// What the drive reports for an item of the folder ("" for the folder).
Script valuesOf(const std::string& item, const ResourceValues& values) {
  return [=](FakePlatform& fake, const std::string& folder) {
    fake.setValues(item.empty() ? folder : folder + "/" + item, values);
  };
}
Script both(const Script& first, const Script& second) {
  return [=](FakePlatform& fake, const std::string& folder) {
    first(fake, folder);
    second(fake, folder);
  };
}
Script enumerated(const FakePlatform::Enumeration& enumeration) {
  return [=](FakePlatform& fake, const std::string& folder) {
    fake.enumerations[folder] = enumeration;
  };
}
void manifestConflictVersions(FakePlatform& fake, const std::string& folder) {
  fake.conflictVersions[folder + "/manifest.json"] = 1;
}
const std::string manifestConflict =
    "SYNC_FILE_CONFLICT: iCloud Drive reports conflicting versions of manifest.json. Preserve the "
    "files and resolve the folder conflict before retrying.";
void noMetadata(FakePlatform& fake, const std::string& folder) {
  fake.fetchErrors[folder + "/" + historyName(2)] = "No metadata yet.";
}
ResourceValues manifestOnlyUploaded() {
  ResourceValues values = cloudFile(98);
  values.isUbiquitousItem.reset();
  return values;
}
std::vector<std::string> names515() {
  std::vector<std::string> names{".DS_Store", "manifest.json"};
  for (std::size_t i = 0; i < 513; ++i) names.push_back(historyName(i));
  return names;
}

struct Case {
  const char* label;
  std::vector<Item> items;
  Script script;
  Call call;
  std::string expected;  // the result's encoding, "CODE: message" or "platform: description"
  bool downloadAsked;    // for name2
};

class CloudDrive : public ::testing::TestWithParam<Case> {};

TEST_P(CloudDrive, AnswersWhatTheDriveReportsAndChangesNothing) {
  TemporaryDirectory root;
  const std::string folder = makeSyncFolder(root.path());
  build(folder, GetParam().items);
  FakePlatform fake;
  GetParam().script(fake, folder);
  const std::string before = treeSnapshot(root.path());
  std::string result;
  const std::string outcome =
      outcomeOf([&] { result = canonicalJson(GetParam().call(fake, folder)); });
  EXPECT_EQ(outcome == "ok" ? result : outcome, GetParam().expected);
  EXPECT_EQ(fake.downloadRequests, GetParam().downloadAsked
                                       ? std::vector<std::string>{folder + "/" + name2}
                                       : std::vector<std::string>{});
  EXPECT_EQ(treeSnapshot(root.path()), before);
}

INSTANTIATE_TEST_SUITE_P(
    List, CloudDrive,
    ::testing::Values(
        Case{"file_and_its_placeholder", with(file(name2), file(placeholder2)), noScript, listCall,
             ambiguous(name2), false},
        Case{"manifest_and_its_placeholder", with(file(".manifest.json.icloud")), noScript,
             listCall, ambiguous("manifest.json"), false},
        Case{"placeholder_without_metadata", with(file(placeholder2)), noMetadata, listCall,
             "SYNC_DOWNLOAD_PENDING: iCloud Drive has not supplied the history file's metadata "
             "yet. Retry after its download completes.",
             true},
        Case{"placeholder_download_refused", with(file(placeholder2)),
             [](FakePlatform& fake, const std::string& folder) {
               noMetadata(fake, folder);
               fake.downloadRefusals[folder + "/" + name2] = "Downloads are off.";
             },
             listCall, "platform: Downloads are off.", true},
        Case{"size_unknown", with(file(name2)), valuesOf(name2, {.isRegularFile = true}), listCall,
             "SYNC_UNSAFE_PATH: A sync item is not a regular file with a known size.", false},
        // The placeholder's promised size counts towards the 64 MiB.
        Case{"placeholder_over_the_total", with(filesLeaving(1000), file(placeholder2)),
             valuesOf(name2, cloudFile(1001)), listCall,
             "SYNC_CAPACITY: The sync folder exceeds its 512-file or 64-MiB limit. Local edits "
             "are safe; use a new sync folder or a supported retention workflow.",
             false},
        // Refused before it is looked at, although the 514 before it are fine.
        Case{"entry_515", historyFiles(512, 2, 0), enumerated({.names = names515()}), listCall,
             "SYNC_CAPACITY: The sync folder exceeds its 512-file limit. Local edits are safe; "
             "use a new sync folder or an explicitly supported retention workflow.",
             false},
        Case{"no_enumerator", with(), enumerated({.unavailable = true}), listCall,
             "SYNC_IO: Cannot list the selected sync folder.", false},
        Case{"manifest_gone_when_listed", with(), enumerated({.names = std::vector<std::string>{}}),
             listCall,
             "SYNC_DOWNLOAD_PENDING: The workspace manifest disappeared during listing. Wait for "
             "iCloud Drive and retry; this folder will not be reinitialized.",
             false},
        Case{"enumeration_error_before_missing_manifest", with(gone("manifest.json")),
             enumerated({.errorAfter = 0}), listingCall, "platform: The folder could not be read.",
             false},
        Case{"manifest_over_4096_bytes", with(sparse("manifest.json", 4097)), noScript, listingCall,
             "SYNC_CAPACITY: The sync manifest exceeds its supported size.", false},
        Case{"placeholder_listed_under_its_name", with(file(placeholder2), file(name, "{}")),
             valuesOf(name2, cloudFile(1234, /*uploaded=*/false)), listCall,
             listed(entry(name, 2, true) + "," + entry(name2, 1234, false), true), false},
        Case{"folder_alone_in_the_drive", with(),
             both(valuesOf("", {.isDirectory = true, .isUbiquitousItem = true}),
                  valuesOf("manifest.json", manifestOnlyUploaded())),
             listCall, listed("", false), false},
        Case{"manifest_still_uploading", with(file(name, "{}")),
             both(valuesOf("manifest.json", cloudFile(98, /*uploaded=*/false)),
                  valuesOf(name, cloudFile(2))),
             listCall, listed(entry(name, 2, true), true), false}),
    [](const auto& info) { return std::string(info.param.label); });

INSTANTIATE_TEST_SUITE_P(
    ReadAndPublish, CloudDrive,
    ::testing::Values(
        Case{"history_not_downloaded", with(file(name2, "{}")), valuesOf(name2, notDownloaded()),
             readCall,
             "SYNC_DOWNLOAD_PENDING: iCloud Drive has not made the current file contents "
             "available. Retry after the download completes.",
             true},
        // Asked for; the read is retried once the file is here.
        Case{"history_placeholder", with(file(placeholder2)), noScript, readCall,
             "SYNC_MISSING: The selected sync folder or file is unavailable. Restore access or "
             "wait for iCloud Drive, then retry.",
             true},
        Case{"placeholder_not_a_file", with(directory(placeholder2)), noScript, readCall,
             "SYNC_UNSAFE_PATH: The sync path contains an unexpected filesystem item.", false},
        Case{"manifest_conflict_versions", with(file(name2, "{}")), manifestConflictVersions,
             readCall, manifestConflict, false},
        // The manifest check that publish makes under its coordination.
        Case{"manifest_check_manifest_moved", with(),
             [](FakePlatform& fake, const std::string& folder) {
               fake.coordinations[folder].handedReadingPath = folder + "/other.json";
             },
             manifestCheckCall,
             "SYNC_FOLDER_MOVED: The sync folder moved during access. Reconnect its new location "
             "before retrying.",
             false},
        Case{"manifest_check_downloading", with(), valuesOf("manifest.json", notDownloaded()),
             manifestCheckCall,
             "SYNC_DOWNLOAD_PENDING: The current workspace manifest is still downloading. Retry "
             "when iCloud Drive makes it available.",
             false},
        Case{"manifest_check_conflict_versions", with(), manifestConflictVersions,
             manifestCheckCall, manifestConflict, false},
        Case{"publish_over_a_downloading_copy", with(file(placeholder2)),
             valuesOf(name2, notDownloaded()), publishCall,
             "SYNC_DOWNLOAD_PENDING: An existing cloud copy of this immutable file is still "
             "downloading. Retry after iCloud Drive makes it available.",
             false}),
    [](const auto& info) { return std::string(info.param.label); });

}  // namespace
}  // namespace brindell::testing
