// The decision after a coordinate call, on the fake platform: for a
// coordinated read and for the coordinated manifest check.

#include "folder/coordinated_access.h"

#include <gtest/gtest.h>

#include "folder/cloud_state.h"
#include "folder/manifest_write.h"
#include "support/fake_platform.h"
#include "support/sync_folder.h"

namespace brindell::testing {
namespace {

using Outcome = FakePlatform::Outcome;
enum class Body { returns, throwsSyncFailure, throwsPlatformError };

struct Decision {
  const char* name;
  Outcome coordinator;
  bool moved;  // the coordinator hands over another path
  Body body;
  std::string outcome;  // "ok", "incomplete", or what the call threw
  bool bodyRuns;
};

class CoordinatedDecision : public ::testing::TestWithParam<Decision> {
 protected:
  void script(FakePlatform& platform, const std::string& path) {
    platform.coordinations[path] = {
        GetParam().coordinator, GetParam().moved ? std::optional(path + "-moved") : std::nullopt,
        std::nullopt, "Busy."};
  }
  void runBody() {
    ran = true;
    if (GetParam().body == Body::throwsSyncFailure) throw SyncFailure{Code::missing, "Gone."};
    if (GetParam().body == Body::throwsPlatformError) throw PlatformError{"Body failed."};
  }
  void expect(const std::string& outcome, const std::string& incomplete) {
    EXPECT_EQ(outcome,
              GetParam().outcome == "incomplete" ? "SYNC_IO: " + incomplete : GetParam().outcome);
    EXPECT_EQ(ran, GetParam().bodyRuns);
  }

  FakePlatform platform;
  bool ran = false;
};

TEST_P(CoordinatedDecision, OfACoordinatedRead) {
  const Directory folder{{}, "/sync/Brindell-x.brindell-sync"};
  script(platform, folder.path);
  expect(outcomeOf([&] {
           EXPECT_EQ(coordinatedRead(platform, folder, "", false,
                                     [&] {
                                       runBody();
                                       return 42;
                                     }),
                     42);
         }),
         "Coordinated file access did not complete. Retry sync.");
}

// Under one coordination that reads the manifest and writes the folder.
TEST_P(CoordinatedDecision, OfTheManifestCheck) {
  TemporaryDirectory root;
  const Directory folder = openDirectory(makeSyncFolder(root.path()));
  script(platform, folder.path);
  expect(outcomeOf([&] {
           EXPECT_TRUE(coordinatedManifestWrite(platform, folder, workspaceA, [&] {
             runBody();
             return true;
           }));
         }),
         "Coordinated manifest validation did not complete. Retry sync.");
  ASSERT_EQ(platform.coordinateCalls.size(), 1u);
  EXPECT_EQ(platform.coordinateCalls[0].kind, FakePlatform::Kind::readingAndWriting);
  EXPECT_EQ(platform.coordinateCalls[0].readingPath, folder.path + "/manifest.json");
}

const std::string moved =
    "SYNC_FOLDER_MOVED: The sync folder moved during access. Reconnect its new location before "
    "retrying.";
const Body returns = Body::returns, failing = Body::throwsSyncFailure;

INSTANTIATE_TEST_SUITE_P(
    Rows, CoordinatedDecision,
    ::testing::Values(
        Decision{"bodyValue", Outcome::run, false, returns, "ok", true},
        Decision{"bodySyncFailure", Outcome::run, false, failing, "SYNC_MISSING: Gone.", true},
        Decision{"bodyPlatformError", Outcome::run, false, Body::throwsPlatformError,
                 "platform: Body failed.", true},
        Decision{"coordinatorError", Outcome::failWithoutRunning, false, returns, "platform: Busy.",
                 false},
        Decision{"neither", Outcome::returnWithoutRunning, false, returns, "incomplete", false},
        Decision{"valueBeatsCoordinatorError", Outcome::runAndFail, false, returns, "ok", true},
        Decision{"bodyErrorBeatsCoordinatorError", Outcome::runAndFail, false, failing,
                 "SYNC_MISSING: Gone.", true},
        Decision{"moved", Outcome::run, true, returns, moved, false},
        Decision{"movedBeatsCoordinatorError", Outcome::runAndFail, true, returns, moved, false}),
    [](const auto& info) { return std::string(info.param.name); });

// A download is asked for in a metadata-only read; a write is coordinated as
// a write.
TEST(CoordinatedAccess, AsksForTheKindOfAccessItNeeds) {
  FakePlatform platform;
  TemporaryDirectory root;
  const Directory folder = openDirectory(root.path());
  outcomeOf([&] { requestDownload(platform, folder, "manifest.json"); });
  coordinatedWrite(platform, folder, "", [] {});
  ASSERT_EQ(platform.coordinateCalls.size(), 2u);
  EXPECT_EQ(platform.coordinateCalls[0].kind, FakePlatform::Kind::reading);
  EXPECT_EQ(platform.coordinateCalls[0].options, readingImmediatelyAvailableMetadataOnly);
  EXPECT_EQ(platform.coordinateCalls[1].kind, FakePlatform::Kind::writing);
  EXPECT_EQ(platform.coordinateCalls[1].options, 0);
}

}  // namespace
}  // namespace brindell::testing
