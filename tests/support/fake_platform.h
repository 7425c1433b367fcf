#pragma once

#include <algorithm>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "base/sync_failure.h"
#include "cloud/posix_platform.h"

namespace brindell::testing {

// A cloud drive for tests, scripted per path as the code under test names
// items (the held directory's path, then the item's name). What is not
// scripted is the local file system's, as the POSIX platform sees it, except
// that a download request is accepted and coordination takes no lock.
class FakePlatform final : public Platform {
 public:
  // What a coordinate call does: it runs its accessor, then may fail with the platform's "Busy.".
  struct Coordination {
    bool fails = false;
    std::optional<std::string> handedPath;  // instead of the requested (writing) path
    bool runsTwice = false;                 // against its contract
    std::function<void()> meanwhile;        // what another process does while the call waits
  };

  std::map<std::string, ResourceValues> promisedValues, plainValues;
  std::map<std::string, std::size_t> conflictVersions;
  std::map<std::string, Coordination> coordinations;  // by the (writing) path
  // Each coordination as it begins, "R" (reading), "W" (writing) or "RW" with
  // its options and path(s), and "end" as it ends; tests add what happens
  // in between. And the downloads.
  std::vector<std::string> events;
  std::vector<std::string> downloadRequests;

  void coordinateReading(const Directory& directory, std::string_view name, int options,
                         const Accessor& accessor) override {
    coordinate("R" + std::to_string(options), directory.pathOf(name), accessor);
  }
  void coordinateWriting(const Directory& directory, std::string_view name, int options,
                         const Accessor& accessor) override {
    coordinate("W" + std::to_string(options), directory.pathOf(name), accessor);
  }
  void coordinateReadingAndWriting(const Directory& folder, std::string_view readingName,
                                   int readingOptions, int writingOptions,
                                   const ReadingWritingAccessor& accessor) override {
    const std::string reading = folder.pathOf(readingName);
    coordinate(
        "RW" + std::to_string(readingOptions) + std::to_string(writingOptions) + " " + reading,
        folder.path, [&](const std::string& writing) { accessor(reading, writing); });
  }
  ResourceValues promisedResourceValues(const Directory& directory,
                                        std::string_view name) override {
    return values(promisedValues, directory, name);
  }
  ResourceValues resourceValues(const Directory& directory, std::string_view name) override {
    return values(plainValues, directory, name);
  }
  std::size_t unresolvedConflictVersionCount(const Directory& directory,
                                             std::string_view name) override {
    return conflictVersions[directory.pathOf(name)];
  }
  void startDownloading(const Directory& directory, std::string_view name) override {
    downloadRequests.push_back(directory.pathOf(name));
  }
  // In name order, so that tests can tell which entry a bound reaches.
  bool enumerateDirectory(const Directory& folder, const EntryVisitor& visit) override {
    std::vector<std::string> names;
    const bool started = local_.enumerateDirectory(folder, [&](const std::string& entry) {
      names.push_back(entry);
      return true;
    });
    std::sort(names.begin(), names.end());
    std::find_if_not(names.begin(), names.end(), visit);
    return started;
  }
  ClientFile clientFile(std::string_view name) override { return local_.clientFile(name); }

 private:
  void coordinate(const std::string& kind, const std::string& path, const Accessor& accessor) {
    events.push_back(kind + " " + path);
    const std::unique_ptr<void, std::function<void(void*)>> ends(
        this, [&](void*) { events.push_back("end"); });
    const Coordination script = coordinations[path];
    if (script.meanwhile) script.meanwhile();
    accessor(script.handedPath.value_or(path));
    if (script.runsTwice) accessor(path);
    if (script.fails) throw platformFailure("Busy.");
  }
  ResourceValues values(const std::map<std::string, ResourceValues>& scripted,
                        const Directory& directory, std::string_view name) {
    const auto values = scripted.find(directory.pathOf(name));
    return values != scripted.end() ? values->second : local_.resourceValues(directory, name);
  }

  PosixPlatform local_;
};

}  // namespace brindell::testing
