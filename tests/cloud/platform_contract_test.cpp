// What every platform promises the logic above it, checked on the POSIX one
// and on the fake the operations' tests run on, so that neither drifts from
// what the other is trusted to do.

#include <gtest/gtest.h>

#include <filesystem>
#include <set>

#include "cloud/posix_platform.h"
#include "support/fake_platform.h"
#include "support/sync_folder.h"

namespace brindell::testing {
namespace {

template <typename P>
class PlatformContract : public ::testing::Test {
 protected:
  P platform;
  TemporaryDirectory root;
};
using Platforms = ::testing::Types<PosixPlatform, FakePlatform>;
TYPED_TEST_SUITE(PlatformContract, Platforms);

// Each coordination runs its accessor once, before it returns, with the
// item's path while nothing moved; what the accessor throws comes out of it.
TYPED_TEST(PlatformContract, RunsEachAccessorOnceWithTheItemsPath) {
  const Directory folder = openDirectory(this->root.path());
  Platform& platform = this->platform;
  std::vector<std::string> handed;
  const auto hand = [&](const std::string& path) { handed.push_back(path); };
  platform.coordinateReading(folder, "a", 0, hand);
  platform.coordinateWriting(folder, "", 0, hand);
  platform.coordinateReadingAndWriting(folder, "b", 0, 0,
                                       [&](const std::string& reading, const std::string& writing) {
                                         hand(reading), hand(writing);
                                       });
  const std::string& r = this->root.path();
  EXPECT_EQ(handed, (std::vector<std::string>{r + "/a", r, r + "/b", r}));
  EXPECT_EQ(outcomeOf([&] {
              platform.coordinateWriting(folder, "", 0, [](const std::string&) {
                throw SyncFailure{Code::excluded, "inside"};
              });
            }),
            "SYNC_EXCLUDED: inside");
}

// An item's kind and a file's size, whatever it is; and each entry of a
// folder once, until the visitor has had enough.
TYPED_TEST(PlatformContract, DescribesItemsAndEnumeratesEntries) {
  const std::string& r = this->root.path();
  writeFile(r + "/file", "12345");
  std::filesystem::create_directory(r + "/dir");
  std::filesystem::create_symlink("file", r + "/link");
  const Directory folder = openDirectory(r);
  Platform& platform = this->platform;
  for (const bool promised : {false, true}) {
    const auto values = [&](const char* name) {
      return promised ? platform.promisedResourceValues(folder, name)
                      : platform.resourceValues(folder, name);
    };
    EXPECT_TRUE(values("file").isRegularFile.value_or(false) && values("file").fileSize == 5);
    EXPECT_TRUE(values("dir").isDirectory.value_or(false) && !values("dir").fileSize);
    EXPECT_TRUE(values("link").isSymbolicLink.value_or(false) && !values("link").fileSize);
  }
  EXPECT_EQ(outcomeOf([&] { platform.resourceValues(folder, "none"); }).substr(0, 9), "SYNC_IO: ");
  std::multiset<std::string> seen;
  EXPECT_TRUE(platform.enumerateDirectory(folder, [&](const std::string& name) {
    seen.insert(name);
    return true;
  }));
  EXPECT_EQ(seen, (std::multiset<std::string>{"dir", "file", "link"}));
  int visits = 0;
  platform.enumerateDirectory(folder, [&](const std::string&) { return ++visits < 2; });
  EXPECT_EQ(visits, 2);
  EXPECT_EQ(platform.unresolvedConflictVersionCount(folder, "file"), 0u);
}

}  // namespace
}  // namespace brindell::testing
