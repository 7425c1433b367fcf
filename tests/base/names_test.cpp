#include <gtest/gtest.h>

#include "fileio/directory.h"

#include "base/names.h"
#include "support/helper_process.h"
#include "support/sync_folder.h"

namespace brindell::testing {
namespace {

const std::string uuid = workspaceA;

TEST(ValidID, AcceptsOnlyTheLowercaseHyphenatedForm) {
  EXPECT_TRUE(validID(uuid));
  for (const std::string& bad :
       {std::string("0F8fad5b-d9cb-469f-a165-70867728950e"), "{" + uuid + "}", uuid + "\n",
        std::string("0f8fad5bd9cb469fa16570867728950e"), uuid.substr(1), uuid + "0",
        std::string("0f8fad5b-d9cb-469f-a165-70867728950g"),
        std::string("0f8fad5b_d9cb-469f-a165-70867728950e"), std::string()}) {
    EXPECT_FALSE(validID(bad)) << bad;
  }
}

TEST(HistoryFileName, MatchesWholeNamesOnly) {
  const std::string tail = ".brindell-history.json";
  const std::string name = uuid + "-" + std::string(64, 'a') + tail;
  EXPECT_TRUE(isHistoryFileName(name));
  for (const std::string& bad :
       {name + "\n", "x" + name, "../" + name, name.substr(0, 122),
        uuid + "-" + std::string(64, 'A') + tail, uuid + "-" + std::string(63, 'a') + "g" + tail,
        uuid + "_" + std::string(64, 'a') + tail,
        uuid + "-" + std::string(64, 'a') + ".history.json",
        uuid + "-" + std::string(64, 'a') + ".brindell-history.JSON"}) {
    EXPECT_FALSE(isHistoryFileName(bad)) << bad;
  }
}

TEST(Exists, DoesNotFollowAFinalLink) {
  TemporaryDirectory tree;
  build(tree.path(), with(linkTo("dangling", "absent"), file("file")));
  const Directory held = openDirectory(tree.path());
  EXPECT_TRUE(exists(held, "dangling"));
  EXPECT_FALSE(exists(held, "absent"));
  EXPECT_EQ(outcomeOf([&] { exists(held, "file/below"); }),
            "SYNC_IO: Cannot inspect file/below: Not a directory. Local workspace data is "
            "unchanged.");
}

// A held directory and one item in it, as every path is checked: opened from
// the top one component at a time, then the item relative to it.
struct PathCase {
  const char* directory;
  const char* item;  // nullptr: only the directory is opened
  bool directoryExpected;
  bool allowMissing;
  const char* code;  // nullptr: passes
};

class ValidatePath : public ::testing::TestWithParam<PathCase> {};

TEST_P(ValidatePath, ChecksEveryComponentFromTheTop) {
  TemporaryDirectory tree;
  build(tree.path(), with(directory("dir"), file("dir/file", "x"), linkTo("link", "dir")));
  const PathCase& c = GetParam();
  const std::string outcome = outcomeOf([&] {
    const Directory held = openDirectory(tree.path() + c.directory);
    if (c.item) validateItem(held, c.item, {c.directoryExpected, c.allowMissing});
  });
  EXPECT_EQ(outcome.substr(0, outcome.find(':')), c.code ? c.code : "ok") << c.item;
}

INSTANTIATE_TEST_SUITE_P(
    Table, ValidatePath,
    ::testing::Values(PathCase{"/dir", "file", false, false, nullptr},
                      PathCase{"/dir", "absent", false, true, nullptr},
                      PathCase{"/absent", nullptr, false, true, "SYNC_MISSING"},
                      PathCase{"/dir", "absent", false, false, "SYNC_MISSING"},
                      PathCase{"", "dir", false, false, "SYNC_UNSAFE_PATH"},
                      PathCase{"/dir", "file", true, false, "SYNC_UNSAFE_PATH"},
                      PathCase{"", "link", true, false, "SYNC_UNSAFE_PATH"},
                      PathCase{"/link", nullptr, true, false, "SYNC_UNSAFE_PATH"},
                      PathCase{"/dir/file", nullptr, false, true, "SYNC_UNSAFE_PATH"}));

}  // namespace
}  // namespace brindell::testing
