// What only a cloud drive can report, on the fake platform over a real sync
// folder: what the drive says of each item, how a coordination ends, and the
// operations' answers then; and what the operations ask of the coordinator.

#include <fcntl.h>
#include <gtest/gtest.h>

#include <algorithm>

#include "base/wording.h"
#include "cloud/posix_platform.h"
#include "fileio/staging.h"
#include "folder/coordinated_access.h"
#include "folder/listing.h"
#include "folder/manifest_write.h"
#include "folder/object_file.h"
#include "json/json.h"
#include "operations/operations.h"
#include "support/fake_platform.h"
#include "support/faulty_file_system.h"
#include "support/sync_folder.h"

namespace brindell::testing {
namespace {

const std::string name = historyName(1), name2 = historyName(2), m = "manifest.json";
const std::string placeholder2 = "." + name2 + ".icloud", moves = "moved";
const std::string made = "Brindell-" + std::string(workspaceA) + ".brindell-sync";
const std::string stored = R"({"workspaceId":")" + std::string(workspaceA) + "\"}";
const std::string otherManifest = manifestText().replace(manifestText().find(workspaceA), 1, "1");
const std::string conflict =
    "SYNC_FILE_CONFLICT: iCloud Drive reports conflicting versions of manifest.json. Preserve the "
    "files and resolve the folder conflict before retrying.";

ResourceValues inDrive(std::int64_t size, bool uploaded = true, bool uploading = false,
                       const char* status = downloadingStatusCurrent) {
  return {.isRegularFile = true,
          .fileSize = size,
          .isUbiquitousItem = true,
          .ubiquitousItemIsUploaded = uploaded,
          .ubiquitousItemIsUploading = uploading,
          .ubiquitousItemDownloadingStatus = status};
}
const ResourceValues notDownloaded = inDrive(98, true, false, "NotDownloaded");
const ResourceValues folderInDrive{.isDirectory = true, .isUbiquitousItem = true};

// A row's setting of the drive: files in the sync folder, what the drive says
// of an item ("" the folder, "../" + name one beside it), its conflict
// versions, a coordination that fails after running, or the item's new text
// written by another process while a coordination of the folder waits.
struct Script {
  enum Kind { files, promised, plain, versions, coordination, meanwhile } kind;
  std::string item;
  ResourceValues values = {};
  bool fails = false;
  std::string text = "{}";
};

enum class Call { list, read, publish, create, listing, check };

// An operation (read and publish on name2, create beside the folder), the
// listing alone, or the manifest check of publish.
JsonValue called(Call call, FakePlatform& drive, const std::string& folder) {
  const JsonObject content = parseObject(stored);
  const Request request{
      .folder = openDirectory(call == Call::create ? folder.substr(0, folder.rfind('/')) : folder),
      .name = name2,
      .workspaceId = workspaceA,
      .content = content.view()};
  if (call == Call::list) return list(drive, request);
  if (call == Call::read) return read(drive, request);
  if (call == Call::publish) return publish(drive, request);
  if (call == Call::create) return create(drive, request);
  if (call == Call::listing) return filesJson(listing(drive, request.folder, true).files);
  return coordinatedManifestWrite(drive, request.folder, workspaceA, [] { return true; });
}

struct Case {
  const char* label;
  std::vector<Script> scripts;
  Call call;
  std::string expected;        // the result's encoding ("$" the parent), or how the failure starts
  bool downloadAsked = false;  // of name2
};

class CloudDrive : public ::testing::TestWithParam<Case> {};

TEST_P(CloudDrive, AnswersWhatTheDriveReports) {
  TemporaryDirectory root;
  const std::string folder = makeSyncFolder(root.path());
  FakePlatform drive;
  for (const Script& script : GetParam().scripts) {
    const std::string path = script.item.empty()              ? folder
                             : script.item.starts_with("../") ? root.path() + script.item.substr(2)
                                                              : folder + "/" + script.item;
    if (script.kind == Script::files) writeFile(path, script.item == name2 ? stored : script.text);
    if (script.kind == Script::promised) drive.promisedValues[path] = script.values;
    if (script.kind == Script::plain) drive.plainValues[path] = script.values;
    if (script.kind == Script::versions) drive.conflictVersions[path] = 1;
    if (script.kind == Script::coordination) {
      drive.coordinations[script.item == moves ? folder : path] = {
          script.fails, script.item == moves ? std::optional(path) : std::nullopt};
    }
    if (script.kind == Script::meanwhile) {
      drive.coordinations[folder].meanwhile = [=] { writeFile(path, script.text); };
    }
  }
  std::string answer, expected = GetParam().expected;
  const std::string outcome =
      outcomeOf([&] { answer = canonicalJson(called(GetParam().call, drive, folder)); });
  if (const auto parent = expected.find('$'); parent != expected.npos) {
    expected.replace(parent, 1, root.path());
  }
  if (outcome != "ok") answer = outcome;
  EXPECT_TRUE(answer.starts_with(expected)) << answer;
  EXPECT_EQ(drive.downloadRequests, GetParam().downloadAsked ? std::vector{folder + "/" + name2}
                                                             : std::vector<std::string>{});
}

std::string listed(const std::string& files, bool pending) {
  return R"({"files":[)" + files + R"(],"isUbiquitous":true,"manifest":)" + manifestText() +
         R"(,"pendingUploads":)" + (pending ? "true" : "false") + "}";
}
std::string entry(const std::string& file, int size, bool uploaded) {
  return std::string(R"({"isUploaded":)") + (uploaded ? "true" : "false") + R"(,"name":")" + file +
         R"(","size":)" + std::to_string(size) + "}";
}
std::string published(bool created, bool uploaded) {
  return std::string(R"({"created":)") + (created ? "true" : "false") +
         R"(,"isUbiquitous":true,"isUploaded":)" + (uploaded ? "true" : "false") + R"(,"name":")" +
         name2 + R"(","pendingUploads":)" + (uploaded ? "false" : "true") + "}";
}

using S = Script;
using enum Call;
// One row a case, laid out as a table.
// clang-format off
INSTANTIATE_TEST_SUITE_P(Rows, CloudDrive, ::testing::Values(
    // The item's own state, judged in this order.
    Case{"alias", {{S::plain, m, {.isAliasFile = true}}}, read,
        "SYNC_UNSAFE_PATH: Sync items cannot be " + std::string(linkKinds) + "."},
    Case{"conflict_before_errors", {{S::plain, m, {.ubiquitousItemDownloadingError = "x",
        .ubiquitousItemHasUnresolvedConflicts = true}}}, read, conflict},
    // A listing's flags: the items of a folder in the drive are in it; list
    // reads the manifest's full metadata, the listing the promised.
    Case{"placeholder_listed", {{S::files, placeholder2}, {S::files, name},
        {S::promised, "", folderInDrive}, {S::promised, name2, inDrive(1234, false)}}, list,
        listed(entry(name, 2, false) + "," + entry(name2, 1234, false), true)},
    Case{"manifest_uploaded_late", {{S::files, name}, {S::plain, m, inDrive(98, false)},
        {S::promised, m, inDrive(98)}}, list, listed(entry(name, 2, true), true)},
    Case{"all_uploaded", {{S::promised, "", folderInDrive}, {S::promised, m, inDrive(98)}}, list,
        listed("", false)},
    Case{"still_uploading", {{S::promised, "", folderInDrive},
        {S::promised, m, inDrive(98, true, true)}}, list, listed("", true)},
    Case{"size_unknown", {{S::files, name2},
        {S::promised, name2, {.isRegularFile = true, .fileSize = -1}}},
        listing, "SYNC_UNSAFE_PATH: A sync item is not a regular file with a known size."},
    Case{"download_promised", {{S::files, name2}, {S::promised, name2, notDownloaded}}, read,
        stored, true},
    Case{"not_downloaded", {{S::files, name2}, {S::plain, name2, notDownloaded},
        {S::promised, name2, notDownloaded}}, read, "SYNC_DOWNLOAD_PENDING: iCloud Drive has not "
        "made the current file contents available. Retry after the download completes.", true},
    // A coordination's own outcome, and the body's, which wins.
    Case{"body_failed_first", {{S::versions, m}, {S::coordination, m, {}, true}}, read, conflict},
    Case{"check_moved", {{S::coordination, moves}}, check, "SYNC_FOLDER_MOVED: The sync folder "
        "moved during access. Reconnect its new location before retrying."},
    Case{"check_downloading", {{S::plain, m, notDownloaded}}, check, "SYNC_DOWNLOAD_PENDING: The "
        "current workspace manifest is still downloading. Retry when iCloud Drive makes it "
        "available."},
    Case{"check_conflict_versions", {{S::versions, m}}, check, conflict},
    // What another process changes while publish waits for its lock is
    // judged inside the lock: a manifest made unsupported, or another
    // workspace's.
    Case{"manifest_made_unsupported_meanwhile", {{S::meanwhile, m}}, publish,
        "SYNC_UNSUPPORTED_MANIFEST: "},
    Case{"manifest_of_another_workspace_meanwhile",
        {{S::meanwhile, m, {}, false, otherManifest}}, publish, "SYNC_WORKSPACE_MISMATCH: "},
    // Publish judges the folder by its full metadata and the result by the
    // promised; a file the drive has not downloaded is not replaced.
    Case{"publish_over_a_download", {{S::files, placeholder2}, {S::promised, name2, notDownloaded}},
        publish, "SYNC_DOWNLOAD_PENDING: An existing cloud copy of this immutable file is still "
        "downloading. Retry after " + std::string(syncService) + " makes it available."},
    Case{"publish_excluded", {{S::plain, "", {.ubiquitousItemIsExcludedFromSync = true}}}, publish,
        "SYNC_EXCLUDED: iCloud Drive excludes this folder or file from synchronization. Select an "
        "available iCloud Drive folder."},
    Case{"publish_into_a_folder_promised_to_the_drive", {{S::promised, "", folderInDrive}},
        publish, published(true, false)},
    Case{"publish_into_the_drive", {{S::promised, "", folderInDrive},
        {S::promised, name2, inDrive(54, false)}, {S::plain, name2, inDrive(54)}}, publish,
        published(true, false)},
    Case{"publish_again", {{S::promised, "", folderInDrive}, {S::files, name2},
        {S::plain, name2, inDrive(54)}}, publish, published(false, true)},
    Case{"publish_again_file_alone_in_drive", {{S::files, name2}, {S::plain, name2, inDrive(54)}},
        publish, published(false, true)},
    Case{"create_in_the_drive", {{S::promised, "../" + made, folderInDrive}}, create,
        R"({"folder":"$/)" + made + R"(","isUbiquitous":true,"manifest":)" + manifestText() +
        R"(,"pendingUploads":true})"}),
    [](const auto& info) { return std::string(info.param.label); });
// clang-format on

// Which sync item an access names, if any.
bool isSyncItem(const std::string& item) {
  return item == m || item == std::string(stagedHistoryName) ||
         item.ends_with(".brindell-history.json") || item.ends_with(".brindell-sync");
}

// Whether every content read of a sync item happens inside a reading
// coordination of it that asked for more than metadata (option 0), and every
// such coordination reads its item; whether every name is given inside a
// writing coordination.
std::string unguardedAccess(const std::vector<std::string>& events) {
  std::vector<std::pair<std::string, bool>> open;  // coordinations, and whether read in
  for (const std::string& event : events) {
    const std::string item = event.substr(event.find(' ') + 1);
    if (event == "end") {
      if (open.back().first.starts_with("R0 ") && !open.back().second)
        return "unread " + open.back().first;
      open.pop_back();
    } else if (event.starts_with("read ")) {
      const auto reading = std::find_if(open.rbegin(), open.rend(), [&](const auto& c) {
        return (c.first.starts_with("R0 ") || c.first.starts_with("RW00 ")) &&
               c.first.find("/" + item) != std::string::npos;
      });
      if (reading == open.rend()) return event;
      reading->second = true;
    } else if (event.starts_with("name ")) {
      const auto writing = [](const auto& c) { return c.first[0] == 'W' || c.first[1] == 'W'; };
      if (std::none_of(open.begin(), open.end(), writing)) return event;
    } else {
      open.emplace_back(event, false);
    }
  }
  return "";
}

TEST(Coordinator, CoversEveryAccessOfEveryOperation) {
  TemporaryDirectory root;
  const std::string f = makeSyncFolder(root.path());
  writeFile(f + "/" + name2, stored);
  // The last publish finds no file of its name, and makes it.
  const std::vector<Call> calls{list, read, publish, create, publish};
  for (const Call& call : calls) {
    if (&call == &calls.back()) std::filesystem::remove(f + "/" + name2);
    FakePlatform drive;
    FaultyFileSystem observed;
    observed.observe = [&](const std::string& what, const std::string& item, int flags) {
      if (!isSyncItem(item)) return;
      const bool reads = what == "open" && (flags & (O_PATH | O_DIRECTORY | O_ACCMODE)) == 0;
      // What is made in a staging directory or as an unnamed file is seen by
      // nobody until it is given its name.
      const bool names = what.starts_with("rename") || what == "linkDescriptor";
      if (reads || names) drive.events.push_back((reads ? "read " : "name ") + item);
    };
    EXPECT_EQ(outcomeOf([&] { called(call, drive, f); }), "ok");
    EXPECT_EQ(unguardedAccess(drive.events), "") << ::testing::PrintToString(drive.events);
  }
}

// A coordinator that runs its accessor a second time gets no second run of
// the body, whether the body returned or threw.
TEST(Coordinator, RunsTheBodyOnceAtMost) {
  TemporaryDirectory root;
  const Directory folder = openDirectory(root.path());
  FakePlatform drive;
  drive.coordinations[folder.path].runsTwice = true;
  int runs = 0;
  coordinatedRead(drive, folder, "", false, [&] { ++runs; });
  const auto failing = [&] {
    ++runs;
    throw SyncFailure{Code::io, "body"};
  };
  EXPECT_EQ(outcomeOf([&] { coordinatedWrite(drive, folder, "", failing); }),
            std::string(codeText(Code::io)) + ": body");
  EXPECT_EQ(runs, 2);
}

// A download in progress is looked for among as many entries as a listing
// admits, no further: here the entries are searched in name order.
TEST(ClientDownload, IsLookedForUpToTheListingsBound) {
  for (const int others : {544, 545}) {
    TemporaryDirectory root;
    const std::string folder = makeSyncFolder(root.path());
    for (int i = 0; i < others; ++i) writeFile(folder + "/a" + std::to_string(i), "");
    writeFile(folder + "/~syncthing~" + name2 + ".tmp", "");
    FakePlatform drive;
    const std::string outcome = outcomeOf([&] { called(read, drive, folder); });
    EXPECT_EQ(outcome.find("has not finished downloading") != outcome.npos, others == 544)
        << outcome;
  }
}

}  // namespace
}  // namespace brindell::testing
