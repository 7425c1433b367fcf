#pragma once

#include <cstddef>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "cloud/platform.h"
#include "cloud/posix_platform.h"

namespace brindell {

// A platform for tests, scripted per path. Whatever is not scripted behaves
// as a local file system without a cloud drive (the POSIX platform's values,
// real listing), except that download
// requests are accepted and coordination takes no lock.
class FakePlatform final : public Platform {
 public:
  // What a coordinate call does with its accessor.
  enum class Outcome {
    run,                   // run it and report no error
    failWithoutRunning,    // report `error`, do not run it
    returnWithoutRunning,  // neither run it nor report an error
    runAndFail,            // run it, then report `error` as well
  };
  struct Coordination {
    Outcome outcome = Outcome::run;
    std::optional<std::string> handedPath;         // instead of the requested path
    std::optional<std::string> handedReadingPath;  // the reading side of the combined call
    std::string error = "The file coordinator failed.";
  };
  enum class Kind { reading, writing, readingAndWriting };
  struct CoordinateCall {
    Kind kind;
    std::string path;  // the writing path for the combined call
    int options;
    std::string readingPath;  // the combined call only
  };
  struct Enumeration {
    bool unavailable = false;                       // no enumerator at all
    std::optional<std::vector<std::string>> names;  // replaces the real entries, in this order
    std::optional<std::size_t> errorAfter;          // entries visited before `error` is delivered
    std::string error = "The folder could not be read.";
  };

  // Convenience: the same values for both kinds of fetch.
  void setValues(const std::string& path, const ResourceValues& values) {
    plainValues[path] = values;
    promisedValues[path] = values;
  }

  // Scripts, keyed by path exactly as the code under test passes it.
  std::map<std::string, ResourceValues> plainValues;
  std::map<std::string, ResourceValues> promisedValues;
  std::map<std::string, std::string> fetchErrors;  // both fetches throw this description
  std::map<std::string, std::size_t> conflictVersions;
  std::map<std::string, std::string> downloadRefusals;  // otherwise a request is accepted
  std::map<std::string, Coordination> coordinations;    // keyed by the (writing) path
  std::map<std::string, Enumeration> enumerations;
  std::map<std::string, ClientFile, std::less<>> clientFiles;  // by entry name

  // What the code under test asked for.
  std::vector<CoordinateCall> coordinateCalls;
  std::vector<std::string> downloadRequests;  // refused ones included

  void coordinateReading(const Directory& directory, std::string_view name, int options,
                         const Accessor& accessor) override;
  void coordinateWriting(const Directory& directory, std::string_view name, int options,
                         const Accessor& accessor) override;
  void coordinateReadingAndWriting(const Directory& folder, std::string_view readingName,
                                   int readingOptions, int writingOptions,
                                   const ReadingWritingAccessor& accessor) override;
  ResourceValues promisedResourceValues(const Directory& directory, std::string_view name) override;
  ResourceValues resourceValues(const Directory& directory, std::string_view name) override;
  std::size_t unresolvedConflictVersionCount(const Directory& directory,
                                             std::string_view name) override;
  void startDownloading(const Directory& directory, std::string_view name) override;
  bool enumerateDirectory(const Directory& folder, const EntryVisitor& visit) override;
  ClientFile clientFile(std::string_view name) override {
    const auto scripted = clientFiles.find(name);
    return scripted != clientFiles.end() ? scripted->second : local_.clientFile(name);
  }

 private:
  void coordinate(const std::string& path, const Accessor& accessor);
  ResourceValues values(const std::map<std::string, ResourceValues>& scripted,
                        const Directory& directory, std::string_view name);

  PosixPlatform local_;
};

}  // namespace brindell
