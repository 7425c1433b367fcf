#include "folder/cloud_state.h"

#include <gtest/gtest.h>

#include "support/fake_platform.h"
#include "support/sync_folder.h"

namespace brindell::testing {
namespace {

const std::string item = "/sync/manifest.json";
const Directory sync{{}, "/sync"};
const std::string unsafe =
    "SYNC_UNSAFE_PATH: Sync items cannot be symbolic links or Finder aliases.";
const std::string excluded =
    "SYNC_EXCLUDED: iCloud Drive excludes this folder or file from synchronization. Select an "
    "available iCloud Drive folder.";
const std::string conflict =
    "SYNC_FILE_CONFLICT: iCloud Drive reports conflicting versions of manifest.json. Preserve the "
    "files and resolve the folder conflict before retrying.";
const std::string current = downloadingStatusCurrent;

struct StateRow {
  const char* name;
  ResourceValues values;
  std::string outcome;  // "CODE: message", or the three flags as digits
  bool expectedCloud = false;
  bool checkVersions = false;
};

class CloudStateTest : public ::testing::TestWithParam<StateRow> {};

// The promised values are scripted; the plain ones say "link", so a row that
// passes also shows that metadataOnly chose the promised ones.
TEST_P(CloudStateTest, ChecksInOrderThenCondenses) {
  const StateRow& row = GetParam();
  FakePlatform platform;
  platform.promisedValues[item] = row.values;
  platform.plainValues[item] = {.isSymbolicLink = true};
  platform.conflictVersions[item] = 2;
  std::string flags;
  const std::string outcome = outcomeOf([&] {
    const CloudState s = cloudState(platform, sync, "manifest.json",
                                    {.expectedCloud = row.expectedCloud,
                                     .checkVersions = row.checkVersions,
                                     .metadataOnly = true});
    flags = std::to_string(s.isUbiquitous) + std::to_string(s.isUploaded) +
            std::to_string(s.needsDownload);
  });
  EXPECT_EQ(outcome == "ok" ? flags : outcome, row.outcome);
  EXPECT_EQ(
      outcomeOf([&] { cloudState(platform, sync, "manifest.json", {.expectedCloud = true}); }),
      unsafe);
}

ResourceValues stillUploading() {
  ResourceValues values = cloudFile(98);
  values.ubiquitousItemIsUploading = true;
  return values;
}

INSTANTIATE_TEST_SUITE_P(
    Rows, CloudStateTest,
    ::testing::Values(
        StateRow{"link", {.isSymbolicLink = true}, unsafe},
        StateRow{"alias", {.isAliasFile = true}, unsafe},
        StateRow{"linkExcludedInConflict",
                 {.isSymbolicLink = true,
                  .ubiquitousItemHasUnresolvedConflicts = true,
                  .ubiquitousItemIsExcludedFromSync = true},
                 unsafe},
        StateRow{"excludedInConflict",
                 {.ubiquitousItemHasUnresolvedConflicts = true,
                  .ubiquitousItemIsExcludedFromSync = true},
                 excluded},
        StateRow{
            "conflictBeforeDownloadError",
            {.ubiquitousItemDownloadingError = "x", .ubiquitousItemHasUnresolvedConflicts = true},
            conflict},
        StateRow{"conflictVersions", {}, conflict, false, true},
        StateRow{"downloadAndUploadError",
                 {.ubiquitousItemDownloadingError = "Offline.",
                  .ubiquitousItemUploadingError = "Quota."},
                 "SYNC_DOWNLOAD_FAILED: iCloud Drive could not download manifest.json: Offline."},
        StateRow{"uploadError",
                 {.ubiquitousItemUploadingError = "Quota."},
                 "SYNC_UPLOAD_FAILED: iCloud Drive could not upload manifest.json: Quota."},
        StateRow{"versionsNotAskedFor", {}, "010"},
        StateRow{"localIgnoresOthers", {.ubiquitousItemIsUploading = true}, "010"},
        StateRow{"expectedWithAllAbsent", {}, "101", true},
        StateRow{"uploadedCurrent", cloudFile(98), "110"},
        StateRow{"stillUploading", stillUploading(), "100"},
        StateRow{"downloadedNotCurrent", notDownloaded(), "111"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(CloudState, FetchErrorPassesUnchanged) {
  FakePlatform platform;
  platform.fetchErrors[item] = "No metadata.";
  EXPECT_EQ(outcomeOf([&] { cloudState(platform, sync, "manifest.json", {}); }),
            "platform: No metadata.");
}

}  // namespace
}  // namespace brindell::testing
