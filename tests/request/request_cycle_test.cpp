// The request cycle and operation dispatch, through the real executable:
// exact answer bytes, exit statuses and the order of the checks.

#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "request/limits.h"
#include "support/helper_process.h"

namespace brindell::testing {
namespace {

const char* invalidJson =
    "A sync file contains invalid JSON. Preserve it for inspection; local workspace data is "
    "unchanged.";
const char* traversal = "Select an absolute folder path without traversal components.";
const char* missing =
    "The selected sync folder or file is unavailable. Restore access or wait for iCloud Drive, "
    "then retry.";
const char* unsupported = "Supported operations are create, list, read, and publish.";
const char* linkOnPath = "Sync paths cannot contain symbolic links. Select the actual folder.";
const char* unexpectedItem = "The sync path contains an unexpected filesystem item.";
const char* validName =
    "0f8fad5b-d9cb-469f-a165-70867728950e-"
    "0000000000000000000000000000000000000000000000000000000000000000.brindell-history.json";

struct Case {
  const char* label;
  std::string request;  // "$" stands for the test tree
  const char* code;
  std::string message;
};

class RequestCycle : public ::testing::TestWithParam<Case> {};

TEST_P(RequestCycle, AnswersWithTheExactFailure) {
  TemporaryDirectory tree;
  const std::string root = tree.path();
  ::mkdir((root + "/dir").c_str(), 0700);
  ::mkdir((root + "/...").c_str(), 0700);
  ::mkdir((root + "/.../..a").c_str(), 0700);
  writeFile(root + "/file", "x");
  ::symlink((root + "/dir").c_str(), (root + "/link").c_str());
  ::mkfifo((root + "/fifo").c_str(), 0600);
  const int sock = ::socket(AF_UNIX, SOCK_STREAM, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::snprintf(address.sun_path, sizeof address.sun_path, "%s/socket", root.c_str());
  ::bind(sock, reinterpret_cast<sockaddr*>(&address), sizeof address);

  std::string request = GetParam().request;
  for (std::size_t at; (at = request.find('$')) != std::string::npos;) request.replace(at, 1, root);
  const HelperRun run = runHelper(request);
  ::close(sock);
  EXPECT_EQ(run.output, failureLine(GetParam().code, GetParam().message));
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.errors, "");
}

std::string withName(const std::string& op, const std::string& name) {
  return R"({"operation":")" + op + R"(","folder":"$/dir","name":)" + jsonString(name) + "}";
}

INSTANTIATE_TEST_SUITE_P(
    Failures, RequestCycle,
    ::testing::Values(
        Case{"empty", "", "SYNC_INVALID_FILE", invalidJson},
        Case{"whitespace", "  \n", "SYNC_INVALID_FILE", invalidJson},
        Case{"array", "[]", "SYNC_INVALID_FILE", "A sync file must contain one JSON object."},
        Case{"array_of_object", "[{}]", "SYNC_INVALID_FILE",
             "A sync file must contain one JSON object."},
        Case{"number", "5", "SYNC_INVALID_FILE", invalidJson},
        Case{"string", "\"list\"", "SYNC_INVALID_FILE", invalidJson},
        Case{"null", "null", "SYNC_INVALID_FILE", invalidJson},
        Case{"truncated", R"({"operation":"list")", "SYNC_INVALID_FILE", invalidJson},
        Case{"trailing", R"({} {})", "SYNC_INVALID_FILE", invalidJson},
        Case{"duplicate_key", R"({"operation":"list","operation":"read"})", "SYNC_INVALID_FILE",
             invalidJson},
        Case{"no_operation", R"({"folder":"$/dir"})", "SYNC_INVALID_REQUEST",
             "Missing or invalid op."},
        Case{"operation_not_text", R"({"operation":5,"op":"list","folder":"$/dir"})",
             "SYNC_INVALID_REQUEST", "Missing or invalid operation."},
        Case{"operation_empty", R"({"operation":"","folder":"$/dir"})", "SYNC_INVALID_REQUEST",
             "Missing or invalid operation."},
        Case{"op_null", R"({"op":null,"folder":"$/dir"})", "SYNC_INVALID_REQUEST",
             "Missing or invalid op."},
        Case{"no_folder", R"({"operation":"list"})", "SYNC_INVALID_REQUEST",
             "Missing or invalid folder."},
        Case{"folder_array", R"({"operation":"list","folder":["/"]})", "SYNC_INVALID_REQUEST",
             "Missing or invalid folder."},
        Case{"relative", R"({"operation":"list","folder":"tmp/x"})", "SYNC_UNSAFE_PATH",
             traversal},
        Case{"dot", R"({"operation":"list","folder":"$/./dir"})", "SYNC_UNSAFE_PATH", traversal},
        Case{"dotdot", R"({"operation":"list","folder":"$/dir/.."})", "SYNC_UNSAFE_PATH",
             traversal},
        Case{"nul", R"({"operation":"list","folder":"$/dir\u0000x"})", "SYNC_UNSAFE_PATH",
             traversal},
        Case{"too_long", R"({"operation":"x","folder":"$)" + std::string(4097, '/') + R"("})",
             "SYNC_UNSAFE_PATH", traversal},
        Case{"root", R"({"operation":"list","folder":"/"})", "SYNC_UNSAFE_PATH",
             "Select a dedicated folder rather than the filesystem root."},
        Case{"root_slashes", R"({"operation":"list","folder":"///"})", "SYNC_UNSAFE_PATH",
             "Select a dedicated folder rather than the filesystem root."},
        Case{"missing_folder_unknown_op", R"({"operation":"bogus","folder":"$/absent"})",
             "SYNC_MISSING", missing},
        Case{"missing_above", R"({"operation":"list","folder":"$/absent/dir"})", "SYNC_MISSING",
             missing},
        Case{"link_leaf", R"({"operation":"list","folder":"$/link"})", "SYNC_UNSAFE_PATH",
             linkOnPath},
        Case{"link_middle", R"({"operation":"list","folder":"$/link/x"})", "SYNC_UNSAFE_PATH",
             linkOnPath},
        Case{"file_leaf", R"({"operation":"list","folder":"$/file"})", "SYNC_UNSAFE_PATH",
             unexpectedItem},
        Case{"file_middle", R"({"operation":"list","folder":"$/file/x"})", "SYNC_UNSAFE_PATH",
             unexpectedItem},
        Case{"fifo", R"({"operation":"list","folder":"$/fifo"})", "SYNC_UNSAFE_PATH",
             unexpectedItem},
        Case{"socket", R"({"operation":"list","folder":"$/socket"})", "SYNC_UNSAFE_PATH",
             unexpectedItem},
        Case{"unsupported", R"({"operation":"Read","folder":"$/dir"})", "SYNC_INVALID_REQUEST",
             unsupported},
        Case{"doubled_and_trailing_slash_pass", R"({"operation":"x","folder":"$//dir/"})",
             "SYNC_INVALID_REQUEST", unsupported},
        Case{"dot_runs_pass", R"({"operation":"x","folder":"$/.../..a"})",
             "SYNC_INVALID_REQUEST", unsupported},
        Case{"no_name", R"({"operation":"read","folder":"$/dir"})", "SYNC_INVALID_REQUEST",
             "Missing or invalid name."},
        Case{"upper_hex_name",
             withName("read", "0F8FAD5B-D9CB-469F-A165-70867728950E-" + std::string(64, 'A') +
                                  ".brindell-history.json"),
             "SYNC_UNSAFE_PATH", "Invalid immutable history filename."},
        Case{"name_with_separator", withName("publish", std::string("x/") + validName),
             "SYNC_UNSAFE_PATH", "Invalid immutable history filename."},
        Case{"name_with_newline", withName("read", std::string(validName) + "\n"),
             "SYNC_UNSAFE_PATH", "Invalid immutable history filename."},
        Case{"name_other_ending",
             withName("read", std::string(validName, 101) + ".history.json"), "SYNC_UNSAFE_PATH",
             "Invalid immutable history filename."}),
    [](const auto& info) { return std::string(info.param.label); });

// The test tree path is inside the padded request, so the padding is computed
// from the final length.
std::string paddedRequest(const std::string& root, std::size_t length) {
  std::string request = R"({"operation":"bogus","folder":")" + root + R"("})";
  request.insert(request.size() - 1, length - request.size(), ' ');
  return request;
}

TEST(RequestCycle, FolderTextOf4096BytesPassesAndOneMoreFails) {
  TemporaryDirectory tree;
  for (const std::size_t length : {std::size_t{4096}, std::size_t{4097}}) {
    std::string folder = tree.path();
    folder.append(length - folder.size(), '/');
    const HelperRun run = runHelper(R"({"operation":"x","folder":)" + jsonString(folder) + "}");
    EXPECT_EQ(run.output, length == 4096 ? failureLine("SYNC_INVALID_REQUEST", unsupported)
                                         : failureLine("SYNC_UNSAFE_PATH", traversal));
  }
}

TEST(RequestCycle, AcceptsARequestOfExactlyTheLimit) {
  TemporaryDirectory tree;
  const HelperRun run =
      runHelper(paddedRequest(tree.path(), static_cast<std::size_t>(maximumRequestBytes)));
  EXPECT_EQ(run.output, failureLine("SYNC_INVALID_REQUEST", unsupported));
}

TEST(RequestCycle, RefusesOneByteMore) {
  TemporaryDirectory tree;
  const HelperRun run =
      runHelper(paddedRequest(tree.path(), static_cast<std::size_t>(maximumRequestBytes) + 1));
  EXPECT_EQ(run.output,
            failureLine("SYNC_CAPACITY", "The helper request exceeds its supported size."));
  EXPECT_EQ(run.status, 1);
}

TEST(RequestCycle, RefusesAnEndlessInputWithoutReadingIt) {
  const HelperRun run = runHelper(std::string(64 << 20, ' '));
  EXPECT_EQ(run.output,
            failureLine("SYNC_CAPACITY", "The helper request exceeds its supported size."));
}

}  // namespace
}  // namespace brindell::testing
