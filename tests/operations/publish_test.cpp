// The publish operation through the real executable: immutable, idempotent
// files within the folder's limits, also with many helpers at once.

#include <algorithm>

#include <gtest/gtest.h>

#include "base/limits.h"
#include "json/json.h"
#include "support/helper_process.h"
#include "support/sync_folder.h"

namespace brindell::testing {
namespace {

const std::string name = historyName(1);
const std::string id = workspaceA;
const std::string canonical =
    R"({"entries":[1,2.50,{"a":false,"b":null}],"note":"a/b é","workspaceId":")" + id + "\"}";
// The same content as an application might send it.
const std::string respelled =
    R"({ "workspaceId": ")" + id +
    R"(", "note": "a\/b \u00e9", "entries": [1, 2.50, {"b": null, "a": false}] })";

// Each limit holds exactly at its boundary (one more is refused, see the
// refusals), and a repeat finds the file equal.
struct Accepted {
  const char* label;
  std::vector<Item> items;
  std::string content;
  bool created;
};

class PublishAccepted : public ::testing::TestWithParam<Accepted> {};

TEST_P(PublishAccepted, WritesTheCanonicalBytesOnceAndThenFindsThemEqual) {
  TemporaryDirectory root;
  const std::string folder = makeSyncFolder(root.path()), file = folder + "/" + name;
  build(folder, GetParam().items);
  const std::string existing = readFile(file);
  const std::string request = publishRequest(folder, GetParam().content);
  const HelperRun run = runHelper(request);
  EXPECT_EQ(run.output, publishedLine(GetParam().created));
  EXPECT_EQ(run.errors, "");
  EXPECT_TRUE(
      readFile(file) ==
      (GetParam().created ? canonicalJson(parseObject(GetParam().content).view()) : existing));
  if (GetParam().created) EXPECT_EQ(permissions(file), 0600u);
  const std::string before = treeSnapshot(root.path());  // no leftovers, inodes and times too
  EXPECT_EQ(runHelper(request).output, publishedLine(false));
  EXPECT_EQ(treeSnapshot(root.path()), before);
}

INSTANTIATE_TEST_SUITE_P(
    Limits, PublishAccepted,
    ::testing::Values(
        // Equal content as an application or another tool spells it.
        Accepted{"respelled", with(), respelled, true},
        Accepted{"existing_respelled", with(file(name, respelled)), canonical, false},
        Accepted{"bundle_of_7_mib", with(), objectOfSize(maximumBundleBytes), true},
        Accepted{"file_512", historyFiles(511, 2), canonical, true},
        Accepted{"existing_name_in_full_folder", with(historyFiles(511, 2), file(name, canonical)),
                 canonical, false},
        Accepted{"total_of_64_mib", filesLeaving(1000), objectOfSize(1000), true}),
    [](const auto& info) { return std::string(info.param.label); });

// Many helpers at once, each a real process.
TEST(PublishConcurrently, DistinctFilesStopExactlyAt512) {
  TemporaryDirectory root;
  const std::string folder = makeSyncFolder(root.path());
  build(folder, historyFiles(500, 2, 1000));
  std::vector<std::string> requests;
  for (std::size_t i = 0; i < 16; ++i) {
    requests.push_back(publishRequest(folder, canonical, historyName(i)));
  }
  const std::vector<HelperRun> runs = runTogether(requests);
  long created = 0;
  for (std::size_t i = 0; i < runs.size(); ++i) {
    created += runs[i].output == publishedLine(true, historyName(i));
  }
  EXPECT_EQ(created, 12);
  EXPECT_EQ(answersOf(runs, failureLine("SYNC_CAPACITY",
                                        "Publishing would exceed the sync folder's 512-file or "
                                        "64-MiB limit. Local edits remain saved on this Mac.")),
            4);
  EXPECT_EQ(entryNames(folder).size(), 512u + 1);
  EXPECT_FALSE(hasStagingLeftovers(root.path()));
}

// Half of them publish one content and half another under the same name:
// one wins, those with its content find it equal, the others conflict.
TEST(PublishConcurrently, OneNameHasOneCompleteWinner) {
  TemporaryDirectory root;
  const std::string folder = makeSyncFolder(root.path());
  const std::string contents[] = {objectOfSize(100'000), objectOfSize(100'001)};
  std::vector<std::string> requests;
  for (int i = 0; i < 16; ++i) requests.push_back(publishRequest(folder, contents[i % 2]));
  const std::vector<HelperRun> runs = runTogether(requests);
  ASSERT_EQ(answersOf(runs, publishedLine(true)), 1);
  const auto winner =
      std::find_if(runs.begin(), runs.end(),
                   [](const HelperRun& run) { return run.output == publishedLine(true); }) -
      runs.begin();
  for (long i = 0; i < 16; ++i) {
    if (i == winner) continue;
    EXPECT_EQ(runs[i].output,
              i % 2 == winner % 2
                  ? publishedLine(false)
                  : failureLine("SYNC_IMMUTABLE_CONFLICT",
                                "An existing immutable history file has different content. It "
                                "was preserved; inspect the folder before retrying."))
        << i;
  }
  EXPECT_TRUE(readFile(folder + "/" + name) == contents[winner % 2]);
  EXPECT_FALSE(hasStagingLeftovers(root.path()));
}

}  // namespace
}  // namespace brindell::testing
