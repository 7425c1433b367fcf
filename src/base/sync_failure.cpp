#include "base/sync_failure.h"

#include <cstring>

namespace brindell {

std::string_view codeText(Code code) {
  static constexpr std::string_view texts[] = {"SYNC_INVALID_REQUEST",
                                               "SYNC_INVALID_FILE",
                                               "SYNC_UNSAFE_PATH",
                                               "SYNC_MISSING",
                                               "SYNC_IO",
                                               "SYNC_CAPACITY",
                                               "SYNC_WORKSPACE_MISMATCH",
                                               "SYNC_FOLDER_MOVED",
                                               "SYNC_DOWNLOAD_PENDING",
                                               "SYNC_FILE_CONFLICT",
                                               "SYNC_FOLDER_CONTENTS",
                                               "SYNC_UPLOAD_FAILED",
                                               "SYNC_DOWNLOAD_FAILED",
                                               "SYNC_EXCLUDED",
                                               "SYNC_IMMUTABLE_CONFLICT",
                                               "SYNC_UNSUPPORTED_MANIFEST"};
  return texts[static_cast<std::size_t>(code)];
}

SyncFailure platformFailure(std::string_view description) {
  std::string message = "Sync folder access failed: ";
  message += description;
  message += " Local workspace data is unchanged.";
  return SyncFailure{Code::io, std::move(message)};
}

SyncFailure platformFailure(std::string_view phrase, int error) {
  std::string description(phrase);
  description += ": ";
  description += std::strerror(error);
  description += ".";
  return platformFailure(description);
}

SyncFailure posixFailure(std::string_view operation, int error) {
  std::string message(operation);
  message += ": ";
  message += std::strerror(error);
  message += ". Local workspace data is unchanged.";
  return SyncFailure{Code::io, std::move(message)};
}

}  // namespace brindell
