#pragma once

#include <string>

namespace brindell {

// An error of the platform (coordination, metadata, download requests,
// directory creation, serialisation) that no check turned into a SyncFailure.
// It travels up unchanged and the request cycle reports it as Code::io with
// "Sync folder access failed: " + description + " Local workspace data is
// unchanged.", so `description` is one or more complete sentences.
struct PlatformError {
  std::string description;
};

}  // namespace brindell
