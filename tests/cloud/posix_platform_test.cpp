// The bound on waiting for coordination, which a request through the
// executable would take 30 seconds to reach. A lock taken on another open
// file description of the folder stands for another helper's.

#include "cloud/posix_platform.h"

#include <fcntl.h>
#include <sys/file.h>

#include <gtest/gtest.h>

#include "support/sync_folder.h"

namespace brindell::testing {
namespace {

using namespace std::chrono_literals;

// Reads share the lock of a reader; writes wait, and all the waits of one
// request draw on one bound, however many coordinations it makes.
TEST(PosixPlatform, ReadsShareAndWaitsDrawOnOneBound) {
  TemporaryDirectory root;
  const std::string folder = makeSyncFolder(root.path());
  const FileDescriptor reader(::open(folder.c_str(), O_RDONLY | O_DIRECTORY));
  ASSERT_EQ(::flock(reader.get(), LOCK_SH), 0);
  const Directory held = openDirectory(folder);
  PosixPlatform platform(1s);
  int runs = 0;
  platform.coordinateReading(held, "", 0, [&](const std::string&) { ++runs; });
  const auto started = std::chrono::steady_clock::now();
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(outcomeOf([&] {
                if (i == 1) {
                  platform.coordinateReadingAndWriting(
                      held, "manifest.json", 0, 0,
                      [&](const std::string&, const std::string&) { ++runs; });
                } else {
                  platform.coordinateWriting(held, "", 0, [&](const std::string&) { ++runs; });
                }
              }),
              "platform: Another process is holding \u201Csync\u201D; gave up after waiting 1 "
              "second.");
  }
  // Three waits of their own would take three seconds.
  EXPECT_LT(std::chrono::steady_clock::now() - started, 2500ms);
  EXPECT_EQ(runs, 1);
  EXPECT_EQ(outcomeOf([&] {
              PosixPlatform(1050ms).coordinateWriting(held, "", 0, [](const std::string&) {});
            }),
            "platform: Another process is holding \u201Csync\u201D; gave up after waiting 1050 "
            "milliseconds.");
}

}  // namespace
}  // namespace brindell::testing
