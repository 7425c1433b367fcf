// The publish operation: immutable, idempotent files within the folder's
// limits, through the real executable (also many at once, and with failing
// system calls), and the coordinated manifest check on the fake platform.

#include <functional>

#include <gtest/gtest.h>

#include "cloud/manifest_write.h"
#include "fileio/json.h"
#include "operations/operations.h"
#include "request/limits.h"
#include "request/sync_failure.h"
#include "support/fake_platform.h"
#include "support/fault_injection.h"
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
const char* fullFolder =
    "Publishing would exceed the sync folder's 512-file or 64-MiB limit. Local edits remain saved "
    "on this Mac.";
const char* conflict =
    "An existing immutable history file has different content. It was preserved; inspect the "
    "folder before retrying.";

std::string publishRequest(const std::string& folder, const std::string& content,
                           const std::string& file = name) {
  return requestText("publish", folder,
                     R"(,"name":)" + jsonString(file) + R"(,"content":)" + content);
}

std::string published(bool created, const std::string& file = name) {
  return successLine(std::string(R"({"created":)") + (created ? "true" : "false") +
                     R"(,"isUbiquitous":false,"isUploaded":true,"name":)" + jsonString(file) +
                     R"(,"pendingUploads":false})");
}

// Sparse history files: `count` of `size` bytes.
std::vector<Item> files(std::size_t count, std::int64_t size, std::size_t first = 100) {
  std::vector<Item> items;
  for (std::size_t i = first; i < first + count; ++i) {
    items.push_back(sparse(historyName(i), size));
  }
  return items;
}

// History files that leave `room` bytes of the folder's 64 MiB.
std::vector<Item> filesLeaving(std::int64_t room) {
  std::vector<Item> items = files(9, maximumBundleBytes);
  items.push_back(sparse(historyName(99), maximumFolderBytes - 9 * maximumBundleBytes - room));
  return items;
}

TEST(Publish, WritesCanonicalBytesOnceAndThenFindsThemEqual) {
  TemporaryDirectory root;
  const std::string folder = makeSyncFolder(root.path());
  const HelperRun first = runHelper(publishRequest(folder, respelled));
  EXPECT_EQ(first.output, published(true));
  EXPECT_EQ(first.errors, "");
  EXPECT_EQ(readFile(folder + "/" + name), canonical);
  EXPECT_EQ(permissions(folder + "/" + name), 0600u);

  const std::string before = treeSnapshot(root.path());
  for (const std::string& content : {respelled, canonical}) {
    EXPECT_EQ(runHelper(publishRequest(folder, content)).output, published(false)) << content;
  }
  EXPECT_EQ(treeSnapshot(root.path()), before);
  EXPECT_FALSE(hasStagingLeftovers(root.path()));
}

struct Accepted {
  const char* label;
  std::vector<Item> items;
  std::string content;
  bool created;
};

class PublishAccepted : public ::testing::TestWithParam<Accepted> {};

TEST_P(PublishAccepted, LeavesTheFileWithItsCanonicalBytes) {
  TemporaryDirectory root;
  const std::string folder = makeSyncFolder(root.path());
  build(folder, GetParam().items);
  const std::string existing = readFile(folder + "/" + name);
  EXPECT_EQ(runHelper(publishRequest(folder, GetParam().content)).output,
            published(GetParam().created));
  EXPECT_TRUE(
      readFile(folder + "/" + name) ==
      (GetParam().created ? canonicalJson(parseObject(GetParam().content).view()) : existing));
  EXPECT_FALSE(hasStagingLeftovers(root.path()));
}

std::vector<Item> plus(std::vector<Item> items, const Item& item) {
  items.push_back(item);
  return items;
}

INSTANTIATE_TEST_SUITE_P(
    Limits, PublishAccepted,
    ::testing::Values(
        // Equal content written by another tool, in its own spelling.
        Accepted{"existing_respelled", with(file(name, respelled)), canonical, false},
        Accepted{"bundle_of_7_mib", with(), objectOfSize(maximumBundleBytes), true},
        Accepted{"file_512", files(511, 2), canonical, true},
        Accepted{"existing_name_in_full_folder", plus(files(511, 2), file(name, canonical)),
                 canonical, false},
        Accepted{"total_of_64_mib", filesLeaving(1000), objectOfSize(1000), true}),
    [](const auto& info) { return std::string(info.param.label); });

struct Refusal {
  const char* label;
  std::vector<Item> items;
  std::string members;  // after "name"
  const char* code;
  std::string message;
};

class PublishRefusal : public ::testing::TestWithParam<Refusal> {};

TEST_P(PublishRefusal, LeavesTheFolderAsItWas) {
  TemporaryDirectory root;
  const std::string folder = makeSyncFolder(root.path());
  build(folder, GetParam().items);
  const std::string before = treeSnapshot(root.path());
  const HelperRun run = runHelper(
      requestText("publish", folder, R"(,"name":)" + jsonString(name) + GetParam().members));
  EXPECT_EQ(run.output, failureLine(GetParam().code, GetParam().message));
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(treeSnapshot(root.path()), before);
  EXPECT_FALSE(hasStagingLeftovers(root.path()));
}

std::string content(const std::string& value) {
  return R"(,"content":)" + value;
}
const char* noContent = "publish requires a JSON content object.";
const char* noWorkspace = "Published history must identify its workspace with a lowercase UUID.";
const Item noManifest = gone("manifest.json");

INSTANTIATE_TEST_SUITE_P(
    Refusals, PublishRefusal,
    ::testing::Values(
        Refusal{"content_missing", with(), "", "SYNC_INVALID_REQUEST", noContent},
        Refusal{"content_array", with(), content("[]"), "SYNC_INVALID_REQUEST", noContent},
        Refusal{"content_string", with(), content(R"("{}")"), "SYNC_INVALID_REQUEST", noContent},
        Refusal{"workspace_missing", with(), content(R"({"a":1})"), "SYNC_INVALID_REQUEST",
                noWorkspace},
        Refusal{"workspace_number", with(), content(R"({"workspaceId":5})"), "SYNC_INVALID_REQUEST",
                noWorkspace},
        Refusal{"workspace_uppercase", with(),
                content(R"({"workspaceId":"0F8FAD5B-D9CB-469F-A165-70867728950E"})"),
                "SYNC_INVALID_REQUEST", noWorkspace},
        // Refused on its size before the manifest is looked at.
        Refusal{"bundle_over_7_mib", with(noManifest),
                content(objectOfSize(maximumBundleBytes + 1)), "SYNC_CAPACITY",
                "This history bundle exceeds the 7-MiB sync limit. Local workspace data is "
                "unchanged."},
        Refusal{"missing_manifest", with(noManifest), content(canonical), "SYNC_DOWNLOAD_PENDING",
                "manifest.json is not available yet. Wait for iCloud Drive and retry; the "
                "existing workspace will not be replaced."},
        Refusal{"manifest_of_another_workspace",
                with(file("manifest.json", manifestText(workspaceB))), content(canonical),
                "SYNC_WORKSPACE_MISMATCH",
                "The sync folder now belongs to a different workspace. No history was published "
                "there."},
        Refusal{"different_content", with(file(name, R"({"workspaceId":")" + id + R"("})")),
                content(canonical), "SYNC_IMMUTABLE_CONFLICT", conflict},
        // Numbers are compared by their text, as they were written.
        Refusal{"number_spelled_otherwise",
                with(file(name, R"({"v":2.0,"workspaceId":")" + id + R"("})")),
                content(R"({"v":2,"workspaceId":")" + id + R"("})"), "SYNC_IMMUTABLE_CONFLICT",
                conflict},
        Refusal{"folder_holds_512", files(512, 2), content(canonical), "SYNC_CAPACITY", fullFolder},
        Refusal{"total_over_64_mib", filesLeaving(999), content(objectOfSize(1000)),
                "SYNC_CAPACITY", fullFolder},
        Refusal{"stray_item", with(file("notes.txt")), content(canonical), "SYNC_FOLDER_CONTENTS",
                "The sync folder contains an unexpected item: notes.txt. Preserve it and select "
                "the dedicated Brindell folder."}),
    [](const auto& info) { return std::string(info.param.label); });

// Many helpers at once, each a real process.
TEST(PublishConcurrently, DistinctFilesStopExactlyAt512) {
  TemporaryDirectory root;
  const std::string folder = makeSyncFolder(root.path());
  build(folder, files(500, 2, 1000));
  std::vector<std::string> requests;
  for (std::size_t i = 0; i < 16; ++i)
    requests.push_back(publishRequest(folder, canonical, historyName(i)));
  const std::vector<HelperRun> runs = runTogether(requests);
  int created = 0, refused = 0;
  for (std::size_t i = 0; i < runs.size(); ++i) {
    created += runs[i].output == published(true, historyName(i));
    refused += runs[i].output == failureLine("SYNC_CAPACITY", fullFolder);
  }
  EXPECT_EQ(created, 12);
  EXPECT_EQ(refused, 4);
  EXPECT_EQ(entryNames(folder).size(), 512u + 1);
  EXPECT_FALSE(hasStagingLeftovers(root.path()));
}

TEST(PublishConcurrently, SameContentIsCreatedOnce) {
  TemporaryDirectory root;
  const std::string folder = makeSyncFolder(root.path());
  int created = 0, found = 0;
  for (const HelperRun& run : runTogether(std::vector(16, publishRequest(folder, canonical)))) {
    created += run.output == published(true);
    found += run.output == published(false);
  }
  EXPECT_EQ(created, 1);
  EXPECT_EQ(found, 15);
  EXPECT_EQ(readFile(folder + "/" + name), canonical);
}

TEST(PublishConcurrently, DifferentContentHasOneCompleteWinner) {
  TemporaryDirectory root;
  const std::string folder = makeSyncFolder(root.path());
  std::vector<std::string> requests;
  for (int i = 0; i < 16; ++i)
    requests.push_back(publishRequest(folder, objectOfSize(100'000 + i)));
  const std::vector<HelperRun> runs = runTogether(requests);
  int winners = 0, conflicts = 0;
  std::size_t winner = 0;
  for (std::size_t i = 0; i < runs.size(); ++i) {
    if (runs[i].output == published(true)) {
      ++winners;
      winner = i;
    }
    conflicts += runs[i].output == failureLine("SYNC_IMMUTABLE_CONFLICT", conflict);
  }
  EXPECT_EQ(winners, 1);
  EXPECT_EQ(conflicts, 15);
  EXPECT_TRUE(readFile(folder + "/" + name) == objectOfSize(100'000 + winner));
  EXPECT_FALSE(hasStagingLeftovers(root.path()));
}

// One failing system call at each step of the durable write.
struct Fault {
  const char* label;
  const char* syscall;
  const char* needle;
  int nth;
  const char* error;
  std::string prefix;  // of the message ("$" stands for the folder's parent)
  bool fileInPlace;
};

class PublishFault : public ::testing::TestWithParam<Fault> {};

TEST_P(PublishFault, AnswersExactlyAndARepeatSucceeds) {
  if (!faultInjectionAvailable()) GTEST_SKIP() << "strace cannot trace here";
  TemporaryDirectory root;
  const auto scenario = [](const std::string& at) {
    return publishRequest(makeSyncFolder(at), canonical);
  };
  const Fault& fault = GetParam();
  const HelperRun run = runWithFailingCall(scenario, root.path(),
                                           {fault.syscall, fault.needle, fault.nth, fault.error});
  std::string prefix = fault.prefix;
  if (const auto at = prefix.find('$'); at != std::string::npos) {
    prefix.replace(at, 1, root.path().substr(root.path().rfind('/') + 1));
  }
  EXPECT_EQ(run.output, failedCallLine(prefix, fault.error));
  EXPECT_EQ(run.status, 1);
  EXPECT_FALSE(hasStagingLeftovers(root.path()));
  const std::string folder = root.path() + "/sync";
  EXPECT_EQ(entryNames(folder).size(), fault.fileInPlace ? 2u : 1u);
  EXPECT_EQ(runHelper(publishRequest(folder, canonical)).output, published(!fault.fileInPlace));
  EXPECT_EQ(readFile(folder + "/" + name), canonical);
}

INSTANTIATE_TEST_SUITE_P(
    Faults, PublishFault,
    ::testing::Values(
        Fault{"staging_directory", "mkdirat", ".brindell-staging-", 1, "ENOSPC",
              "Sync folder access failed: Cannot create a staging directory in \u201C$\u201D",
              false},
        Fault{"staged_file_open", "openat2", "history.json\", {flags=O_WRONLY", 1, "EIO",
              "Cannot prepare the sync file", false},
        Fault{"staged_file_write", "write", "{\\\"entries\\\"", 1, "ENOSPC",
              "Cannot write the sync file", false},
        Fault{"staged_file_fsync", "fsync", "", 1, "EIO", "Cannot synchronize the sync file",
              false},
        Fault{"rename", "renameat2", "RENAME_NOREPLACE", 1, "EIO", "Cannot publish the sync file",
              false},
        Fault{"folder_flush", "fsync", "", 2, "EIO", "Cannot synchronize the sync directory",
              true}),
    [](const auto& info) { return std::string(info.param.label); });

// The coordinated manifest check, on the fake platform.
struct ManifestCase {
  const char* label;
  std::function<void(FakePlatform& fake, const std::string& folder)> script;
  std::string expected;  // "ran: true/false" when the body ran, or the failure
  bool bodyValue = true;
};

class ManifestWrite : public ::testing::TestWithParam<ManifestCase> {};

TEST_P(ManifestWrite, RunsTheBodyOnlyForTheExpectedWorkspace) {
  TemporaryDirectory root;
  const std::string folder = makeSyncFolder(root.path());
  FakePlatform fake;
  GetParam().script(fake, folder);
  bool result = false;
  const std::string failure = outcomeOf([&] {
    result = coordinatedManifestWrite(fake, folder, id, [&](const std::string& handed) {
      EXPECT_EQ(handed, folder);
      return GetParam().bodyValue;
    });
  });
  EXPECT_EQ(failure == "ok" ? std::string("ran: ") + (result ? "true" : "false") : failure,
            GetParam().expected);
  ASSERT_EQ(fake.coordinateCalls.size(), 1u);
  EXPECT_EQ(fake.coordinateCalls[0].kind, FakePlatform::Kind::readingAndWriting);
  EXPECT_EQ(fake.coordinateCalls[0].readingPath, folder + "/manifest.json");
}

void valid(FakePlatform&, const std::string&) {}
const std::string moved =
    "SYNC_FOLDER_MOVED: The sync folder moved during access. Reconnect its new location before "
    "retrying.";
ResourceValues notDownloaded() {
  ResourceValues values = cloudFile(98);
  values.ubiquitousItemDownloadingStatus = "NSURLUbiquitousItemDownloadingStatusNotDownloaded";
  return values;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ManifestWrite,
    ::testing::Values(
        ManifestCase{"body_true", valid, "ran: true"},
        ManifestCase{"body_false", valid, "ran: false", false},
        ManifestCase{"folder_moved",
                     [](FakePlatform& fake, const std::string& folder) {
                       fake.coordinations[folder].handedPath = folder + "-moved";
                     },
                     moved},
        ManifestCase{"manifest_moved",
                     [](FakePlatform& fake, const std::string& folder) {
                       fake.coordinations[folder].handedReadingPath = folder + "/other.json";
                     },
                     moved},
        ManifestCase{"manifest_downloading",
                     [](FakePlatform& fake, const std::string& folder) {
                       fake.setValues(folder + "/manifest.json", notDownloaded());
                     },
                     "SYNC_DOWNLOAD_PENDING: The current workspace manifest is still downloading. "
                     "Retry when iCloud Drive makes it available."},
        ManifestCase{"manifest_conflict_versions",
                     [](FakePlatform& fake, const std::string& folder) {
                       fake.conflictVersions[folder + "/manifest.json"] = 1;
                     },
                     "SYNC_FILE_CONFLICT: iCloud Drive reports conflicting versions of "
                     "manifest.json. Preserve the files and resolve the folder conflict before "
                     "retrying."},
        ManifestCase{"manifest_of_another_workspace",
                     [](FakePlatform&, const std::string& folder) {
                       writeFile(folder + "/manifest.json", manifestText(workspaceB));
                     },
                     "SYNC_WORKSPACE_MISMATCH: The sync folder now belongs to a different "
                     "workspace. No history was published there."},
        ManifestCase{"coordinator_fails",
                     [](FakePlatform& fake, const std::string& folder) {
                       fake.coordinations[folder].outcome =
                           FakePlatform::Outcome::failWithoutRunning;
                     },
                     "platform: The file coordinator failed."},
        ManifestCase{"coordinator_runs_nothing",
                     [](FakePlatform& fake, const std::string& folder) {
                       fake.coordinations[folder].outcome =
                           FakePlatform::Outcome::returnWithoutRunning;
                     },
                     "SYNC_IO: Coordinated manifest validation did not complete. Retry sync."},
        // Once the body has given its value, that is the answer.
        ManifestCase{"coordinator_fails_after_running",
                     [](FakePlatform& fake, const std::string& folder) {
                       fake.coordinations[folder].outcome = FakePlatform::Outcome::runAndFail;
                     },
                     "ran: true"}),
    [](const auto& info) { return std::string(info.param.label); });

TEST(PublishInCloud, RefusesWhileACloudCopyOfTheNameIsDownloading) {
  TemporaryDirectory root;
  const std::string folder = makeSyncFolder(root.path());
  build(folder, with(file("." + name + ".icloud")));
  FakePlatform fake;
  fake.setValues(folder + "/" + name, notDownloaded());
  const std::string before = treeSnapshot(root.path());
  EXPECT_EQ(outcomeOf([&] {
              publish(fake, parseObject(publishRequest(folder, canonical)), folder, name);
            }),
            "SYNC_DOWNLOAD_PENDING: An existing cloud copy of this immutable file is still "
            "downloading. Retry after iCloud Drive makes it available.");
  EXPECT_EQ(treeSnapshot(root.path()), before);
  EXPECT_FALSE(hasStagingLeftovers(root.path()));
}

}  // namespace
}  // namespace brindell::testing
