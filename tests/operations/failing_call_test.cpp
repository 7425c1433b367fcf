// One failing system call at each step of create and publish, through the
// real executable: each is answered exactly, leaves the new folder or file
// complete or absent and no staging directory, and a repeat succeeds.

#include <gtest/gtest.h>

#include "base/names.h"
#include "support/fault_injection.h"
#include "support/helper_process.h"
#include "support/sync_folder.h"

namespace brindell::testing {
namespace {

const std::string bundle =
    R"({"entries":[1,2.50],"workspaceId":")" + std::string(workspaceA) + "\"}";

struct Fault {
  const char* label;
  bool publish;  // otherwise create
  const char* syscall;
  const char* needle;  // in the traced call's line
  int nth;             // which matching call, 1-based; -1: the last
  const char* error;
  std::string prefix;  // of the message ("$" stands for the name of the test's root)
  bool resultInPlace;  // the new folder or file, afterwards
};

class FailingCallTest : public ::testing::TestWithParam<Fault> {};

TEST_P(FailingCallTest, AnswersExactlyAndARepeatSucceeds) {
  if (!faultInjectionAvailable()) GTEST_SKIP() << "strace cannot trace here";
  const Fault& fault = GetParam();
  TemporaryDirectory root;
  const std::string at = root.path(), folder = at + "/sync";
  const auto scenario = [&](const std::string& in) {
    return fault.publish ? publishRequest(makeSyncFolder(in), bundle) : createRequest(in);
  };
  const HelperRun run =
      runWithFailingCall(scenario, at, {fault.syscall, fault.needle, fault.nth, fault.error});
  std::string prefix = fault.prefix;
  if (const auto dollar = prefix.find('$'); dollar != std::string::npos) {
    prefix.replace(dollar, 1, lastComponent(at));
  }
  EXPECT_EQ(run.output, failedCallLine(prefix, fault.error));
  EXPECT_EQ(run.status, 1);
  EXPECT_FALSE(hasStagingLeftovers(at));
  const std::string result = fault.publish ? folder + "/" + historyName(1) : at + "/" + folderName;
  EXPECT_EQ(permissions(result) != 0, fault.resultInPlace);

  if (fault.publish) {
    EXPECT_EQ(runHelper(publishRequest(folder, bundle)).output,
              publishedLine(!fault.resultInPlace));
    EXPECT_EQ(readFile(result), bundle);
  } else {
    EXPECT_EQ(runHelper(createRequest(at)).output, createdLine(at));
    expectCompleteFolder(at);
  }
}

const std::string platform = "Sync folder access failed: ";
const std::string staging = platform + "Cannot create a staging directory in \u201C$\u201D";
const char* readingOpen = "manifest.json\", O_RDONLY|O_NONBLOCK|O_NOFOLLOW|O_CLOEXEC";

INSTANTIATE_TEST_SUITE_P(
    Create, FailingCallTest,
    ::testing::Values(Fault{"staging_directory", false, "mkdirat", ".brindell-staging-", 1,
                            "ENOSPC", staging, false},
                      Fault{"staged_folder", false, "mkdirat", "brindell-sync\"", 1, "ENOSPC",
                            platform + "Cannot create directory \u201C" + folderName + "\u201D",
                            false},
                      Fault{"staged_manifest_open", false, "openat", "manifest.json\", O_WRONLY", 1,
                            "EIO", "Cannot prepare the sync file", false},
                      Fault{"staged_manifest_write", false, "write", "{\\\"format\\\"", 1, "ENOSPC",
                            "Cannot write the sync file", false},
                      Fault{"staged_manifest_fsync", false, "fsync", "", 1, "EIO",
                            "Cannot synchronize the sync file", false},
                      Fault{"staged_folder_flush", false, "fsync", "", 2, "EIO",
                            "Cannot synchronize the sync directory", false},
                      Fault{"rename", false, "renameat2", "RENAME_NOREPLACE", 1, "EIO",
                            "Cannot publish the sync file", false},
                      Fault{"parent_flush", false, "fsync", "", 3, "EIO",
                            "Cannot synchronize the sync directory", true},
                      Fault{"read_back", false, "openat", readingOpen, 1, "EIO",
                            "Cannot read manifest.json", true},
                      Fault{"listing", false, "getdents64", "", -1, "EIO",
                            platform + "Cannot list \u201C" + folderName + "\u201D", true}),
    [](const auto& info) { return std::string(info.param.label); });

INSTANTIATE_TEST_SUITE_P(Publish, FailingCallTest,
                         ::testing::Values(Fault{"staged_file_open", true, "openat", "O_TMPFILE", 1,
                                                 "EIO", "Cannot prepare the sync file", false},
                                           Fault{"staged_file_write", true, "write",
                                                 "{\\\"entries\\\"", 1, "ENOSPC",
                                                 "Cannot write the sync file", false},
                                           Fault{"staged_file_fsync", true, "fsync", "", 1, "EIO",
                                                 "Cannot synchronize the sync file", false},
                                           Fault{"link", true, "linkat", "/proc/self/fd/", 1, "EIO",
                                                 "Cannot publish the sync file", false},
                                           Fault{"folder_flush", true, "fsync", "", 2, "EIO",
                                                 "Cannot synchronize the sync directory", true}),
                         [](const auto& info) { return std::string(info.param.label); });

// A file system without unnamed files: publish stages beside the folder
// instead, and leaves nothing there.
TEST(StagedFile, FallsBackWhereUnnamedFilesAreRefused) {
  if (!faultInjectionAvailable()) GTEST_SKIP() << "strace cannot trace here";
  TemporaryDirectory root;
  const std::string folder = root.path() + "/sync";
  const HelperRun run = runWithFailingCall(
      [&](const std::string& in) { return publishRequest(makeSyncFolder(in), bundle); },
      root.path(), {"openat", "O_TMPFILE", 1, "EOPNOTSUPP"});
  EXPECT_EQ(run.output, publishedLine(true));
  EXPECT_EQ(readFile(folder + "/" + historyName(1)), bundle);
  EXPECT_EQ(entryNames(root.path()), std::vector<std::string>{"sync"});
}

}  // namespace
}  // namespace brindell::testing
