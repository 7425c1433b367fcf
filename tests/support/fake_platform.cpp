#include "support/fake_platform.h"

#include <algorithm>

#include "validation/paths.h"

namespace brindell {

std::optional<PlatformError> FakePlatform::coordinate(const std::string& path,
                                                      const Accessor& accessor) {
  const auto scripted = coordinations.find(path);
  const Coordination coordination =
      scripted == coordinations.end() ? Coordination{} : scripted->second;
  if (coordination.outcome == Outcome::failWithoutRunning) {
    return PlatformError{coordination.error};
  }
  if (coordination.outcome == Outcome::returnWithoutRunning) return std::nullopt;
  accessor(coordination.handedPath.value_or(path));
  if (coordination.outcome == Outcome::runAndFail) return PlatformError{coordination.error};
  return std::nullopt;
}

std::optional<PlatformError> FakePlatform::coordinateReading(const std::string& path, int options,
                                                             const Accessor& accessor) {
  coordinateCalls.push_back({Kind::reading, path, options, ""});
  return coordinate(path, accessor);
}

std::optional<PlatformError> FakePlatform::coordinateWriting(const std::string& path, int options,
                                                             const Accessor& accessor) {
  coordinateCalls.push_back({Kind::writing, path, options, ""});
  return coordinate(path, accessor);
}

std::optional<PlatformError> FakePlatform::coordinateReadingAndWriting(
    const std::string& readingPath, int, const std::string& writingPath, int writingOptions,
    const ReadingWritingAccessor& accessor) {
  coordinateCalls.push_back({Kind::readingAndWriting, writingPath, writingOptions, readingPath});
  const auto scripted = coordinations.find(writingPath);
  const std::string handedReading = scripted == coordinations.end()
                                        ? readingPath
                                        : scripted->second.handedReadingPath.value_or(readingPath);
  return coordinate(writingPath, [&](const std::string& handedWriting) {
    accessor(handedReading, handedWriting);
  });
}

ResourceValues FakePlatform::values(const std::map<std::string, ResourceValues>& scripted,
                                    const std::string& path) {
  if (const auto error = fetchErrors.find(path); error != fetchErrors.end()) {
    throw PlatformError{error->second};
  }
  const auto values = scripted.find(path);
  return values != scripted.end() ? values->second : local_.resourceValues(path);
}

ResourceValues FakePlatform::promisedResourceValues(const std::string& path) {
  return values(promisedValues, path);
}

ResourceValues FakePlatform::resourceValues(const std::string& path) {
  return values(plainValues, path);
}

std::size_t FakePlatform::unresolvedConflictVersionCount(const std::string& path) {
  const auto scripted = conflictVersions.find(path);
  return scripted == conflictVersions.end() ? 0 : scripted->second;
}

void FakePlatform::startDownloading(const std::string& path) {
  downloadRequests.push_back(path);
  if (const auto refusal = downloadRefusals.find(path); refusal != downloadRefusals.end()) {
    throw PlatformError{refusal->second};
  }
}

bool FakePlatform::enumerateDirectory(const std::string& path, const EntryVisitor& visit,
                                      const EnumerationErrorHandler& errorHandler) {
  const auto scripted = enumerations.find(path);
  const Enumeration script = scripted == enumerations.end() ? Enumeration{} : scripted->second;
  if (script.unavailable) return false;

  std::vector<std::string> names;
  if (script.names) {
    names = *script.names;
  } else {
    // Sorted, so that tests do not depend on the file system's order.
    const bool opened = local_.enumerateDirectory(
        path, [&](const std::string& entry) { names.push_back(lastComponent(entry)); },
        [](const PlatformError&) { return false; });
    if (!opened) return false;
    std::sort(names.begin(), names.end());
  }

  // An error scripted past the last entry is delivered at the end.
  const std::size_t errorAt =
      script.errorAfter ? std::min(*script.errorAfter, names.size()) : names.size() + 1;
  for (std::size_t i = 0; i <= names.size(); ++i) {
    if (i == errorAt && !errorHandler(PlatformError{script.error})) return true;
    if (i < names.size()) visit(appendComponent(path, names[i]));
  }
  return true;
}

}  // namespace brindell
