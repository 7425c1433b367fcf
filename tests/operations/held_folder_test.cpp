// What holding the folder by descriptor buys, through the real executable:
// a staging directory swapped under the helper is never used, modes do not
// depend on the caller's umask, and a crowded parent costs publish nothing.

#include <fcntl.h>
#include <sys/stat.h>

#include <atomic>
#include <filesystem>
#include <thread>

#include <gtest/gtest.h>

#include "support/helper_process.h"
#include "support/sync_folder.h"

namespace brindell::testing {
namespace {

namespace fs = std::filesystem;

TEST(HeldFolder, ModesDoNotDependOnTheUmask) {
  TemporaryDirectory root;
  const mode_t previous = ::umask(0477);
  const HelperRun created = runHelper(createRequest(root.path()));
  const HelperRun published =
      runHelper(publishRequest(root.path() + "/" + folderName, objectOfSize(100)));
  ::umask(previous);
  EXPECT_EQ(created.output, createdLine(root.path()));
  EXPECT_EQ(published.output, publishedLine(true));
  const std::string folder = root.path() + "/" + folderName;
  EXPECT_EQ(permissions(folder), 0700u);
  EXPECT_EQ(permissions(folder + "/manifest.json"), 0600u);
  EXPECT_EQ(permissions(folder + "/" + historyName(1)), 0600u);
}

// Publish never reads its parent whole: a parent of 100,000 entries costs it
// no more memory than an empty one.
TEST(HeldFolder, PublishMemoryStaysFlatInACrowdedParent) {
  TemporaryDirectory quiet, crowded;
  for (int i = 0; i < 100'000; ++i) {
    const std::string name = crowded.path() + "/entry-" + std::to_string(i);
    ::close(::open(name.c_str(), O_WRONLY | O_CREAT, 0600));
  }
  long peak[2];
  const std::string parents[2] = {quiet.path(), crowded.path()};
  for (int i = 0; i < 2; ++i) {
    ASSERT_EQ(runHelper(createRequest(parents[i])).status, 0);
    // Measured by a small process of its own: a child spawned from this one
    // would report this one's size.
    const std::string report = parents[i] + "/peak";
    const HelperRun run =
        runCommand({"/usr/bin/time", "-f", "%M", "-o", report, BRINDELL_EXECUTABLE},
                   publishRequest(parents[i] + "/" + folderName, objectOfSize(1000)));
    ASSERT_EQ(run.output, publishedLine(true));
    peak[i] = std::stol(readFile(report));
  }
  EXPECT_LT(peak[1], peak[0] + 1024) << "KiB";
}

// Another process keeps renaming every staging directory away and putting a
// directory of its own under the name. Create works through the descriptor
// of the directory it made, so it never uses or removes the impostor, and
// the folder it makes is its own.
TEST(HeldFolder, AStagingDirectorySwappedByARacerIsNeverUsed) {
  TemporaryDirectory root;
  const std::string parent = root.path() + "/parent";
  fs::create_directory(parent);
  std::atomic<bool> stop{false};
  std::atomic<int> swaps{0};
  std::thread racer([&] {
    while (!stop) {
      std::error_code error;
      for (const auto& entry : fs::directory_iterator(parent, error)) {
        const std::string name = entry.path().filename();
        if (!name.starts_with(".brindell-staging-") || fs::exists(entry.path() / "payload")) {
          continue;
        }
        const std::string away = root.path() + "/moved-" + std::to_string(swaps);
        if (::rename(entry.path().c_str(), away.c_str()) != 0) continue;
        // A helper that finds the name taken right after making it leaves
        // the impostor be; so may the impostor's own making fail.
        if (!fs::create_directory(entry.path(), error)) continue;
        fs::create_directory(entry.path() / folderName, error);
        writeFile(entry.path() / "payload", "theirs");
        ++swaps;
      }
    }
  });
  int created = 0;
  for (int i = 0; i < 40; ++i) {
    const HelperRun run = runHelper(createRequest(parent));
    fs::remove_all(parent + "/" + folderName);
    created += run.status == 0;
  }
  stop = true;
  racer.join();
  RecordProperty("swaps", swaps.load());
  EXPECT_GT(created, 0);
  // Every impostor is still whole; nothing of it became the sync folder.
  int impostors = 0;
  for (const auto& entry : fs::directory_iterator(parent)) {
    if (!entry.path().filename().string().starts_with(".brindell-staging-")) continue;
    EXPECT_EQ(readFile(entry.path() / "payload"), "theirs");
    EXPECT_TRUE(fs::is_directory(entry.path() / folderName));
    ++impostors;
  }
  EXPECT_EQ(impostors, swaps.load());
}

}  // namespace
}  // namespace brindell::testing
