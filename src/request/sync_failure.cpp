#include "request/sync_failure.h"

#include <cerrno>
#include <cstring>

namespace brindell {

SyncFailure posixFailure(std::string_view operation) {
  return posixFailure(operation, errno);
}

SyncFailure posixFailure(std::string_view operation, int error) {
  std::string message(operation);
  message += ": ";
  message += std::strerror(error);
  message += ". Local workspace data is unchanged.";
  return SyncFailure{"SYNC_IO", std::move(message)};
}

}  // namespace brindell
