#pragma once

#include <stdlib.h>
#include <utime.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "base/sync_failure.h"

namespace brindell::testing {

inline constexpr const char* workspaceA = "0f8fad5b-d9cb-469f-a165-70867728950e";

// A fresh directory under /tmp (its real path, free of links), removed with
// everything in it when the object goes away.
class TemporaryDirectory {
 public:
  TemporaryDirectory() {
    std::string pattern = "/tmp/brindell-test-XXXXXX";
    path_ = std::filesystem::canonical(::mkdtemp(pattern.data())).string();
  }
  ~TemporaryDirectory() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

inline void writeFile(const std::string& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary) << bytes;
}

// The manifest create writes for workspace A, and a history file name of
// workspace A whose digits spell `index`.
inline std::string manifestText() {
  return R"({"format":"brindell-folder-sync","version":1,"workspaceId":")" +
         std::string(workspaceA) + "\"}";
}
inline std::string historyName(std::size_t index) {
  char digits[17];
  std::snprintf(digits, sizeof digits, "%016zx", index);
  return std::string(workspaceA) + "-" + std::string(48, 'a') + digits + ".brindell-history.json";
}

// `parent` + "/sync", holding only the manifest of workspace A.
inline std::string makeSyncFolder(const std::string& parent) {
  std::filesystem::create_directory(parent + "/sync");
  writeFile(parent + "/sync/manifest.json", manifestText());
  return parent + "/sync";
}

// The staging directories in `parent`, and their ageing past the minute after
// which a later helper removes them.
inline std::vector<std::string> stagingLeftovers(const std::string& parent) {
  std::vector<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(parent)) {
    const std::string name = entry.path().filename().string();
    if (name.starts_with(".brindell-staging-")) names.push_back(name);
  }
  return names;
}
inline void ageStagingLeftovers(const std::string& parent) {
  const utimbuf old{std::time(nullptr) - 120, std::time(nullptr) - 120};
  for (const std::string& name : stagingLeftovers(parent))
    ::utime((parent + "/" + name).c_str(), &old);
}

// "ok", or what `call` threw: "CODE: message" for a SyncFailure.
inline std::string outcomeOf(const std::function<void()>& call) {
  try {
    call();
    return "ok";
  } catch (const SyncFailure& failure) {
    return std::string(codeText(failure.code)) + ": " + failure.message;
  }
}

}  // namespace brindell::testing
