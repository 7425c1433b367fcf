#include "support/sync_folder.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <stdexcept>
#include <thread>

#include "request/sync_failure.h"

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
  const std::string folder = parent + "/sync";
  if (::mkdir(folder.c_str(), 0700) != 0) throw std::runtime_error("mkdir failed");
  writeFile(folder + "/manifest.json", manifestText(workspace));
  return folder;
}

std::string objectOfSize(std::size_t size, std::string_view workspace) {
  const std::string tail = R"(","workspaceId":")" + std::string(workspace) + "\"}";
  return R"({"pad":")" + std::string(size - tail.size() - 8, 'x') + tail;
}

void sparseFile(const std::string& path, std::int64_t size) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  const bool sized = fd >= 0 && ::ftruncate(fd, size) == 0;
  if (fd >= 0) ::close(fd);
  if (!sized) throw std::runtime_error("cannot make " + path);
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
        sparseFile(path, item.size);
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

std::vector<std::string> entryNames(const std::string& directory) {
  std::vector<std::string> names;
  DIR* stream = ::opendir(directory.c_str());
  if (stream == nullptr) return names;
  while (const dirent* entry = ::readdir(stream)) {
    if (std::strcmp(entry->d_name, ".") != 0 && std::strcmp(entry->d_name, "..") != 0) {
      names.emplace_back(entry->d_name);
    }
  }
  ::closedir(stream);
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

ResourceValues cloudFile(std::int64_t size, bool uploaded) {
  ResourceValues values;
  values.isRegularFile = true;
  values.fileSize = size;
  values.isUbiquitousItem = true;
  values.ubiquitousItemIsUploaded = uploaded;
  values.ubiquitousItemDownloadingStatus = downloadingStatusCurrent;
  return values;
}

std::string outcomeOf(const std::function<void()>& call) {
  try {
    call();
    return "ok";
  } catch (const SyncFailure& failure) {
    return failure.code + ": " + failure.message;
  } catch (const PlatformError& error) {
    return "platform: " + error.description;
  }
}

std::string requestText(std::string_view operation, const std::string& folder,
                        std::string_view moreMembers) {
  return R"({"operation":")" + std::string(operation) + R"(","folder":)" + jsonString(folder) +
         std::string(moreMembers) + "}";
}

std::string successLine(std::string_view result) {
  return R"({"ok":true,"result":)" + std::string(result) + "}\n";
}

}  // namespace brindell::testing
