// Every call an operation makes to the file system fails once, in turn, on
// every way the helper stages a file: the answer is the undisturbed one or a
// refusal of access, the folder is as it was or as intended, and once the
// same request succeeds nothing is left behind.

#include <fcntl.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <map>

#include "cloud/posix_platform.h"
#include "fileio/staging.h"
#include "json/json.h"
#include "request/dispatch.h"
#include "support/faulty_file_system.h"
#include "support/sync_folder.h"

namespace brindell::testing {
namespace {

using Fault = FaultyFileSystem::Fault;
namespace fs = std::filesystem;

// The files and directories below `root`, each file with its bytes; staging
// directories apart.
std::map<std::string, std::string> itemsOf(const std::string& root) {
  std::map<std::string, std::string> items;
  for (const fs::directory_entry& entry : fs::recursive_directory_iterator(root)) {
    const std::string name = fs::relative(entry.path(), root).string();
    if (name.find(".brindell-staging-") != std::string::npos) continue;
    if (entry.is_directory()) {
      items[name] = "/";
    } else {
      std::ifstream file(entry.path(), std::ios::binary);
      items[name].assign(std::istreambuf_iterator<char>(file), {});
    }
  }
  return items;
}

const std::string content =
    R"({"entries":[1,2.5],"workspaceId":")" + std::string(workspaceA) + "\"}";

// The request of `operation` on a parent made ready for it: an empty one for
// create, a sync folder for publish, one holding the history file otherwise.
std::string prepared(const std::string& operation, const std::string& parent) {
  fs::remove_all(parent);
  fs::create_directory(parent);
  JsonValue::Object request = {{"op", operation}, {"folder", parent}};
  if (operation == "create") {
    request.emplace_back("workspaceId", workspaceA);
    return canonicalJson(request);
  }
  request[1].second = makeSyncFolder(parent);
  if (operation != "list") request.emplace_back("name", historyName(1));
  if (operation == "publish") request.emplace_back("content", parseObject(content));
  if (operation != "publish") writeFile(parent + "/sync/" + historyName(1), content);
  return canonicalJson(request);
}

// What a request answers in-process: "ok " and its result, or the failure.
std::string answerOf(const std::string& request, const std::vector<Fault>& faults,
                     std::map<std::string, int>* calls = nullptr) {
  FaultyFileSystem faulty;
  faulty.faults = faults;
  PosixPlatform platform;
  std::string answer;
  const std::string outcome =
      outcomeOf([&] { answer = canonicalJson(execute(platform, parseObject(request))); });
  if (calls != nullptr) *calls = faulty.calls;
  return outcome == "ok" ? "ok " + answer : outcome;
}

// The ways a file is staged: an unnamed file in the folder; a staging
// directory beside it where the file system makes no unnamed file or /proc
// cannot name one; a name checked, then given, where no rename is exclusive.
const std::vector<Fault> stagings[] = {
    {},
    {{.call = "open", .error = EOPNOTSUPP, .flags = O_TMPFILE}},
    {{.call = "descriptorReachable", .error = ENOENT}},
    {{.call = "open", .error = EINVAL, .flags = O_TMPFILE},
     {.call = "renameExclusively", .error = EINVAL}},
};

TEST(InjectedFaults, LeaveTheFolderAsItWasOrAsIntended) {
  TemporaryDirectory root;
  const std::string parent = root.path() + "/p";
  for (const char* operation : {"create", "publish", "read", "list"}) {
    for (const std::vector<Fault>& staging : stagings) {
      const std::string request = prepared(operation, parent);
      const auto before = itemsOf(parent);
      std::map<std::string, int> calls;
      const std::string expected = answerOf(request, staging, &calls);
      const auto intended = itemsOf(parent);
      ASSERT_TRUE(expected.starts_with("ok ") && stagingLeftovers(parent).empty()) << expected;
      for (const auto& [call, count] : calls) {
        for (int nth = 1; nth <= count; ++nth) {
          std::vector<int> errors{EIO};
          if (call == "write") errors.push_back(FaultyFileSystem::nothing);
          for (const int error : errors) {
            SCOPED_TRACE(std::string(operation) + " " + std::to_string(&staging - stagings) + " " +
                         call + "#" + std::to_string(nth) + " " + std::to_string(error));
            std::vector<Fault> faults = staging;
            faults.push_back({.call = call, .error = error, .nth = nth});
            prepared(operation, parent);
            const std::string answer = answerOf(request, faults);
            const auto after = itemsOf(parent);
            EXPECT_TRUE(answer == expected || answer.starts_with("SYNC_IO: ") ||
                        answer.starts_with("SYNC_FOLDER_MOVED: "))
                << answer;
            EXPECT_TRUE(after == before || after == intended) << answer;
            // A staging directory stays only where its removal was what
            // failed, and then a later helper removes it once it is stale.
            if (!stagingLeftovers(parent).empty()) {
              EXPECT_TRUE(call == "remove" || call == "readEntries" || call == "status" ||
                          call == "open");
              ageStagingLeftovers(parent);
              removeStaleStagingDirectories(openDirectory(parent));
              EXPECT_EQ(stagingLeftovers(parent), std::vector<std::string>{});
            }
            std::string confirmed = expected;
            const std::size_t created = confirmed.find("\"created\":true");
            if (after == intended && created != std::string::npos) {
              confirmed.replace(created, 14, "\"created\":false");
            }
            EXPECT_EQ(answerOf(request, staging), confirmed);
            EXPECT_EQ(itemsOf(parent), intended);
          }
        }
      }
    }
  }
}

}  // namespace
}  // namespace brindell::testing
