// The create operation through the real executable: the folder appears
// complete, once, and an existing folder of the workspace is never touched.

#include <gtest/gtest.h>

#include "support/helper_process.h"
#include "support/sync_folder.h"

namespace brindell::testing {

namespace {

TEST(Create, MakesTheFolderOnceAndThenConfirmsItUntouched) {
  TemporaryDirectory parent;
  const HelperRun first = runHelper(createRequest(parent.path()));
  EXPECT_EQ(first.output, createdLine(parent.path()));
  EXPECT_EQ(first.status, 0);
  EXPECT_EQ(first.errors, "");
  expectCompleteFolder(parent.path());

  const std::string before = treeSnapshot(parent.path());  // inodes and times too
  EXPECT_EQ(runHelper(createRequest(parent.path())).output, first.output);
  EXPECT_EQ(treeSnapshot(parent.path()), before);
}

// Another tool's spelling of the same workspace's manifest is confirmed, not
// refused as a different workspace.
TEST(Create, ConfirmsTheSameWorkspaceSpelledByAnotherTool) {
  TemporaryDirectory parent;
  const std::string manifest = R"({"format":"brindell-folder-sync","version":1.0,"workspaceId":")" +
                               std::string(workspaceA) + "\"}";
  build(parent.path(),
        with(directory(folderName), file(folderName + "/manifest.json",
                                         "{\n  \"workspaceId\": \"" + std::string(workspaceA) +
                                             "\",\n  \"version\": 1.0, \"format\": "
                                             "\"brindell-folder-sync\"\n}\n")));
  const std::string before = treeSnapshot(parent.path());
  EXPECT_EQ(runHelper(createRequest(parent.path())).output, createdLine(parent.path(), manifest));
  EXPECT_EQ(treeSnapshot(parent.path()), before);
}

TEST(Create, ConcurrentCreatesAllSucceedWithOneFolder) {
  TemporaryDirectory parent;
  const std::vector<HelperRun> runs = runTogether(std::vector(8, createRequest(parent.path())));
  EXPECT_EQ(answersOf(runs, createdLine(parent.path())), 8);
  expectCompleteFolder(parent.path());
}

}  // namespace
}  // namespace brindell::testing
