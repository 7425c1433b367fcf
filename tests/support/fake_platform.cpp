#include "support/fake_platform.h"

#include <algorithm>

#include "base/names.h"

namespace brindell {

void FakePlatform::coordinate(const std::string& path, const Accessor& accessor) {
  const auto scripted = coordinations.find(path);
  const Coordination coordination =
      scripted == coordinations.end() ? Coordination{} : scripted->second;
  if (coordination.outcome == Outcome::failWithoutRunning) throw PlatformError{coordination.error};
  if (coordination.outcome == Outcome::returnWithoutRunning) return;
  accessor(coordination.handedPath.value_or(path));
  if (coordination.outcome == Outcome::runAndFail) throw PlatformError{coordination.error};
}

void FakePlatform::coordinateReading(const Directory& directory, std::string_view name, int options,
                                     const Accessor& accessor) {
  const std::string path = directory.pathOf(name);
  coordinateCalls.push_back({Kind::reading, path, options, ""});
  coordinate(path, accessor);
}

void FakePlatform::coordinateWriting(const Directory& directory, std::string_view name, int options,
                                     const Accessor& accessor) {
  const std::string path = directory.pathOf(name);
  coordinateCalls.push_back({Kind::writing, path, options, ""});
  coordinate(path, accessor);
}

void FakePlatform::coordinateReadingAndWriting(const Directory& folder,
                                               std::string_view readingName, int,
                                               int writingOptions,
                                               const ReadingWritingAccessor& accessor) {
  const std::string readingPath = folder.pathOf(readingName), writingPath = folder.path;
  coordinateCalls.push_back({Kind::readingAndWriting, writingPath, writingOptions, readingPath});
  const auto scripted = coordinations.find(writingPath);
  const std::string handedReading = scripted == coordinations.end()
                                        ? readingPath
                                        : scripted->second.handedReadingPath.value_or(readingPath);
  coordinate(writingPath,
             [&](const std::string& handedWriting) { accessor(handedReading, handedWriting); });
}

ResourceValues FakePlatform::values(const std::map<std::string, ResourceValues>& scripted,
                                    const Directory& directory, std::string_view name) {
  const std::string path = directory.pathOf(name);
  if (const auto error = fetchErrors.find(path); error != fetchErrors.end()) {
    throw PlatformError{error->second};
  }
  const auto values = scripted.find(path);
  return values != scripted.end() ? values->second : local_.resourceValues(directory, name);
}

ResourceValues FakePlatform::promisedResourceValues(const Directory& directory,
                                                    std::string_view name) {
  return values(promisedValues, directory, name);
}

ResourceValues FakePlatform::resourceValues(const Directory& directory, std::string_view name) {
  return values(plainValues, directory, name);
}

std::size_t FakePlatform::unresolvedConflictVersionCount(const Directory& directory,
                                                         std::string_view name) {
  const auto scripted = conflictVersions.find(directory.pathOf(name));
  return scripted == conflictVersions.end() ? 0 : scripted->second;
}

void FakePlatform::startDownloading(const Directory& directory, std::string_view name) {
  const std::string path = directory.pathOf(name);
  downloadRequests.push_back(path);
  if (const auto refusal = downloadRefusals.find(path); refusal != downloadRefusals.end()) {
    throw PlatformError{refusal->second};
  }
}

bool FakePlatform::enumerateDirectory(const Directory& folder, const EntryVisitor& visit) {
  const auto scripted = enumerations.find(folder.path);
  const Enumeration script = scripted == enumerations.end() ? Enumeration{} : scripted->second;
  if (script.unavailable) return false;

  std::vector<std::string> names;
  if (script.names) {
    names = *script.names;
  } else {
    // Sorted, so that tests do not depend on the file system's order.
    const bool opened = local_.enumerateDirectory(
        folder, [&](const std::string& entry) { names.push_back(entry); });
    if (!opened) return false;
    std::sort(names.begin(), names.end());
  }

  // An error scripted past the last entry is delivered at the end.
  const std::size_t errorAt =
      script.errorAfter ? std::min(*script.errorAfter, names.size()) : names.size() + 1;
  for (std::size_t i = 0; i <= names.size(); ++i) {
    if (i == errorAt) throw PlatformError{script.error};
    if (i < names.size()) visit(names[i]);
  }
  return true;
}

}  // namespace brindell
