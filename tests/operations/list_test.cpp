// The list operation's answers through the real executable.

#include <algorithm>

#include <gtest/gtest.h>

#include "base/limits.h"
#include "support/helper_process.h"
#include "support/sync_folder.h"

namespace brindell::testing {
namespace {

// The answer for a local folder holding these sparse history files.
std::string listedLine(std::vector<Item> files) {
  std::sort(files.begin(), files.end(),
            [](const Item& a, const Item& b) { return a.name < b.name; });
  std::string entries;
  for (const Item& item : files) {
    entries += std::string(entries.empty() ? "" : ",") + R"({"isUploaded":true,"name":")" +
               item.name + R"(","size":)" + std::to_string(item.size) + "}";
  }
  return successLine(R"({"files":[)" + entries + R"(],"isUbiquitous":false,"manifest":)" +
                     manifestText() + R"(,"pendingUploads":false})");
}

// Each limit holds exactly at its boundary (one more is refused, see the
// refusals); sparse files make the sizes real without the disk space.
struct Listed {
  const char* label;
  std::vector<Item> files;
};

class List : public ::testing::TestWithParam<Listed> {};

TEST_P(List, ReportsTheFilesSortedByName) {
  TemporaryDirectory root;
  const std::string folder = makeSyncFolder(root.path());
  // Ignored, but it counts as an entry: 512 files, the manifest and this are
  // the most a folder may hold. A sync client's metadata is ignored too and
  // counts toward no limit, neither the entries nor the 64 MiB.
  build(folder, with(GetParam().files, file(".DS_Store", "finder"), directory(".stfolder"),
                     file(".nextcloudsync.log", "sync run"), sparse(".sync_0a1b2c.db", 1 << 20)));
  // "op" is the older spelling of "operation".
  const HelperRun run = runHelper(R"({"op":"list","folder":)" + jsonString(folder) + "}");
  EXPECT_EQ(run.output, listedLine(GetParam().files));
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.errors, "");
}

INSTANTIATE_TEST_SUITE_P(
    Folders, List,
    ::testing::Values(Listed{"made_out_of_order",
                             with(sparse(historyName(3), 3), sparse(historyName(1), 1),
                                  sparse(historyName(2), 2))},
                      Listed{"file_of_7_mib", historyFiles(1, maximumBundleBytes)},
                      Listed{"total_of_64_mib", filesLeaving(0)},
                      Listed{"files_512", historyFiles(512, 2)}),
    [](const auto& info) { return std::string(info.param.label); });

}  // namespace
}  // namespace brindell::testing
