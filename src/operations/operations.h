#pragma once

#include <string>

#include "cloud/platform.h"
#include "fileio/json_document.h"
#include "fileio/json_value.h"

namespace brindell {

// The four operations. Each receives the request and the folder path that
// dispatch already validated, returns the result object or throws
// SyncFailure / PlatformError.

// Makes "Brindell-" + workspaceId + ".brindell-sync" in `parent`, holding
// only the manifest, or confirms an existing folder of the same workspace.
JsonValue create(Platform& platform, const JsonObject& request, const std::string& parent);

// Reports the manifest, the history files and the folder's cloud flags.
JsonValue list(Platform& platform, const std::string& folder);

// Returns the history file's object.
JsonValue read(Platform& platform, const std::string& folder, const std::string& name);

// Adds the immutable history file `name` holding the request's "content".
JsonValue publish(Platform& platform, const JsonObject& request, const std::string& folder,
                  const std::string& name);

}  // namespace brindell
