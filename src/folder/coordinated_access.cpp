#include "folder/coordinated_access.h"

#include <exception>
#include <optional>

namespace brindell {
namespace detail {

void runCoordinated(const Coordinate& coordinate, const std::function<void()>& body,
                    const char* incomplete) {
  std::exception_ptr bodyError;
  bool bodyReturned = false;
  const Guard guard = [&](bool moved) {
    if (bodyError || bodyReturned) return;
    // No error may leave the accessor: the coordinator is platform code.
    try {
      if (moved) {
        throw SyncFailure{Code::folderMoved,
                          "The sync folder moved during access. Reconnect its new location "
                          "before retrying."};
      }
      body();
      bodyReturned = true;
    } catch (...) {
      bodyError = std::current_exception();
    }
  };

  // What escapes the coordinate call is the coordinator's own failure: the
  // guard keeps every error of the body.
  std::optional<SyncFailure> coordinatorError;
  try {
    coordinate(guard);
  } catch (const SyncFailure& error) {
    coordinatorError = error;
  }
  // The body's outcome wins over the coordinator's error, and a body that
  // never ran is never taken for a success.
  if (bodyError) std::rethrow_exception(bodyError);
  if (bodyReturned) return;
  if (coordinatorError) throw *coordinatorError;
  throw SyncFailure{Code::io, incomplete};
}

}  // namespace detail
}  // namespace brindell
