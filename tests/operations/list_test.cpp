// The list operation through the real executable, and the folder listing on
// the fake platform for what only a cloud drive can report.

#include <functional>

#include <gtest/gtest.h>

#include "fileio/json.h"
#include "folder/listing.h"
#include "operations/operations.h"
#include "request/limits.h"
#include "request/sync_failure.h"
#include "support/fake_platform.h"
#include "support/helper_process.h"
#include "support/sync_folder.h"

namespace brindell::testing {
namespace {

const char* capacity =
    "The sync folder exceeds its 512-file or 64-MiB limit. Local edits are safe; use a new sync "
    "folder or a supported retention workflow.";
const char* tooManyEntries =
    "The sync folder exceeds its 512-file limit. Local edits are safe; use a new sync folder or an "
    "explicitly supported retention workflow.";
const char* unexpected = "The sync path contains an unexpected filesystem item.";
const std::string name1 = historyName(1), name2 = historyName(2);
const std::int64_t rest = maximumFolderBytes - 9 * maximumBundleBytes;  // of the 64 MiB

std::string unexpectedItem(const std::string& name) {
  return "The sync folder contains an unexpected item: " + name +
         ". Preserve it and select the dedicated Brindell folder.";
}

std::string ambiguous(const std::string& name) {
  return "SYNC_FILE_CONFLICT: The sync folder contains ambiguous copies of " + name +
         ". Wait for iCloud Drive or inspect the conflicting files before retrying.";
}

std::string listResult(const std::string& files, bool ubiquitous = false, bool pending = false) {
  return R"({"files":[)" + files + R"(],"isUbiquitous":)" + (ubiquitous ? "true" : "false") +
         R"(,"manifest":)" + manifestText() + R"(,"pendingUploads":)" +
         (pending ? "true" : "false") + "}";
}

// History files `first`.. of these sizes (sparse), and their file entries.
std::string addFiles(const std::string& folder, const std::vector<std::int64_t>& sizes,
                     std::size_t first = 0) {
  std::string entries;
  for (std::size_t i = 0; i < sizes.size(); ++i) {
    sparseFile(folder + "/" + historyName(first + i), sizes[i]);
    entries += std::string(entries.empty() ? "" : ",") + R"({"isUploaded":true,"name":")" +
               historyName(first + i) + R"(","size":)" + std::to_string(sizes[i]) + "}";
  }
  return entries;
}

TEST(List, FolderWithOnlyItsManifestHasNoFilesUnderEitherOperationKey) {
  TemporaryDirectory root;
  const std::string folder = makeSyncFolder(root.path());
  for (const char* key : {"operation", "op"}) {
    const HelperRun run =
        runHelper("{\"" + std::string(key) + R"(":"list","folder":)" + jsonString(folder) + "}");
    EXPECT_EQ(run.output, successLine(listResult(""))) << key;
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.errors, "");
  }
}

TEST(List, ReportsFilesSortedByNameAndIgnoresDsStore) {
  TemporaryDirectory root;
  const std::string folder = makeSyncFolder(root.path());
  const std::string last = addFiles(folder, {3}, 3);
  const std::string first = addFiles(folder, {1, 2}, 1);
  build(folder, with(file(".DS_Store", "finder")));
  EXPECT_EQ(runHelper(requestText("list", folder)).output,
            successLine(listResult(first + "," + last)));
}

// Each limit holds exactly at its boundary; sparse files make the sizes real
// without the disk space.
struct Boundary {
  const char* label;
  std::vector<std::int64_t> sizes;
  std::string failure;  // empty when accepted
};

class ListBoundary : public ::testing::TestWithParam<Boundary> {};

TEST_P(ListBoundary, AcceptsTheLimitAndRefusesOneMore) {
  TemporaryDirectory root;
  const std::string folder = makeSyncFolder(root.path());
  const std::string entries = addFiles(folder, GetParam().sizes);
  // Ignored, but it counts as an entry: 512 files, the manifest and this are
  // the most a folder may hold.
  if (GetParam().sizes.size() <= 512) build(folder, with(file(".DS_Store")));
  EXPECT_EQ(runHelper(requestText("list", folder)).output,
            GetParam().failure.empty() ? successLine(listResult(entries))
                                       : failureLine("SYNC_CAPACITY", GetParam().failure));
}

std::vector<std::int64_t> sizes(std::size_t count, std::int64_t size, std::int64_t last = -1) {
  std::vector<std::int64_t> all(count, size);
  if (last >= 0) all.push_back(last);
  return all;
}

INSTANTIATE_TEST_SUITE_P(
    Limits, ListBoundary,
    ::testing::Values(
        Boundary{"file_of_7_mib", {maximumBundleBytes}, ""},
        Boundary{"file_over_7_mib",
                 {maximumBundleBytes + 1},
                 "A sync history file exceeds the 7-MiB limit. Local workspace data is unchanged."},
        Boundary{"total_of_64_mib", sizes(9, maximumBundleBytes, rest), ""},
        Boundary{"total_over_64_mib", sizes(9, maximumBundleBytes, rest + 1), capacity},
        Boundary{"files_512", sizes(512, 2), ""}, Boundary{"files_513", sizes(513, 2), capacity}),
    [](const auto& info) { return std::string(info.param.label); });

struct Refusal {
  const char* label;
  std::vector<Item> items;
  const char* code;
  std::string message;
};

class ListRefusal : public ::testing::TestWithParam<Refusal> {};

TEST_P(ListRefusal, ReportsTheItemAndLeavesItInPlace) {
  TemporaryDirectory root;
  const std::string folder = makeSyncFolder(root.path());
  build(folder, with(file(name1, "{}")));
  build(folder, GetParam().items);
  const std::string before = treeSnapshot(root.path());
  const HelperRun run = runHelper(requestText("list", folder));
  EXPECT_EQ(run.output, failureLine(GetParam().code, GetParam().message));
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(treeSnapshot(root.path()), before);
  EXPECT_NO_THROW(parseObject(run.output));  // valid JSON whatever the name held
}

INSTANTIATE_TEST_SUITE_P(
    Contents, ListRefusal,
    ::testing::Values(
        Refusal{"stray_file", with(file("notes.txt")), "SYNC_FOLDER_CONTENTS",
                unexpectedItem("notes.txt")},
        Refusal{"unexpected_placeholder", with(file(".notes.txt.icloud")), "SYNC_FOLDER_CONTENTS",
                unexpectedItem(".notes.txt.icloud")},
        Refusal{"bare_icloud", with(file(".icloud")), "SYNC_FOLDER_CONTENTS",
                unexpectedItem(".icloud")},
        Refusal{"name_not_utf8", with(file("bad\xff\xfe.txt")), "SYNC_FOLDER_CONTENTS",
                unexpectedItem("bad\uFFFD\uFFFD.txt")},
        Refusal{"directory_with_history_name", with(directory(name2)), "SYNC_UNSAFE_PATH",
                unexpected},
        Refusal{"link_with_history_name", with(linkTo(name2, name1)), "SYNC_UNSAFE_PATH",
                "Sync paths cannot contain symbolic links. Select the actual folder."},
        // Outside a cloud drive nobody can download what a placeholder announces.
        Refusal{"placeholder_outside_cloud_drive", with(file("." + name2 + ".icloud")), "SYNC_IO",
                "Sync folder access failed: " + name2 +
                    " is not in a cloud drive, so it cannot be downloaded. Local workspace data is "
                    "unchanged."},
        // The manifest is judged on its own first.
        Refusal{"invalid_manifest_before_stray_item",
                with(file("notes.txt"), file("manifest.json", "{}")), "SYNC_UNSUPPORTED_MANIFEST",
                "This folder does not contain a supported Brindell sync manifest. Update Brindell "
                "or select the correct folder."}),
    [](const auto& info) { return std::string(info.param.label); });

// On the fake platform, over a real folder.

struct FakeCase {
  const char* label;
  std::vector<Item> items;
  std::function<void(FakePlatform& fake, const std::string& folder)> script;
  std::string expected;  // "CODE: message" or "platform: description"
  bool downloadAsked;    // for name2
};

class CloudListing : public ::testing::TestWithParam<FakeCase> {};

TEST_P(CloudListing, JudgesWhatTheCloudDriveReports) {
  TemporaryDirectory root;
  const std::string folder = makeSyncFolder(root.path());
  build(folder, GetParam().items);
  FakePlatform fake;
  GetParam().script(fake, folder);
  const std::string before = treeSnapshot(root.path());
  EXPECT_EQ(outcomeOf([&] { listing(fake, folder, true); }), GetParam().expected);
  EXPECT_EQ(fake.downloadRequests, GetParam().downloadAsked
                                       ? std::vector<std::string>{folder + "/" + name2}
                                       : std::vector<std::string>{});
  EXPECT_EQ(treeSnapshot(root.path()), before);
}

const std::string placeholder2 = "." + name2 + ".icloud";
void noScript(FakePlatform&, const std::string&) {}
void noMetadata(FakePlatform& fake, const std::string& folder) {
  fake.fetchErrors[folder + "/" + historyName(2)] = "No metadata yet.";
}

INSTANTIATE_TEST_SUITE_P(
    Cloud, CloudListing,
    ::testing::Values(
        FakeCase{"file_and_its_placeholder", with(file(name2), file(placeholder2)), noScript,
                 ambiguous(name2), false},
        FakeCase{"manifest_and_its_placeholder", with(file(".manifest.json.icloud")), noScript,
                 ambiguous("manifest.json"), false},
        FakeCase{"placeholder_without_metadata", with(file(placeholder2)), noMetadata,
                 "SYNC_DOWNLOAD_PENDING: iCloud Drive has not supplied the history file's "
                 "metadata yet. Retry after its download completes.",
                 true},
        FakeCase{"placeholder_download_refused", with(file(placeholder2)),
                 [](FakePlatform& fake, const std::string& folder) {
                   noMetadata(fake, folder);
                   fake.downloadRefusals[folder + "/" + historyName(2)] = "Downloads are off.";
                 },
                 "platform: Downloads are off.", true},
        FakeCase{"enumeration_error_before_missing_manifest", with(gone("manifest.json")),
                 [](FakePlatform& fake, const std::string& folder) {
                   fake.enumerations[folder].errorAfter = 0;
                 },
                 "platform: The folder could not be read.", false},
        // Refused before it is looked at, although the 514 before it are fine.
        FakeCase{"entry_515", with(),
                 [](FakePlatform& fake, const std::string& folder) {
                   std::vector<std::string> names{".DS_Store", "manifest.json"};
                   for (std::size_t i = 0; i < 513; ++i) names.push_back(historyName(i));
                   addFiles(folder, sizes(512, 2));
                   fake.enumerations[folder].names = names;
                 },
                 std::string("SYNC_CAPACITY: ") + tooManyEntries, false}),
    [](const auto& info) { return std::string(info.param.label); });

TEST(CloudListing, PlaceholderIsListedUnderItsFileNameWithPromisedSize) {
  TemporaryDirectory root;
  const std::string folder = makeSyncFolder(root.path());
  build(folder, with(file(placeholder2), file(name1, "{}")));
  FakePlatform fake;
  fake.setValues(folder + "/" + name2, cloudFile(1234, /*uploaded=*/false));
  const Listing result = listing(fake, folder, true);
  ASSERT_EQ(result.files.size(), 2u);
  EXPECT_EQ(result.files[1].name, name2);
  EXPECT_EQ(result.files[1].size, 1234);
  EXPECT_FALSE(result.files[1].isUploaded);
  EXPECT_EQ(result.totalBytes, 1236);
  EXPECT_TRUE(result.isUbiquitous);
  EXPECT_TRUE(result.pendingUploads);
  EXPECT_TRUE(fake.downloadRequests.empty());
}

TEST(CloudListing, FolderAloneInTheCloudDriveMakesTheListingUbiquitous) {
  TemporaryDirectory root;
  const std::string folder = makeSyncFolder(root.path());
  FakePlatform fake;
  ResourceValues folderValues;
  folderValues.isDirectory = true;
  folderValues.isUbiquitousItem = true;
  fake.setValues(folder, folderValues);
  ResourceValues manifest = cloudFile(98);
  manifest.isUbiquitousItem.reset();
  fake.setValues(folder + "/manifest.json", manifest);
  const Listing result = listing(fake, folder, true);
  EXPECT_TRUE(result.files.empty());
  EXPECT_TRUE(result.isUbiquitous);
  EXPECT_FALSE(result.pendingUploads);
}

TEST(CloudListing, ManifestStillUploadingMakesUploadsPending) {
  TemporaryDirectory root;
  const std::string folder = makeSyncFolder(root.path());
  build(folder, with(file(name1, "{}")));
  FakePlatform fake;
  fake.setValues(folder + "/manifest.json", cloudFile(98, /*uploaded=*/false));
  fake.setValues(folder + "/" + name1, cloudFile(2));
  EXPECT_EQ(canonicalJson(list(fake, folder)),
            listResult(R"({"isUploaded":true,"name":")" + name1 + R"(","size":2})",
                       /*ubiquitous=*/true, /*pending=*/true));
}

}  // namespace
}  // namespace brindell::testing
