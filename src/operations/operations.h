#pragma once

#include <string>

#include "cloud/platform.h"
#include "fileio/json_document.h"
#include "fileio/json_value.h"

namespace brindell {

// The four operations. Each receives the request and the folder that
// dispatch opened and holds (for create, the parent), works only through
// that descriptor, and returns the result object or throws SyncFailure /
// PlatformError.

// Makes "Brindell-" + workspaceId + ".brindell-sync" in `parent`, holding
// only the manifest, or confirms an existing folder of the same workspace.
JsonValue create(Platform& platform, const JsonObject& request, const Directory& parent);

// Reports the manifest, the history files and the folder's cloud flags.
JsonValue list(Platform& platform, const Directory& folder);

// Returns the history file's object.
JsonValue read(Platform& platform, const Directory& folder, const std::string& name);

// Adds the immutable history file `name` holding the request's "content".
JsonValue publish(Platform& platform, const JsonObject& request, const Directory& folder,
                  const std::string& name);

}  // namespace brindell
