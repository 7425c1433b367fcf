#pragma once

#include <string>
#include <string_view>

#include "cloud/platform.h"
#include "json/json_document.h"
#include "json/json_value.h"

namespace brindell {

// Reads the request into its typed form in a fixed order (operation field,
// folder field, folder text, root, folder path, operation name, then the
// operation's own members) and runs the operation it names. Returns the
// operation's result; throws SyncFailure. Changes nothing
// itself.
JsonValue execute(Platform& platform, const JsonObject& request);

// The non-empty string member `key` of `object` (not trimmed). Throws
// SyncFailure Code::invalidRequest when the member is missing, not a string,
// or empty.
std::string requiredString(JsonView object, std::string_view key);

}  // namespace brindell
