#include "support/sync_folder.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <stdexcept>
#include <thread>

#include <gtest/gtest.h>

#include "base/limits.h"
#include "base/sync_failure.h"

namespace brindell::testing {

std::string manifestText(std::string_view workspace) {
  return R"({"format":"brindell-folder-sync","version":1,"workspaceId":")" +
         std::string(workspace) + "\"}";
}

std::string historyName(std::size_t index, std::string_view workspace) {
  char digits[17];
  std::snprintf(digits, sizeof digits, "%016zx", index);
  return std::string(workspace) + "-" + std::string(48, 'a') + digits + ".brindell-history.json";
}

std::string makeSyncFolder(const std::string& parent, std::string_view workspace) {
  build(parent, with(directory("sync"), file("sync/manifest.json", manifestText(workspace))));
  return parent + "/sync";
}

std::string objectOfSize(std::size_t size, std::string_view workspace) {
  const std::string tail = R"(","workspaceId":")" + std::string(workspace) + "\"}";
  return R"({"pad":")" + std::string(size - tail.size() - 8, 'x') + tail;
}

void build(const std::string& directory, const std::vector<Item>& items) {
  for (const Item& item : items) {
    const std::string path = directory + "/" + item.name;
    const std::string target = directory + "/" + item.text;
    bool made = true;
    switch (item.kind) {
      case Item::file:
        writeFile(path, item.text);
        break;
      case Item::sparse:
        writeFile(path, "");
        made = ::truncate(path.c_str(), item.size) == 0;
        break;
      case Item::directory:
        made = ::mkdir(path.c_str(), 0700) == 0;
        break;
      case Item::link:
        made = ::symlink(target.c_str(), path.c_str()) == 0;
        break;
      case Item::hardLink:
        made = ::link(target.c_str(), path.c_str()) == 0;
        break;
      case Item::fifo:
        made = ::mkfifo(path.c_str(), 0600) == 0;
        break;
      case Item::gone:
        made = ::unlink(path.c_str()) == 0;
        break;
    }
    if (!made) throw std::runtime_error("cannot make " + path);
  }
}

std::vector<Item> historyFiles(std::size_t count, std::int64_t size, std::size_t first) {
  std::vector<Item> items;
  for (std::size_t i = first; i < first + count; ++i) items.push_back(sparse(historyName(i), size));
  return items;
}

std::vector<Item> filesLeaving(std::int64_t room) {
  return with(historyFiles(9, maximumBundleBytes),
              sparse(historyName(99), maximumFolderBytes - 9 * maximumBundleBytes - room));
}

void expectCompleteFolder(const std::string& parent) {
  const std::string folder = parent + "/" + folderName;
  EXPECT_EQ(entryNames(parent), std::vector<std::string>{folderName});
  EXPECT_EQ(permissions(folder), 0700u);
  EXPECT_EQ(entryNames(folder), std::vector<std::string>{"manifest.json"});
  EXPECT_EQ(permissions(folder + "/manifest.json"), 0600u);
  EXPECT_EQ(readFile(folder + "/manifest.json"), manifestText());
}

std::vector<std::string> entryNames(const std::string& directory) {
  std::vector<std::string> names;
  std::error_code error;
  for (const auto& entry : std::filesystem::directory_iterator(directory, error)) {
    names.push_back(entry.path().filename().string());
  }
  std::sort(names.begin(), names.end());
  return names;
}

bool hasStagingLeftovers(const std::string& directory) {
  const std::vector<std::string> names = entryNames(directory);
  return std::any_of(names.begin(), names.end(), [](const std::string& name) {
    return name.starts_with(".brindell-staging-");
  });
}

std::string treeSnapshot(const std::string& directory) {
  std::string snapshot;
  for (const std::string& name : entryNames(directory)) {
    const std::string path = directory + "/" + name;
    struct stat status;
    if (::lstat(path.c_str(), &status) != 0) continue;
    snapshot += path + " " + std::to_string(status.st_mode) + " " + std::to_string(status.st_size) +
                " " + std::to_string(status.st_ino) + " " + std::to_string(status.st_mtim.tv_sec) +
                "." + std::to_string(status.st_mtim.tv_nsec) + "\n";
    if (S_ISDIR(status.st_mode)) snapshot += treeSnapshot(path);
  }
  return snapshot;
}

mode_t permissions(const std::string& path) {
  struct stat status;
  return ::lstat(path.c_str(), &status) == 0 ? status.st_mode & 07777 : 0;
}

std::vector<HelperRun> runTogether(const std::vector<std::string>& requests) {
  std::vector<HelperRun> runs(requests.size());
  std::vector<std::thread> threads;
  for (std::size_t i = 0; i < requests.size(); ++i) {
    threads.emplace_back([&, i] { runs[i] = runHelper(requests[i]); });
  }
  for (std::thread& thread : threads) thread.join();
  return runs;
}

long answersOf(const std::vector<HelperRun>& runs, const std::string& output) {
  return std::count_if(runs.begin(), runs.end(),
                       [&](const HelperRun& run) { return run.output == output; });
}

ResourceValues cloudFile(std::int64_t size, bool uploaded) {
  return {.isRegularFile = true,
          .fileSize = size,
          .isUbiquitousItem = true,
          .ubiquitousItemIsUploaded = uploaded,
          .ubiquitousItemDownloadingStatus = downloadingStatusCurrent};
}

ResourceValues notDownloaded() {
  ResourceValues values = cloudFile(98);
  values.ubiquitousItemDownloadingStatus = "NSURLUbiquitousItemDownloadingStatusNotDownloaded";
  return values;
}

std::string outcomeOf(const std::function<void()>& call) {
  try {
    call();
    return "ok";
  } catch (const SyncFailure& failure) {
    return std::string(codeText(failure.code)) + ": " + failure.message;
  } catch (const PlatformError& error) {
    return "platform: " + error.description;
  }
}

std::string requestText(std::string_view operation, const std::string& folder,
                        std::string_view moreMembers) {
  return R"({"operation":")" + std::string(operation) + R"(","folder":)" + jsonString(folder) +
         std::string(moreMembers) + "}";
}

std::string createRequest(const std::string& parent, const std::string& workspace) {
  return requestText("create", parent, R"(,"workspaceId":)" + workspace);
}

std::string publishRequest(const std::string& folder, const std::string& content,
                           const std::string& name) {
  return requestText("publish", folder,
                     R"(,"name":)" + jsonString(name) + R"(,"content":)" + content);
}

std::string successLine(std::string_view result) {
  return R"({"ok":true,"result":)" + std::string(result) + "}\n";
}

std::string createdLine(const std::string& parent, const std::string& manifest) {
  return successLine(R"({"folder":)" + jsonString(parent + "/" + folderName) +
                     R"(,"isUbiquitous":false,"manifest":)" + manifest +
                     R"(,"pendingUploads":false})");
}

std::string publishedLine(bool created, const std::string& name) {
  return successLine(std::string(R"({"created":)") + (created ? "true" : "false") +
                     R"(,"isUbiquitous":false,"isUploaded":true,"name":)" + jsonString(name) +
                     R"(,"pendingUploads":false})");
}

}  // namespace brindell::testing
