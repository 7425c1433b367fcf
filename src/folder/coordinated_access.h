#pragma once

#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>

#include "base/sync_failure.h"
#include "cloud/platform.h"

namespace brindell {

namespace detail {
// What the platform's accessor calls: told whether the item moved.
using Guard = std::function<void(bool moved)>;
using Coordinate = std::function<void(const Guard&)>;

// Runs one coordinate call and decides its outcome. The body runs at most
// once, and only when the item did not move (Code::folderMoved otherwise),
// even if the coordinator calls its accessor again. Then: the body's error
// or completion wins; otherwise the coordinator's error; otherwise
// `incomplete` (Code::io).
void runCoordinated(const Coordinate& coordinate, const std::function<void()>& body,
                    const char* incomplete);

// Carries the body's value, of whatever type, out of the coordination.
template <typename Body>
auto coordinated(const Coordinate& coordinate, Body& body, const char* incomplete)
    -> decltype(body()) {
  using Result = decltype(body());
  if constexpr (std::is_void_v<Result>) {
    runCoordinated(coordinate, body, incomplete);
  } else {
    std::optional<Result> result;
    runCoordinated(
        coordinate, [&] { result.emplace(body()); }, incomplete);
    return std::move(*result);
  }
}

inline constexpr const char* accessIncomplete =
    "Coordinated file access did not complete. Retry sync.";
}  // namespace detail

// Runs `body` inside a coordinated read (metadata only when asked) of the item
// `name` of the held directory ("" for the directory itself) and returns its
// value. The body works through the held directory; if the path the
// coordinator hands over is not the item's path, the item moved, the body
// does not run and Code::folderMoved is thrown. The body's error passes
// through unchanged, so does the coordinator's; a call that ran neither ends
// in Code::io.
template <typename Body>
auto coordinatedRead(Platform& platform, const Directory& directory, std::string_view name,
                     bool metadataOnly, Body&& body) -> decltype(body()) {
  const int options = metadataOnly ? readingImmediatelyAvailableMetadataOnly : 0;
  const std::string requested = directory.pathOf(name);
  return detail::coordinated(
      [&](const detail::Guard& guard) {
        platform.coordinateReading(directory, name, options,
                                   [&](const std::string& handed) { guard(handed != requested); });
      },
      body, detail::accessIncomplete);
}

// As coordinatedRead, inside a coordinated write of the item.
template <typename Body>
auto coordinatedWrite(Platform& platform, const Directory& directory, std::string_view name,
                      Body&& body) -> decltype(body()) {
  const std::string requested = directory.pathOf(name);
  return detail::coordinated(
      [&](const detail::Guard& guard) {
        platform.coordinateWriting(directory, name, 0,
                                   [&](const std::string& handed) { guard(handed != requested); });
      },
      body, detail::accessIncomplete);
}

}  // namespace brindell
