// Every call an operation makes to the file system fails once, in turn, on
// every way the helper stages a file: the answer is the undisturbed one or a
// refusal of access, the folder is as it was or as intended, and once the
// same request succeeds nothing is left behind.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <utime.h>

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

const std::string content =
    R"({"entries":[1,2.5],"workspaceId":")" + std::string(workspaceA) + "\"}";

// The tree below `root`, each file with its bytes; staging directories apart.
struct Tree {
  std::map<std::string, std::string> items;
  std::vector<std::string> leftovers;
  bool operator==(const Tree&) const = default;
};

Tree treeOf(const std::string& root) {
  Tree tree;
  for (const fs::directory_entry& entry : fs::recursive_directory_iterator(root)) {
    const std::string name = fs::relative(entry.path(), root).string();
    if (name.find(".brindell-staging-") != std::string::npos) {
      if (entry.path().parent_path() == root) tree.leftovers.push_back(name);
    } else if (entry.is_directory()) {
      tree.items[name] = "/";
    } else {
      std::ifstream file(entry.path(), std::ios::binary);
      tree.items[name].assign(std::istreambuf_iterator<char>(file), {});
    }
  }
  return tree;
}

// What a request answers in-process: "ok " and its result, or the failure.
std::string answerOf(const std::string& request) {
  PosixPlatform platform;
  std::string answer;
  const std::string outcome =
      outcomeOf([&] { answer = canonicalJson(execute(platform, parseObject(request))); });
  return outcome == "ok" ? "ok " + answer : outcome;
}

struct Operation {
  const char* name;
  std::string (*request)(const std::string& parent);
};

const Operation operations[] = {
    {"create",
     [](const std::string& parent) {
       return R"({"folder":")" + parent + R"(","op":"create","workspaceId":")" + workspaceA + "\"}";
     }},
    {"publish",
     [](const std::string& parent) {
       return R"({"content":)" + content + R"(,"folder":")" + makeSyncFolder(parent) +
              R"(","name":")" + historyName(1) + R"(","op":"publish"})";
     }},
    {"read",
     [](const std::string& parent) {
       writeFile(makeSyncFolder(parent) + "/" + historyName(1), content);
       return R"({"folder":")" + parent + R"(/sync","name":")" + historyName(1) +
              R"(","op":"read"})";
     }},
    {"list",
     [](const std::string& parent) {
       writeFile(makeSyncFolder(parent) + "/" + historyName(1), content);
       return R"({"folder":")" + parent + R"(/sync","op":"list"})";
     }},
};

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

// Ages the staging directories left in `parent` past the minute after which
// a later helper removes them, and has the clean-up run.
bool removedLater(const std::string& parent, const std::vector<std::string>& leftovers) {
  for (const std::string& name : leftovers) {
    const utimbuf old{std::time(nullptr) - 120, std::time(nullptr) - 120};
    ::utime((parent + "/" + name).c_str(), &old);
  }
  removeStaleStagingDirectories(openDirectory(parent));
  return treeOf(parent).leftovers.empty();
}

TEST(InjectedFaults, LeaveTheFolderAsItWasOrAsIntended) {
  for (const Operation& operation : operations) {
    for (const std::vector<Fault>& staging : stagings) {
      TemporaryDirectory root;
      const std::string parent = root.path() + "/p";
      const auto fresh = [&] {
        fs::remove_all(parent);
        fs::create_directory(parent);
        return operation.request(parent);
      };
      std::string request = fresh();
      const Tree before = treeOf(parent);
      std::map<std::string, int> calls;
      std::string expected;
      {
        FaultyFileSystem counted;
        counted.faults = staging;
        expected = answerOf(request);
        calls = counted.calls;
      }
      const Tree intended = treeOf(parent);
      ASSERT_TRUE(expected.starts_with("ok ") && intended.leftovers.empty()) << expected;
      for (const auto& [call, count] : calls) {
        for (int nth = 1; nth <= count; ++nth) {
          std::vector<int> errors{EIO};
          if (call == "write") errors.push_back(FaultyFileSystem::nothing);
          for (const int error : errors) {
            const std::string label = std::string(operation.name) + " " +
                                      std::to_string(&staging - stagings) + " " + call + "#" +
                                      std::to_string(nth) + " " + std::to_string(error);
            request = fresh();
            std::string answer;
            {
              FaultyFileSystem faulty;
              faulty.faults = staging;
              faulty.faults.push_back({.call = call, .error = error, .nth = nth});
              answer = answerOf(request);
            }
            const Tree after = treeOf(parent);
            EXPECT_TRUE(answer == expected || answer.starts_with("SYNC_IO: ") ||
                        answer.starts_with("SYNC_FOLDER_MOVED: "))
                << label << ": " << answer;
            EXPECT_TRUE(after.items == before.items || after.items == intended.items)
                << label << ": " << answer;
            // A staging directory stays only where its removal was what failed.
            const bool removal =
                call == "remove" || call == "readEntries" || call == "status" || call == "open";
            EXPECT_TRUE(after.leftovers.empty() ||
                        (removal && removedLater(parent, after.leftovers)))
                << label;
            FaultyFileSystem again;
            again.faults = staging;
            const std::string repeated = answerOf(request);
            EXPECT_EQ(treeOf(parent).items, intended.items) << label;
            std::string confirmed = expected;
            const std::size_t created = confirmed.find("\"created\":true");
            if (after.items == intended.items && created != std::string::npos) {
              confirmed.replace(created, 14, "\"created\":false");
            }
            EXPECT_EQ(repeated, confirmed) << label;
          }
        }
      }
    }
  }
}

}  // namespace
}  // namespace brindell::testing
