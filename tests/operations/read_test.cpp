// The read operation through the real executable, and the bounded reader
// against a directory swapped for a link while it reads.

#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>

#include <atomic>
#include <chrono>
#include <thread>

#include <gtest/gtest.h>

#include "fileio/bounded_read.h"
#include "request/limits.h"
#include "request/sync_failure.h"
#include "support/helper_process.h"
#include "support/sync_folder.h"

namespace brindell::testing {
namespace {

const char* invalidJson =
    "A sync file contains invalid JSON. Preserve it for inspection; local workspace data is "
    "unchanged.";
const char* notOneObject = "A sync file must contain one JSON object.";
const char* unsupported =
    "This folder does not contain a supported Brindell sync manifest. Update Brindell or select "
    "the correct folder.";
const char* tooLarge =
    "A sync file exceeds the supported size limit. Local workspace data is unchanged.";
const char* hardLinked = "Sync content must be a regular file without hard links.";
const char* linked = "Sync paths cannot contain symbolic links. Select the actual folder.";
const char* unexpected = "The sync path contains an unexpected filesystem item.";
const std::string name = historyName(1);
const std::string manifest = "manifest.json";

std::string notAvailable(const std::string& item) {
  return item +
         " is not available yet. Wait for iCloud Drive and retry; the existing workspace will not "
         "be replaced.";
}

std::string manifestWithVersion(const std::string& version) {
  return R"({"format":"brindell-folder-sync","version":)" + version + R"(,"workspaceId":")" +
         workspaceA + "\"}";
}

std::string readRequest(const std::string& folder) {
  return requestText("read", folder, R"(,"name":)" + jsonString(name));
}

struct Case {
  const char* label;
  std::vector<Item> items;  // changes to a folder with a valid manifest and history file
  const char* code;
  std::string message;
};

class ReadFailure : public ::testing::TestWithParam<Case> {};

TEST_P(ReadFailure, AnswersWithTheExactFailureAndChangesNothing) {
  TemporaryDirectory root;
  const std::string folder = makeSyncFolder(root.path());
  build(folder, with(file(name, "{}")));
  build(folder, GetParam().items);
  const std::string before = treeSnapshot(root.path());
  const HelperRun run = runHelper(readRequest(folder));
  EXPECT_EQ(run.output, failureLine(GetParam().code, GetParam().message));
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.errors, "");
  EXPECT_EQ(treeSnapshot(root.path()), before);
}

INSTANTIATE_TEST_SUITE_P(
    Failures, ReadFailure,
    ::testing::Values(
        Case{"missing_manifest", with(gone(manifest)), "SYNC_DOWNLOAD_PENDING",
             notAvailable(manifest)},
        Case{"manifest_extra_key", with(file(manifest, manifestWithVersion(R"(1,"note":"")"))),
             "SYNC_UNSUPPORTED_MANIFEST", unsupported},
        Case{"manifest_version_true", with(file(manifest, manifestWithVersion("true"))),
             "SYNC_UNSUPPORTED_MANIFEST", unsupported},
        Case{"manifest_uppercase_id",
             with(file(manifest, manifestText("0F8FAD5B-D9CB-469F-A165-70867728950E"))),
             "SYNC_UNSUPPORTED_MANIFEST", unsupported},
        Case{"manifest_4097_bytes", with(file(manifest, manifestText() + std::string(3999, ' '))),
             "SYNC_CAPACITY", tooLarge},
        Case{"manifest_array", with(file(manifest, "[" + manifestText() + "]")),
             "SYNC_INVALID_FILE", notOneObject},
        Case{"manifest_truncated", with(file(manifest, manifestText().substr(0, 97))),
             "SYNC_INVALID_FILE", invalidJson},
        Case{"manifest_hard_link", with(hardLinkTo("../second", manifest)), "SYNC_UNSAFE_PATH",
             hardLinked},
        Case{"manifest_symlink", with(gone(manifest), linkTo(manifest, name)), "SYNC_UNSAFE_PATH",
             linked},
        Case{"history_missing", with(gone(name)), "SYNC_DOWNLOAD_PENDING", notAvailable(name)},
        Case{"history_hard_link", with(hardLinkTo("../second", name)), "SYNC_UNSAFE_PATH",
             hardLinked},
        Case{"history_symlink", with(gone(name), linkTo(name, manifest)), "SYNC_UNSAFE_PATH",
             linked},
        Case{"history_fifo", with(gone(name), fifo(name)), "SYNC_UNSAFE_PATH", unexpected},
        Case{"history_over_7_mib", with(sparse(name, maximumBundleBytes + 1)), "SYNC_CAPACITY",
             tooLarge},
        Case{"history_invalid_json", with(file(name, R"({"a":)")), "SYNC_INVALID_FILE",
             invalidJson},
        Case{"history_array", with(file(name, "[{}]")), "SYNC_INVALID_FILE", notOneObject}),
    [](const auto& info) { return std::string(info.param.label); });

TEST(Read, ReturnsTheObjectReencodedCanonically) {
  TemporaryDirectory root;
  const std::string folder = makeSyncFolder(root.path());
  // Another tool's spelling of a valid manifest is read too, and any
  // well-formed name is read whatever workspace it names.
  build(
      folder,
      with(file(manifest, "{ \"workspaceId\": \"" + std::string(workspaceB) +
                              "\",\n \"version\": 1.0, \"format\": \"brindell-folder-sync\" }"),
           file(name,
                R"({ "z": 1.50, "a": {"y": true, "b": [1e2, "\/x", "\u00e9", -0]}, "n": null })")));
  const HelperRun run = runHelper(readRequest(folder));
  EXPECT_EQ(run.output, successLine(R"({"a":{"b":[1e2,"/x","é",-0],"y":true},"n":null,"z":1.50})"));
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.errors, "");
}

TEST(Read, AcceptsManifestAndHistoryExactlyAtTheirBounds) {
  TemporaryDirectory root;
  const std::string folder = makeSyncFolder(root.path());
  const std::string content = objectOfSize(maximumBundleBytes);
  build(folder, with(file(manifest, manifestText() + std::string(3998, ' ')), file(name, content)));
  EXPECT_TRUE(runHelper(readRequest(folder)).output == successLine(content));
}

// A directory on the path flips between the real folder and a link to a
// decoy folder holding valid files of other content. Wherever the flip falls,
// the reader reads the real file or refuses; it never follows the link.
TEST(BoundedData, NeverReadsThroughADirectorySwappedForALink) {
  TemporaryDirectory root;
  const std::string real = root.path() + "/sub";
  const std::string link = root.path() + "/link";
  build(root.path(),
        with(directory("sub"), directory("decoy"), linkTo("link", "decoy"),
             file("sub/" + manifest, manifestText(workspaceA)),
             file("decoy/" + manifest, manifestText(workspaceB)),
             file("sub/" + name, R"({"real":true})"), file("decoy/" + name, R"({"real":false})")));
  std::atomic<bool> stop{false};
  std::thread flipper([&] {
    while (!stop) ::renameat2(AT_FDCWD, real.c_str(), AT_FDCWD, link.c_str(), RENAME_EXCHANGE);
  });
  int read = 0, refused = 0;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(1500);
  for (int i = 0; i < 100'000 && std::chrono::steady_clock::now() < deadline; ++i) {
    const bool manifestTurn = i % 2 == 0;
    try {
      const std::string bytes =
          boundedData(real + "/" + (manifestTurn ? manifest : name), maximumBundleBytes);
      ++read;
      if (bytes != (manifestTurn ? manifestText(workspaceA) : R"({"real":true})")) {
        ADD_FAILURE() << "read through the link: " << bytes;
        break;
      }
    } catch (const SyncFailure& failure) {
      EXPECT_TRUE(failure.code == "SYNC_UNSAFE_PATH" || failure.code == "SYNC_IO") << failure.code;
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
