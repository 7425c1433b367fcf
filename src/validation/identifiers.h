#pragma once

#include <string>
#include <string_view>

#include "fileio/json_document.h"

namespace brindell {

// True exactly for a lowercase UUID in 8-4-4-4-12 hexadecimal form.
bool validID(std::string_view text);

// True exactly for a history file name: a lowercase UUID, "-", 64 lowercase
// hexadecimal digits and ".brindell-history.json", nothing before or after.
bool isHistoryFileName(std::string_view name);

// The non-empty string member `key` of `object` (not trimmed).
// Throws SyncFailure "SYNC_INVALID_REQUEST" "Missing or invalid " + key + "."
// when the member is missing, not a string, or empty.
std::string requiredString(JsonView object, std::string_view key);

}  // namespace brindell
