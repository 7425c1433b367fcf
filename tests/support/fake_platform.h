#pragma once

#include <map>
#include <optional>
#include <string>
#include <vector>

#include "cloud/platform.h"
#include "cloud/posix_platform.h"

namespace brindell {

// A cloud drive for tests, scripted per path as the code under test names
// items (the held directory's path, then the item's name). What is not
// scripted is the local file system's, as the POSIX platform sees it, except
// that a download request is accepted and coordination takes no lock.
class FakePlatform final : public Platform {
 public:
  // What a coordinate call does with its accessor; failing is PlatformError "Busy.".
  enum class Outcome { run, failWithoutRunning, returnWithoutRunning, runAndFail };
  struct Coordination {
    Outcome outcome = Outcome::run;
    std::optional<std::string> handedPath;  // instead of the requested (writing) path
  };

  std::map<std::string, ResourceValues> promisedValues, plainValues;
  std::map<std::string, std::size_t> conflictVersions;
  std::map<std::string, Coordination> coordinations;  // by the (writing) path
  // What was asked: each coordination as "R" (reading), "W" (writing) or "RW"
  // with its options and path(s), then "; "; and the downloads.
  std::string coordinated;
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
  bool enumerateDirectory(const Directory& folder, const EntryVisitor& visit) override {
    return local_.enumerateDirectory(folder, visit);
  }
  ClientFile clientFile(std::string_view name) override { return local_.clientFile(name); }

 private:
  void coordinate(const std::string& kind, const std::string& path, const Accessor& accessor) {
    coordinated += kind + " " + path + "; ";
    const Coordination script = coordinations[path];
    if (script.outcome == Outcome::failWithoutRunning) throw PlatformError{"Busy."};
    if (script.outcome == Outcome::returnWithoutRunning) return;
    accessor(script.handedPath.value_or(path));
    if (script.outcome == Outcome::runAndFail) throw PlatformError{"Busy."};
  }
  ResourceValues values(const std::map<std::string, ResourceValues>& scripted,
                        const Directory& directory, std::string_view name) {
    const auto values = scripted.find(directory.pathOf(name));
    return values != scripted.end() ? values->second : local_.resourceValues(directory, name);
  }

  PosixPlatform local_;
};

}  // namespace brindell
