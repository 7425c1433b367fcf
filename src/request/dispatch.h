#pragma once

#include "cloud/platform.h"
#include "fileio/json_document.h"
#include "fileio/json_value.h"

namespace brindell {

// Checks the request in a fixed order (operation field, folder field, folder
// text, root, folder path, operation name, history file name) and runs the
// operation it names. Returns the operation's result; throws SyncFailure or
// PlatformError. Changes nothing itself.
JsonValue execute(Platform& platform, const JsonObject& request);

}  // namespace brindell
