// The create operation through the real executable: the folder appears
// complete or not at all, an existing folder is never touched, and every
// failing system call is answered exactly and leaves no staging directory.

#include <gtest/gtest.h>

#include "support/fault_injection.h"
#include "support/helper_process.h"
#include "support/sync_folder.h"

namespace brindell::testing {
namespace {

const std::string folderName = "Brindell-" + std::string(workspaceA) + ".brindell-sync";
const std::string id = jsonString(workspaceA);
const char* invalidId = "workspaceId must be a lowercase UUID.";

std::string createRequest(const std::string& parent, const std::string& workspace = id) {
  return requestText("create", parent, R"(,"workspaceId":)" + workspace);
}

std::string createAnswer(const std::string& parent, const std::string& manifest = manifestText()) {
  return successLine(R"({"folder":)" + jsonString(parent + "/" + folderName) +
                     R"(,"isUbiquitous":false,"manifest":)" + manifest +
                     R"(,"pendingUploads":false})");
}

// The parent holds the sync folder and nothing else: mode 0700, holding only
// the 98-byte canonical manifest with mode 0600.
void expectCompleteFolder(const std::string& parent) {
  const std::string folder = parent + "/" + folderName;
  EXPECT_EQ(entryNames(parent), std::vector<std::string>{folderName});
  EXPECT_EQ(permissions(folder), 0700u);
  EXPECT_EQ(entryNames(folder), std::vector<std::string>{"manifest.json"});
  EXPECT_EQ(permissions(folder + "/manifest.json"), 0600u);
  EXPECT_EQ(readFile(folder + "/manifest.json"), manifestText());
}

TEST(Create, MakesTheFolderOnceAndThenConfirmsItUntouched) {
  TemporaryDirectory parent;
  const HelperRun first = runHelper(createRequest(parent.path()));
  EXPECT_EQ(first.output, createAnswer(parent.path()));
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
  build(parent.path(),
        with(directory(folderName),
             file(folderName + "/manifest.json",
                  "{\n  \"workspaceId\": \"" + std::string(workspaceA) +
                      "\",\n  \"version\": 1.0, \"format\": \"brindell-folder-sync\"\n}\n")));
  const std::string before = treeSnapshot(parent.path());
  EXPECT_EQ(
      runHelper(createRequest(parent.path())).output,
      createAnswer(parent.path(), R"({"format":"brindell-folder-sync","version":1.0,)"
                                  R"("workspaceId":"0f8fad5b-d9cb-469f-a165-70867728950e"})"));
  EXPECT_EQ(treeSnapshot(parent.path()), before);
}

TEST(Create, ConcurrentCreatesAllSucceedWithOneFolder) {
  TemporaryDirectory parent;
  for (const HelperRun& run : runTogether(std::vector(8, createRequest(parent.path())))) {
    EXPECT_EQ(run.output, createAnswer(parent.path()));
  }
  expectCompleteFolder(parent.path());
}

struct Refusal {
  const char* label;
  std::string workspace;    // the JSON value of "workspaceId"
  std::vector<Item> items;  // in the parent
  const char* code;
  std::string message;
};

class CreateRefusal : public ::testing::TestWithParam<Refusal> {};

TEST_P(CreateRefusal, LeavesEverythingAsItWas) {
  TemporaryDirectory parent;
  build(parent.path(), GetParam().items);
  const std::string before = treeSnapshot(parent.path());
  const HelperRun run = runHelper(createRequest(parent.path(), GetParam().workspace));
  EXPECT_EQ(run.output, failureLine(GetParam().code, GetParam().message));
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(treeSnapshot(parent.path()), before);
  EXPECT_FALSE(hasStagingLeftovers(parent.path()));
}

const Item folder = directory(folderName);
const Item manifest = file(folderName + "/manifest.json", manifestText());

INSTANTIATE_TEST_SUITE_P(
    Refusals, CreateRefusal,
    ::testing::Values(
        Refusal{"another_workspace", id,
                with(folder, file(manifest.name, manifestText(workspaceB))),
                "SYNC_WORKSPACE_MISMATCH",
                "The existing folder belongs to a different workspace. Its contents were not "
                "replaced."},
        Refusal{"folder_without_manifest", id, with(folder), "SYNC_DOWNLOAD_PENDING",
                "manifest.json is not available yet. Wait for iCloud Drive and retry; the "
                "existing workspace will not be replaced."},
        Refusal{"folder_with_extra_item", id,
                with(folder, manifest, file(folderName + "/notes.txt")), "SYNC_FOLDER_CONTENTS",
                "The sync folder contains an unexpected item: notes.txt. Preserve it and select "
                "the dedicated Brindell folder."},
        Refusal{"link_at_folder_name", id,
                with(directory("real"), file("real/manifest.json", manifestText()),
                     linkTo(folderName, "real")),
                "SYNC_UNSAFE_PATH",
                "Sync paths cannot contain symbolic links. Select the actual folder."},
        Refusal{"file_at_folder_name", id, with(file(folderName)), "SYNC_UNSAFE_PATH",
                "The sync path contains an unexpected filesystem item."},
        Refusal{"id_uppercase", jsonString("0F8FAD5B-D9CB-469F-A165-70867728950E"), with(),
                "SYNC_INVALID_REQUEST", invalidId},
        Refusal{"id_missing_group", jsonString("0f8fad5b-d9cb-469f-70867728950e"), with(),
                "SYNC_INVALID_REQUEST", invalidId},
        Refusal{"id_number", "5", with(), "SYNC_INVALID_REQUEST",
                "Missing or invalid workspaceId."}),
    [](const auto& info) { return std::string(info.param.label); });

// One failing system call at each step of create.
struct Fault {
  const char* label;
  const char* syscall;
  const char* needle;
  int nth;
  const char* error;
  std::string prefix;  // of the message ("$" stands for the parent's name)
  bool folderInPlace;  // afterwards; otherwise the parent is empty
};

class CreateFault : public ::testing::TestWithParam<Fault> {};

TEST_P(CreateFault, AnswersExactlyAndARepeatSucceeds) {
  if (!faultInjectionAvailable()) GTEST_SKIP() << "strace cannot trace here";
  TemporaryDirectory parent;
  const auto scenario = [](const std::string& root) { return createRequest(root); };
  const Fault& fault = GetParam();
  const HelperRun run = runWithFailingCall(scenario, parent.path(),
                                           {fault.syscall, fault.needle, fault.nth, fault.error});
  std::string prefix = GetParam().prefix;
  if (const auto at = prefix.find('$'); at != std::string::npos) {
    prefix.replace(at, 1, parent.path().substr(parent.path().rfind('/') + 1));
  }
  EXPECT_EQ(run.output, failedCallLine(prefix, fault.error));
  EXPECT_EQ(run.status, 1);
  EXPECT_FALSE(hasStagingLeftovers(parent.path()));
  if (GetParam().folderInPlace) {
    expectCompleteFolder(parent.path());
  } else {
    EXPECT_EQ(entryNames(parent.path()), std::vector<std::string>{});
  }
  EXPECT_EQ(runHelper(createRequest(parent.path())).output, createAnswer(parent.path()));
  expectCompleteFolder(parent.path());
}

const std::string platform = "Sync folder access failed: ";
const char* flushFailed = "Cannot synchronize the sync directory";

INSTANTIATE_TEST_SUITE_P(
    Faults, CreateFault,
    ::testing::Values(Fault{"staging_directory", "mkdirat", ".brindell-staging-", 1, "ENOSPC",
                            platform + "Cannot create a staging directory in \u201C$\u201D", false},
                      Fault{"staged_folder", "mkdirat", "brindell-sync\"", 1, "ENOSPC",
                            platform + "Cannot create directory \u201C" + folderName + "\u201D",
                            false},
                      Fault{"staged_manifest_open", "openat2", "manifest.json\", {flags=O_WRONLY",
                            1, "EIO", "Cannot prepare the sync file", false},
                      Fault{"staged_manifest_write", "write", "{\\\"format\\\"", 1, "ENOSPC",
                            "Cannot write the sync file", false},
                      Fault{"staged_manifest_fsync", "fsync", "", 1, "EIO",
                            "Cannot synchronize the sync file", false},
                      Fault{"staged_folder_flush", "fsync", "", 2, "EIO", flushFailed, false},
                      Fault{"rename", "renameat2", "RENAME_NOREPLACE", 1, "EIO",
                            "Cannot publish the sync file", false},
                      Fault{"parent_flush", "fsync", "", 3, "EIO", flushFailed, true},
                      Fault{"read_back", "openat2",
                            "manifest.json\", {flags=O_RDONLY|O_NONBLOCK|O_NOFOLLOW|O_CLOEXEC, ", 1,
                            "EIO", "Cannot read manifest.json", true},
                      Fault{"listing", "getdents64", "", -1, "EIO",
                            platform + "Cannot list \u201C" + folderName + "\u201D", true}),
    [](const auto& info) { return std::string(info.param.label); });

}  // namespace
}  // namespace brindell::testing
