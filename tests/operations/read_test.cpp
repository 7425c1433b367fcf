// The read operation's answers through the real executable, and the bounded
// reader against a directory swapped for a link while it reads.

#include <fcntl.h>
#include <stdio.h>

#include <atomic>
#include <chrono>
#include <thread>

#include <gtest/gtest.h>

#include "base/limits.h"
#include "base/sync_failure.h"
#include "fileio/bounded_read.h"
#include "support/helper_process.h"
#include "support/sync_folder.h"

namespace brindell::testing {
namespace {

const std::string name = historyName(1);

std::string readRequest(const std::string& folder) {
  return requestText("read", folder, R"(,"name":)" + jsonString(name));
}

TEST(Read, ReturnsTheObjectReencodedCanonically) {
  TemporaryDirectory root;
  const std::string folder = makeSyncFolder(root.path());
  // Another tool's spelling of a valid manifest is read too, and any
  // well-formed name is read whatever workspace it names.
  build(folder,
        with(file("manifest.json", "{ \"workspaceId\": \"" + std::string(workspaceB) +
                                       "\",\n \"version\": 1.0, \"format\": "
                                       "\"brindell-folder-sync\" }"),
             file(name, R"({ "z": 1.50, "a": {"y": true, "b": [1e2, "\/x", "\u00e9"]} })")));
  const HelperRun run = runHelper(readRequest(folder));
  EXPECT_EQ(run.output, successLine(R"({"a":{"b":[1e2,"/x","é"],"y":true},"z":1.50})"));
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.errors, "");
}

TEST(Read, AcceptsManifestAndHistoryExactlyAtTheirBounds) {
  TemporaryDirectory root;
  const std::string folder = makeSyncFolder(root.path());
  const std::string content = objectOfSize(maximumBundleBytes);
  build(folder,
        with(file("manifest.json", manifestText() + std::string(3998, ' ')), file(name, content)));
  EXPECT_TRUE(runHelper(readRequest(folder)).output == successLine(content));
}

// A directory on the path flips between the real folder and a link to a
// decoy folder holding valid files of other content. Wherever the flip falls,
// the reader reads the real file or refuses; it never follows the link.
TEST(BoundedData, NeverReadsThroughADirectorySwappedForALink) {
  TemporaryDirectory root;
  const std::string real = root.path() + "/sub", link = root.path() + "/link";
  build(root.path(),
        with(directory("sub"), directory("decoy"), linkTo("link", "decoy"),
             file("sub/" + name, R"({"real":true})"), file("decoy/" + name, R"({"real":false})")));
  std::atomic<bool> stop{false};
  std::thread flipper([&] {
    while (!stop) ::renameat2(AT_FDCWD, real.c_str(), AT_FDCWD, link.c_str(), RENAME_EXCHANGE);
  });
  int read = 0, refused = 0;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(1500);
  while (std::chrono::steady_clock::now() < deadline && read + refused < 100'000) {
    try {
      const std::string bytes = boundedData(openDirectory(real), name, maximumBundleBytes);
      ++read;
      if (bytes != R"({"real":true})") {
        ADD_FAILURE() << "read through the link: " << bytes;
        break;
      }
    } catch (const SyncFailure& failure) {
      EXPECT_TRUE(failure.code == Code::unsafePath || failure.code == Code::io) << failure.message;
      ++refused;
    }
  }
  stop = true;
  flipper.join();
  RecordProperty("read", read);
  RecordProperty("refused", refused);
}

}  // namespace
}  // namespace brindell::testing
