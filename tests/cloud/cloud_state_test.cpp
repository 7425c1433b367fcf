#include "cloud/cloud_state.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>

#include "request/sync_failure.h"
#include "support/fake_platform.h"

namespace brindell {
namespace {

const std::string item = "/sync/manifest.json";
const std::string unsafe =
    "SYNC_UNSAFE_PATH: Sync items cannot be symbolic links or Finder aliases.";
const std::string excluded =
    "SYNC_EXCLUDED: iCloud Drive excludes this folder or file from synchronization. Select an "
    "available iCloud Drive folder.";
const std::string conflict =
    "SYNC_FILE_CONFLICT: iCloud Drive reports conflicting versions of manifest.json. Preserve the "
    "files and resolve the folder conflict before retrying.";

// The promised values are scripted; the plain ones say "link", so a row that
// passes also shows that metadataOnly chose the promised ones.
struct StateRow {
  const char* name;
  ResourceValues values;
  bool expectedCloud;
  bool checkVersions;
  std::string outcome;  // "CODE: message", or the three flags as digits
};

class CloudStateTest : public ::testing::TestWithParam<StateRow> {};

TEST_P(CloudStateTest, ChecksInOrderThenCondenses) {
  const StateRow& row = GetParam();
  FakePlatform platform;
  platform.promisedValues[item] = row.values;
  platform.plainValues[item] = {.isSymbolicLink = true};
  platform.conflictVersions[item] = 2;
  std::string outcome;
  try {
    const CloudState s = cloudState(platform, item, row.expectedCloud, row.checkVersions, true);
    outcome = std::to_string(s.isUbiquitous) + std::to_string(s.isUploaded) +
              std::to_string(s.needsDownload);
  } catch (const SyncFailure& failure) {
    outcome = failure.code + ": " + failure.message;
  }
  EXPECT_EQ(outcome, row.outcome);
  EXPECT_THROW(cloudState(platform, item, true, false, false), SyncFailure);  // the plain values
}

const std::string current = downloadingStatusCurrent;

INSTANTIATE_TEST_SUITE_P(
    Rows, CloudStateTest,
    ::testing::Values(
        StateRow{"link", {.isSymbolicLink = true}, false, false, unsafe},
        StateRow{"alias", {.isAliasFile = true}, false, false, unsafe},
        StateRow{"linkExcludedInConflict",
                 {.isSymbolicLink = true,
                  .ubiquitousItemHasUnresolvedConflicts = true,
                  .ubiquitousItemIsExcludedFromSync = true},
                 false,
                 false,
                 unsafe},
        StateRow{"excludedInConflict",
                 {.ubiquitousItemHasUnresolvedConflicts = true,
                  .ubiquitousItemIsExcludedFromSync = true},
                 false,
                 false,
                 excluded},
        StateRow{
            "conflictBeforeDownloadError",
            {.ubiquitousItemDownloadingError = "x", .ubiquitousItemHasUnresolvedConflicts = true},
            false,
            false,
            conflict},
        StateRow{"conflictVersions", {}, false, true, conflict},
        StateRow{"downloadAndUploadError",
                 {.ubiquitousItemDownloadingError = "Offline.",
                  .ubiquitousItemUploadingError = "Quota."},
                 false,
                 false,
                 "SYNC_DOWNLOAD_FAILED: iCloud Drive could not download manifest.json: Offline."},
        StateRow{"uploadError",
                 {.ubiquitousItemUploadingError = "Quota."},
                 false,
                 false,
                 "SYNC_UPLOAD_FAILED: iCloud Drive could not upload manifest.json: Quota."},
        StateRow{"versionsNotAskedFor", {}, false, false, "010"},
        StateRow{"localIgnoresOthers", {.ubiquitousItemIsUploading = true}, false, false, "010"},
        StateRow{"expectedWithAllAbsent", {}, true, false, "101"},
        StateRow{"uploadedCurrent",
                 {.isUbiquitousItem = true,
                  .ubiquitousItemIsUploaded = true,
                  .ubiquitousItemDownloadingStatus = current},
                 false,
                 false,
                 "110"},
        StateRow{"stillUploading",
                 {.isUbiquitousItem = true,
                  .ubiquitousItemIsUploaded = true,
                  .ubiquitousItemIsUploading = true,
                  .ubiquitousItemDownloadingStatus = current},
                 false,
                 false,
                 "100"},
        StateRow{
            "downloadedNotCurrent",
            {.isUbiquitousItem = true,
             .ubiquitousItemIsUploaded = true,
             .ubiquitousItemDownloadingStatus = "NSURLUbiquitousItemDownloadingStatusDownloaded"},
            false,
            false,
            "111"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(CloudState, FetchErrorPassesUnchanged) {
  FakePlatform platform;
  platform.fetchErrors[item] = "No metadata.";
  try {
    cloudState(platform, item, false, false, false);
    FAIL();
  } catch (const PlatformError& error) {
    EXPECT_EQ(error.description, "No metadata.");
  }
}

enum class Present { nothing, file, staleFile, placeholder, placeholderFolder, refused };

struct DownloadRow {
  const char* name;
  Present present;
  std::string outcome;  // "" for success, else "CODE: message" or the platform's description
  bool requested;
};

class RequestDownloadTest : public ::testing::TestWithParam<DownloadRow> {};

TEST_P(RequestDownloadTest, RequestsOnlyWhatIsMissingOrStale) {
  const DownloadRow& row = GetParam();
  char pattern[] = "/tmp/brindell-download-XXXXXX";
  const std::string root = ::mkdtemp(pattern), file = root + "/manifest.json";
  const std::string placeholder = root + "/.manifest.json.icloud";
  FakePlatform platform;
  if (row.present == Present::file || row.present == Present::staleFile) std::ofstream{file};
  if (row.present == Present::staleFile) platform.promisedValues[file] = {.isUbiquitousItem = true};
  if (row.present == Present::placeholder || row.present == Present::refused) {
    std::ofstream{placeholder};
  }
  if (row.present == Present::placeholderFolder) ::mkdir(placeholder.c_str(), 0700);
  if (row.present == Present::refused) platform.downloadRefusals[file] = "Refused.";
  std::string outcome;
  try {
    requestDownload(platform, file);
  } catch (const SyncFailure& failure) {
    outcome = failure.code + ": " + failure.message;
  } catch (const PlatformError& error) {
    outcome = error.description;
  }
  std::filesystem::remove_all(root);
  EXPECT_EQ(outcome, row.outcome);
  EXPECT_EQ(platform.downloadRequests,
            row.requested ? std::vector<std::string>{file} : std::vector<std::string>{});
  ASSERT_EQ(platform.coordinateCalls.size(), 1u);
  EXPECT_EQ(platform.coordinateCalls[0].options, readingImmediatelyAvailableMetadataOnly);
}

INSTANTIATE_TEST_SUITE_P(
    Rows, RequestDownloadTest,
    ::testing::Values(
        DownloadRow{"localFile", Present::file, "", false},
        DownloadRow{"staleFile", Present::staleFile, "", true},
        DownloadRow{"placeholder", Present::placeholder, "", true},
        DownloadRow{"refused", Present::refused, "Refused.", true},
        DownloadRow{"placeholderFolder", Present::placeholderFolder,
                    "SYNC_UNSAFE_PATH: The sync path contains an unexpected filesystem item.",
                    false},
        DownloadRow{"nothing", Present::nothing,
                    "SYNC_DOWNLOAD_PENDING: manifest.json is not available yet. Wait for iCloud "
                    "Drive and retry; the existing workspace will not be replaced.",
                    false}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace brindell
