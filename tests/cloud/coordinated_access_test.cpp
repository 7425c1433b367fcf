#include "cloud/coordinated_access.h"

#include <gtest/gtest.h>

#include "support/fake_platform.h"

namespace brindell {
namespace {

const std::string folder = "/sync/Brindell-x.brindell-sync";
using Outcome = FakePlatform::Outcome;

enum class Body { returns, throwsSyncFailure, throwsPlatformError };

struct Decision {
  const char* name;
  FakePlatform::Coordination coordination;
  Body body;
  // What the call ends in: a value, or an error of this code/description.
  bool returnsValue;
  const char* error;
  bool bodyRuns;
};

class CoordinatedDecision : public ::testing::TestWithParam<Decision> {};

TEST_P(CoordinatedDecision, DecidesByResultThenCoordinator) {
  const Decision& row = GetParam();
  FakePlatform platform;
  platform.coordinations[folder] = row.coordination;
  bool ran = false;
  std::string outcome;
  try {
    const int value = coordinatedRead(platform, folder, false, [&](const std::string& handed) {
      ran = true;
      EXPECT_EQ(handed, folder);
      if (row.body == Body::throwsSyncFailure) throw SyncFailure{"SYNC_MISSING", "Gone."};
      if (row.body == Body::throwsPlatformError) throw PlatformError{"Body failed."};
      return 42;
    });
    EXPECT_EQ(value, 42);
    outcome = "value";
  } catch (const SyncFailure& failure) {
    outcome = failure.code + " " + failure.message;
  } catch (const PlatformError& error) {
    outcome = error.description;
  }
  EXPECT_EQ(outcome, row.returnsValue ? "value" : row.error);
  EXPECT_EQ(ran, row.bodyRuns);
}

const char* const moved =
    "SYNC_FOLDER_MOVED The sync folder moved during access. Reconnect its new location before "
    "retrying.";

INSTANTIATE_TEST_SUITE_P(
    Rows, CoordinatedDecision,
    ::testing::Values(
        Decision{"bodyValue", {}, Body::returns, true, "", true},
        Decision{"bodySyncFailure", {}, Body::throwsSyncFailure, false, "SYNC_MISSING Gone.", true},
        Decision{"bodyPlatformError", {}, Body::throwsPlatformError, false, "Body failed.", true},
        Decision{"coordinatorError",
                 {.outcome = Outcome::failWithoutRunning, .error = "Busy."},
                 Body::returns,
                 false,
                 "Busy.",
                 false},
        Decision{"neither",
                 {.outcome = Outcome::returnWithoutRunning},
                 Body::returns,
                 false,
                 "SYNC_IO Coordinated file access did not complete. Retry sync.",
                 false},
        Decision{"valueBeatsCoordinatorError",
                 {.outcome = Outcome::runAndFail},
                 Body::returns,
                 true,
                 "",
                 true},
        Decision{"bodyErrorBeatsCoordinatorError",
                 {.outcome = Outcome::runAndFail},
                 Body::throwsSyncFailure,
                 false,
                 "SYNC_MISSING Gone.",
                 true},
        Decision{"moved", {.handedPath = folder + "-moved"}, Body::returns, false, moved, false},
        Decision{"movedBeatsCoordinatorError",
                 {.outcome = Outcome::runAndFail, .handedPath = "/elsewhere"},
                 Body::returns,
                 false,
                 moved,
                 false}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(CoordinatedAccess, PassesReadingAndWritingOptions) {
  FakePlatform platform;
  coordinatedRead(platform, folder, true, [](const std::string&) {});
  coordinatedRead(platform, folder, false, [](const std::string&) {});
  coordinatedWrite(platform, folder, [](const std::string&) {});
  ASSERT_EQ(platform.coordinateCalls.size(), 3u);
  EXPECT_EQ(platform.coordinateCalls[0].options, 4);
  EXPECT_EQ(platform.coordinateCalls[1].options, 0);
  EXPECT_EQ(platform.coordinateCalls[2].options, 0);
  EXPECT_EQ(platform.coordinateCalls[2].kind, FakePlatform::Kind::writing);
}

}  // namespace
}  // namespace brindell
