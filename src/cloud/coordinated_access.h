#pragma once

#include <functional>
#include <optional>
#include <string>
#include <type_traits>
#include <utility>

#include "cloud/platform.h"
#include "request/sync_failure.h"

namespace brindell {

namespace detail {
// Runs one coordinate call whose accessor stores the body's outcome, then
// decides: the body's error or value wins; otherwise the coordinator's error;
// otherwise `incomplete` ("SYNC_IO"). `coordinate` receives the accessor to
// pass on and returns the coordinator's error slot.
void runCoordinated(
    const std::function<std::optional<PlatformError>(const Platform::Accessor&)>& coordinate,
    const std::string& requestedPath, const std::function<void(const std::string&)>& body,
    const char* incomplete);
SyncFailure folderMovedFailure();
}  // namespace detail

namespace detail {
using Coordinate = std::function<std::optional<PlatformError>(const Platform::Accessor&)>;

// Carries the body's value, of whatever type, out of the accessor.
template <typename Body>
auto coordinated(const Coordinate& coordinate, const std::string& path, Body& body)
    -> decltype(body(path)) {
  using Result = decltype(body(path));
  constexpr const char* incomplete = "Coordinated file access did not complete. Retry sync.";
  if constexpr (std::is_void_v<Result>) {
    runCoordinated(
        coordinate, path, [&](const std::string& handed) { body(handed); }, incomplete);
  } else {
    std::optional<Result> result;
    runCoordinated(
        coordinate, path, [&](const std::string& handed) { result.emplace(body(handed)); },
        incomplete);
    return std::move(*result);
  }
}
}  // namespace detail

// Runs `body` on the item inside a coordinated read (metadata only when asked)
// and returns its value. The body receives the path the coordinator hands
// over; if that is not the requested path the item moved, the body does not
// run and "SYNC_FOLDER_MOVED" is thrown. The body's error passes through
// unchanged, so does the coordinator's; a call that ran neither ends in
// "SYNC_IO" "Coordinated file access did not complete. Retry sync."
template <typename Body>
auto coordinatedRead(Platform& platform, const std::string& path, bool metadataOnly, Body&& body)
    -> decltype(body(path)) {
  const int options = metadataOnly ? readingImmediatelyAvailableMetadataOnly : 0;
  return detail::coordinated(
      [&](const Platform::Accessor& accessor) {
        return platform.coordinateReading(path, options, accessor);
      },
      path, body);
}

// As coordinatedRead, inside a coordinated write of the item.
template <typename Body>
auto coordinatedWrite(Platform& platform, const std::string& path, Body&& body)
    -> decltype(body(path)) {
  return detail::coordinated(
      [&](const Platform::Accessor& accessor) {
        return platform.coordinateWriting(path, 0, accessor);
      },
      path, body);
}

}  // namespace brindell
