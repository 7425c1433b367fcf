#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "request/sync_failure.h"
#include "support/helper_process.h"
#include "validation/identifiers.h"
#include "validation/paths.h"

namespace brindell::testing {
namespace {

constexpr const char* uuid = "0f8fad5b-d9cb-469f-a165-70867728950e";

TEST(ValidID, AcceptsOnlyTheLowercaseHyphenatedForm) {
  EXPECT_TRUE(validID(uuid));
  for (const std::string bad :
       {std::string("0F8fad5b-d9cb-469f-a165-70867728950e"), "{" + std::string(uuid) + "}",
        std::string(uuid) + "\n", std::string("0f8fad5bd9cb469fa16570867728950e"),
        std::string(uuid).substr(1), std::string(uuid) + "0", std::string("0f8fad5b-d9cb-469f-a165-70867728950g"),
        std::string("0f8fad5b_d9cb-469f-a165-70867728950e"), std::string()}) {
    EXPECT_FALSE(validID(bad)) << bad;
  }
}

TEST(HistoryFileName, MatchesWholeNamesOnly) {
  const std::string name = std::string(uuid) + "-" + std::string(64, 'a') + ".brindell-history.json";
  EXPECT_TRUE(isHistoryFileName(name));
  EXPECT_EQ(name.size(), 123u);
  for (const std::string bad : {name + "\n", "x" + name, name.substr(0, 122),
                                std::string(uuid) + "-" + std::string(64, 'A') + ".brindell-history.json",
                                std::string(uuid) + "-" + std::string(63, 'a') + "g.brindell-history.json",
                                std::string(uuid) + "_" + std::string(64, 'a') + ".brindell-history.json",
                                std::string(uuid) + "-" + std::string(64, 'a') + ".brindell-history.JSON"}) {
    EXPECT_FALSE(isHistoryFileName(bad)) << bad;
  }
}

TEST(Paths, NormaliseLikeAFileURL) {
  EXPECT_EQ(normalizedPath("//a///b/"), "/a/b");
  EXPECT_EQ(normalizedPath("///"), "/");
  EXPECT_EQ(parentPath("/a/b/"), "/a");
  EXPECT_EQ(parentPath("/a"), "/");
  EXPECT_EQ(appendComponent("/a/", "m.json"), "/a/m.json");
  EXPECT_EQ(lastComponent("/a/b//"), "b");
}

TEST(DisplayName, ReplacesEachInvalidSequenceOnce) {
  EXPECT_EQ(displayName("caf\xC3\xA9"), "caf\xC3\xA9");
  EXPECT_EQ(displayName("a\xFF" "b"), "a\xEF\xBF\xBD" "b");
  EXPECT_EQ(displayName("a\xE2\x82"), "a\xEF\xBF\xBD");           // truncated sequence
  EXPECT_EQ(displayName("\xED\xA0\x80"), "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD");  // surrogate
  EXPECT_EQ(displayName("\xC0\xAF"), "\xEF\xBF\xBD\xEF\xBF\xBD");  // overlong
}

TEST(Exists, DoesNotFollowAFinalLink) {
  TemporaryDirectory tree;
  ::symlink("/nonexistent", (tree.path() + "/dangling").c_str());
  EXPECT_TRUE(exists(tree.path() + "/dangling"));
  EXPECT_FALSE(exists(tree.path() + "/absent"));
  writeFile(tree.path() + "/file", "");
  try {
    exists(tree.path() + "/file/below");
    FAIL();
  } catch (const SyncFailure& failure) {
    EXPECT_EQ(failure.code, "SYNC_IO");
    EXPECT_EQ(failure.message, "Cannot inspect below: Not a directory. Local workspace data is unchanged.");
  }
}

struct PathCase {
  const char* relative;
  bool directory;
  bool allowMissingLeaf;
  const char* code;  // nullptr: passes
};

class ValidatePath : public ::testing::TestWithParam<PathCase> {};

TEST_P(ValidatePath, ChecksEveryComponentFromTheTop) {
  TemporaryDirectory tree;
  const std::string root = tree.path();
  ::mkdir((root + "/dir").c_str(), 0700);
  writeFile(root + "/dir/file", "x");
  ::symlink((root + "/dir").c_str(), (root + "/link").c_str());
  ::mkfifo((root + "/fifo").c_str(), 0600);
  const PathCase& c = GetParam();
  try {
    validatePath(root + c.relative, c.directory, c.allowMissingLeaf);
    EXPECT_EQ(c.code, nullptr) << c.relative;
  } catch (const SyncFailure& failure) {
    ASSERT_NE(c.code, nullptr) << c.relative << ": " << failure.message;
    EXPECT_EQ(failure.code, c.code) << c.relative;
  }
}

INSTANTIATE_TEST_SUITE_P(
    Table, ValidatePath,
    ::testing::Values(PathCase{"/dir", true, false, nullptr},
                      PathCase{"/dir/file", false, false, nullptr},
                      PathCase{"/dir/absent", false, true, nullptr},
                      PathCase{"/absent/file", false, true, "SYNC_MISSING"},
                      PathCase{"/dir/absent", false, false, "SYNC_MISSING"},
                      PathCase{"/dir", false, false, "SYNC_UNSAFE_PATH"},
                      PathCase{"/dir/file", true, false, "SYNC_UNSAFE_PATH"},
                      PathCase{"/dir/file/x", false, true, "SYNC_UNSAFE_PATH"},
                      PathCase{"/link", true, false, "SYNC_UNSAFE_PATH"},
                      PathCase{"/link/file", false, false, "SYNC_UNSAFE_PATH"},
                      PathCase{"/fifo", false, false, "SYNC_UNSAFE_PATH"}));

}  // namespace
}  // namespace brindell::testing
