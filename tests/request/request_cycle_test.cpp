// Every refusal a request can meet, through the real executable: the exact
// answer bytes, the exit status, and a folder left exactly as it was.

#include <gtest/gtest.h>

#include "base/limits.h"
#include "support/helper_process.h"
#include "support/sync_folder.h"

namespace brindell::testing {

namespace {

// The answers, each a failure line: its code and message.
std::string refused(std::string_view code, std::string_view message) {
  return failureLine(code, message);
}
const std::string invalidJson = refused(
    "SYNC_INVALID_FILE",
    "A sync file contains invalid JSON. Preserve it for inspection; local workspace data is "
    "unchanged.");
const std::string notOneObject =
    refused("SYNC_INVALID_FILE", "A sync file must contain one JSON object.");
const std::string traversal =
    refused("SYNC_UNSAFE_PATH", "Select an absolute folder path without traversal components.");
const std::string fileSystemRoot =
    refused("SYNC_UNSAFE_PATH", "Select a dedicated folder rather than the filesystem root.");
const std::string missing =
    refused("SYNC_MISSING",
            "The selected sync folder or file is unavailable. Restore access or wait for iCloud "
            "Drive, then retry.");
const std::string unsupported =
    refused("SYNC_INVALID_REQUEST", "Supported operations are create, list, read, and publish.");
const std::string linkOnPath = refused(
    "SYNC_UNSAFE_PATH", "Sync paths cannot contain symbolic links. Select the actual folder.");
const std::string wrongKind =
    refused("SYNC_UNSAFE_PATH", "The sync path contains an unexpected filesystem item.");
const std::string badName = refused("SYNC_UNSAFE_PATH", "Invalid immutable history filename.");
const std::string badManifest =
    refused("SYNC_UNSUPPORTED_MANIFEST",
            "This folder does not contain a supported Brindell sync manifest. Update Brindell or "
            "select the correct folder.");
const std::string tooLarge =
    refused("SYNC_CAPACITY",
            "A sync file exceeds the supported size limit. Local workspace data is unchanged.");
const std::string folderFull =
    refused("SYNC_CAPACITY",
            "The sync folder exceeds its 512-file or 64-MiB limit. Local edits are safe; use a new "
            "sync folder or a supported retention workflow.");
const std::string wouldOverfill =
    refused("SYNC_CAPACITY",
            "Publishing would exceed the sync folder's 512-file or 64-MiB limit. Local edits "
            "remain saved on this Mac.");
const std::string noContent =
    refused("SYNC_INVALID_REQUEST", "publish requires a JSON content object.");
const std::string noWorkspace = refused(
    "SYNC_INVALID_REQUEST", "Published history must identify its workspace with a lowercase UUID.");
const std::string differentContent =
    refused("SYNC_IMMUTABLE_CONFLICT",
            "An existing immutable history file has different content. It was preserved; inspect "
            "the folder before retrying.");
std::string invalid(std::string_view member) {
  return refused("SYNC_INVALID_REQUEST", "Missing or invalid " + std::string(member) + ".");
}
std::string notAvailable(const std::string& item) {
  return refused("SYNC_DOWNLOAD_PENDING",
                 item +
                     " is not available yet. Wait for iCloud Drive and retry; the existing "
                     "workspace will not be replaced.");
}
std::string unexpectedItem(const std::string& name) {
  return refused("SYNC_FOLDER_CONTENTS", "The sync folder contains an unexpected item: " + name +
                                             ". Preserve it and select the dedicated Brindell "
                                             "folder.");
}

const std::string manifest = "manifest.json";
// Journals of as many sync client accounts.
std::vector<Item> clientJournals(int count) {
  std::vector<Item> journals;
  for (int i = 0; i < count; ++i) journals.push_back(file(".sync_" + std::to_string(i) + ".db"));
  return journals;
}
const std::string name = historyName(1), name2 = historyName(2);
const std::string bundle = objectOfSize(100);
const std::string workspaceMember = R"("workspaceId":")" + std::string(workspaceA) + "\"";
const std::string upperId = "0F8FAD5B-D9CB-469F-A165-70867728950E";

// "$" stands for the sync folder, which holds the manifest of workspace A
// and whatever the row adds; for create it is the parent.
std::string request(std::string_view operation, std::string_view members = "",
                    const std::string& folder = "$") {
  return requestText(operation, folder, members);
}
std::string named(const std::string& file) {
  return R"(,"name":)" + jsonString(file);
}
std::string content(const std::string& object) {
  return named(name) + R"(,"content":)" + object;
}
std::string publishing(const std::string& object) {
  return request("publish", content(object));
}
std::string listOf(const std::string& folder = "$") {
  return request("list", "", folder);
}
const std::string reading = request("read", named(name));

struct Case {
  const char* label;
  std::vector<Item> items;  // added to the sync folder
  std::string request;
  std::string answer;
};

class Refusal : public ::testing::TestWithParam<Case> {};

TEST_P(Refusal, AnswersExactlyAndChangesNothing) {
  TemporaryDirectory root;
  const std::string folder = makeSyncFolder(root.path());
  build(folder, GetParam().items);
  std::string text = GetParam().request;
  for (std::size_t at; (at = text.find('$')) != std::string::npos;) text.replace(at, 1, folder);
  const std::string before = treeSnapshot(folder);
  const HelperRun run = runHelper(text);
  EXPECT_EQ(run.output, GetParam().answer);
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.errors, "");
  EXPECT_EQ(treeSnapshot(folder), before);
  EXPECT_FALSE(hasStagingLeftovers(root.path()));
}

INSTANTIATE_TEST_SUITE_P(
    Dispatch, Refusal,
    ::testing::Values(
        Case{"empty", with(), "", invalidJson},
        Case{"array_of_object", with(), "[{}]", notOneObject},
        Case{"no_operation", with(), R"({"folder":"$"})", invalid("op")},
        // "op" is consulted only when "operation" is absent.
        Case{"operation_not_text", with(), R"({"operation":5,"op":"list","folder":"$"})",
             invalid("operation")},
        Case{"operation_empty", with(), request(""), invalid("operation")},
        Case{"no_folder", with(), R"({"operation":"list"})", invalid("folder")},
        Case{"relative", with(), listOf("tmp/x"), traversal},
        Case{"dot", with(), listOf("$/./x"), traversal},
        Case{"dotdot", with(), listOf("$/.."), traversal},
        Case{"nul", with(), R"({"operation":"list","folder":"$\u0000x"})", traversal},
        Case{"root", with(), listOf("/"), fileSystemRoot},
        Case{"root_slashes", with(), listOf("///"), fileSystemRoot},
        // The path is walked before the operation is looked at.
        Case{"missing_folder_unknown_op", with(), request("bogus", "", "$/absent"), missing},
        Case{"missing_above", with(), listOf("$/absent/x"), missing},
        Case{"component_too_long", with(), listOf("$/" + std::string(256, 'a')),
             refused("SYNC_IO",
                     "Cannot inspect the sync path: File name too long. Local workspace data is "
                     "unchanged.")},
        Case{"link_leaf", with(linkTo("link", ".")), listOf("$/link"), linkOnPath},
        Case{"link_middle", with(linkTo("link", ".")), listOf("$/link/x"), linkOnPath},
        Case{"file_leaf", with(), listOf("$/manifest.json"), wrongKind},
        Case{"file_middle", with(), listOf("$/manifest.json/x"), wrongKind},
        Case{"fifo", with(fifo("fifo")), listOf("$/fifo"), wrongKind},
        Case{"unsupported", with(), request("Read"), unsupported},
        Case{"doubled_and_trailing_slash_pass", with(directory("d")), request("x", "", "$//d/"),
             unsupported},
        Case{"dot_runs_pass", with(directory("..."), directory(".../..a")),
             request("x", "", "$/.../..a"), unsupported},
        Case{"no_name", with(), request("read"), invalid("name")},
        Case{
            "upper_hex_name", with(),
            request("read", named(upperId + "-" + std::string(64, 'A') + ".brindell-history.json")),
            badName},
        Case{"name_with_separator", with(), request("publish", named("x/" + name)), badName}),
    [](const auto& info) { return std::string(info.param.label); });

INSTANTIATE_TEST_SUITE_P(
    Read, Refusal,
    ::testing::Values(
        Case{"missing_manifest", with(gone(manifest)), reading, notAvailable(manifest)},
        Case{"manifest_extra_key",
             with(file(manifest, manifestText().substr(0, 97) + R"(,"x":0})")), reading,
             badManifest},
        Case{"manifest_4097_bytes", with(file(manifest, manifestText() + std::string(3999, ' '))),
             reading, tooLarge},
        Case{"manifest_array", with(file(manifest, "[" + manifestText() + "]")), reading,
             notOneObject},
        Case{"history_missing", with(), reading, notAvailable(name)},
        Case{
            "history_hard_link", with(file(name, "{}"), hardLinkTo("../second", name)), reading,
            refused("SYNC_UNSAFE_PATH", "Sync content must be a regular file without hard links.")},
        Case{"history_symlink", with(linkTo(name, manifest)), reading, linkOnPath},
        Case{"history_fifo", with(fifo(name)), reading, wrongKind},
        Case{"history_over_7_mib", with(sparse(name, maximumBundleBytes + 1)), reading, tooLarge},
        Case{"history_invalid_json", with(file(name, R"({"a":)")), reading, invalidJson}),
    [](const auto& info) { return std::string(info.param.label); });

INSTANTIATE_TEST_SUITE_P(
    List, Refusal,
    ::testing::Values(
        Case{"stray_file", with(file("notes.txt")), listOf(), unexpectedItem("notes.txt")},
        Case{"unexpected_placeholder", with(file(".notes.txt.icloud")), listOf(),
             unexpectedItem(".notes.txt.icloud")},
        Case{"bare_icloud", with(file(".icloud")), listOf(), unexpectedItem(".icloud")},
        Case{"name_not_utf8", with(file("bad\xff\xfe.txt")), listOf(),
             unexpectedItem("bad\uFFFD\uFFFD.txt")},
        Case{"directory_with_history_name", with(directory(name)), listOf(), wrongKind},
        Case{"link_with_history_name", with(linkTo(name, manifest)), listOf(), linkOnPath},
        // Outside a cloud drive nobody can download what a placeholder announces.
        Case{
            "placeholder_outside_cloud_drive", with(file("." + name + ".icloud")), listOf(),
            refused(
                "SYNC_IO",
                "Sync folder access failed: " + name +
                    " is not in a cloud drive, so it cannot be downloaded. Local workspace data is "
                    "unchanged.")},
        // The manifest is judged on its own first.
        Case{"invalid_manifest_before_stray_item", with(file("notes.txt"), file(manifest, "{}")),
             listOf(), badManifest},
        Case{
            "file_over_7_mib", with(sparse(name, maximumBundleBytes + 1)), listOf(),
            refused(
                "SYNC_CAPACITY",
                "A sync history file exceeds the 7-MiB limit. Local workspace data is unchanged.")},
        Case{"total_over_64_mib", filesLeaving(-1), listOf(), folderFull},
        Case{"files_513", historyFiles(513, 2), listOf(), folderFull},
        // Uncounted up to 32, a sync client's metadata still keeps the work bounded.
        Case{"client_metadata_past_its_allowance",
             with(historyFiles(512, 2), file(".DS_Store"), clientJournals(33)), listOf(),
             refused("SYNC_CAPACITY",
                     "The sync folder exceeds its 512-file limit. Local edits are safe; use a new "
                     "sync folder or an explicitly supported retention workflow.")}),
    [](const auto& info) { return std::string(info.param.label); });

const std::string createdFolder = folderName + "/";

INSTANTIATE_TEST_SUITE_P(
    Create, Refusal,
    ::testing::Values(
        Case{"another_workspace",
             with(directory(folderName), file(createdFolder + manifest, manifestText(workspaceB))),
             createRequest("$"),
             refused("SYNC_WORKSPACE_MISMATCH",
                     "The existing folder belongs to a different workspace. Its contents were not "
                     "replaced.")},
        Case{"folder_without_manifest", with(directory(folderName)), createRequest("$"),
             notAvailable(manifest)},
        Case{"folder_with_extra_item",
             with(directory(folderName), file(createdFolder + manifest, manifestText()),
                  file(createdFolder + "notes.txt")),
             createRequest("$"), unexpectedItem("notes.txt")},
        Case{"link_at_folder_name",
             with(directory("real"), file("real/" + manifest, manifestText()),
                  linkTo(folderName, "real")),
             createRequest("$"), linkOnPath},
        Case{"file_at_folder_name", with(file(folderName)), createRequest("$"), wrongKind},
        Case{"id_uppercase", with(), createRequest("$", jsonString(upperId)),
             refused("SYNC_INVALID_REQUEST", "workspaceId must be a lowercase UUID.")},
        Case{"id_number", with(), createRequest("$", "5"), invalid("workspaceId")}),
    [](const auto& info) { return std::string(info.param.label); });

INSTANTIATE_TEST_SUITE_P(
    Publish, Refusal,
    ::testing::Values(
        Case{"content_missing", with(), request("publish", named(name)), noContent},
        Case{"content_array", with(), publishing("[]"), noContent},
        Case{"workspace_missing", with(), publishing(R"({"a":1})"), noWorkspace},
        Case{"workspace_number", with(), publishing(R"({"workspaceId":5})"), noWorkspace},
        Case{"workspace_uppercase", with(),
             publishing(R"({"workspaceId":)" + jsonString(upperId) + "}"), noWorkspace},
        // Refused on its size before the manifest is looked at.
        Case{"bundle_over_7_mib", with(gone(manifest)),
             publishing(objectOfSize(maximumBundleBytes + 1)),
             refused("SYNC_CAPACITY",
                     "This history bundle exceeds the 7-MiB sync limit. Local workspace data is "
                     "unchanged.")},
        Case{"missing_manifest", with(gone(manifest)), publishing(bundle), notAvailable(manifest)},
        Case{"manifest_of_another_workspace", with(file(manifest, manifestText(workspaceB))),
             publishing(bundle),
             refused(
                 "SYNC_WORKSPACE_MISMATCH",
                 "The sync folder now belongs to a different workspace. No history was published "
                 "there.")},
        Case{"different_content", with(file(name, objectOfSize(101))), publishing(bundle),
             differentContent},
        // Numbers are compared by their text, as they were written.
        Case{"number_spelled_otherwise", with(file(name, R"({"v":2.0,)" + workspaceMember + "}")),
             publishing(R"({"v":2,)" + workspaceMember + "}"), differentContent},
        Case{"folder_holds_512", historyFiles(512, 2), publishing(bundle), wouldOverfill},
        Case{"total_over_64_mib", filesLeaving(99), publishing(bundle), wouldOverfill},
        Case{"stray_item", with(file("notes.txt")), publishing(bundle),
             unexpectedItem("notes.txt")}),
    [](const auto& info) { return std::string(info.param.label); });

TEST(RequestCycle, FolderTextOf4096BytesPassesAndOneMoreFails) {
  TemporaryDirectory tree;
  for (const std::size_t length : {std::size_t{4096}, std::size_t{4097}}) {
    std::string folder = tree.path();
    folder.append(length - folder.size(), '/');
    EXPECT_EQ(runHelper(request("x", "", folder)).output, length == 4096 ? unsupported : traversal);
  }
}

TEST(RequestCycle, ReadsAtMostOneByteBeyondTheRequestLimit) {
  TemporaryDirectory tree;
  const auto limit = static_cast<std::size_t>(maximumRequestBytes);
  for (const std::size_t length : {limit, limit + 1, 4 * limit}) {
    std::string text = request("bogus", "", tree.path());
    text.insert(text.size() - 1, length - text.size(), ' ');
    const HelperRun run = runHelper(text);
    EXPECT_EQ(run.output,
              length == limit
                  ? unsupported
                  : refused("SYNC_CAPACITY", "The helper request exceeds its supported size."));
    EXPECT_EQ(run.status, 1);
    EXPECT_LE(run.consumed, limit + 1);
  }
}

}  // namespace
}  // namespace brindell::testing
