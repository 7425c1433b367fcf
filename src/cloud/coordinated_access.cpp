#include "cloud/coordinated_access.h"

#include <exception>

namespace brindell {
namespace detail {

void runCoordinated(
    const std::function<std::optional<PlatformError>(const Platform::Accessor&)>& coordinate,
    const std::string& requestedPath, const std::function<void(const std::string&)>& body,
    const char* incomplete) {
  // A copy: the comparison must hold against what was asked for, whatever
  // happens to the caller's string while the coordinator waits.
  const std::string requested = requestedPath;
  std::exception_ptr bodyError;
  bool bodyReturned = false;
  const Platform::Accessor accessor = [&](const std::string& handed) {
    // The result is filled at most once, even by a coordinator that calls
    // the accessor again.
    if (bodyError || bodyReturned) return;
    if (handed != requested) {
      bodyError = std::make_exception_ptr(folderMovedFailure());
      return;
    }
    // No error may leave the accessor: the coordinator is platform code.
    try {
      body(handed);
      bodyReturned = true;
    } catch (...) {
      bodyError = std::current_exception();
    }
  };

  const std::optional<PlatformError> coordinatorError = coordinate(accessor);
  // The body's outcome wins over the coordinator's error, and a body that
  // never ran is never taken for a success.
  if (bodyError) std::rethrow_exception(bodyError);
  if (bodyReturned) return;
  if (coordinatorError) throw *coordinatorError;
  throw SyncFailure{"SYNC_IO", incomplete};
}

SyncFailure folderMovedFailure() {
  return SyncFailure{"SYNC_FOLDER_MOVED",
                     "The sync folder moved during access. Reconnect its new location before "
                     "retrying."};
}

}  // namespace detail
}  // namespace brindell
