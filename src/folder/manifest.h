#pragma once

#include <string>

#include "json/json_document.h"
#include "json/json_value.h"

namespace brindell {

inline constexpr const char* manifestFileName = "manifest.json";
inline constexpr const char* manifestFormat = "brindell-folder-sync";

// Returns the object unchanged when it is a workspace manifest: exactly the
// keys "format", "version" and "workspaceId"; "format" exactly
// "brindell-folder-sync"; "version" a number (not a boolean) numerically equal
// to 1 (1, 1.0, 1e0); "workspaceId" a lowercase UUID. Otherwise throws
// SyncFailure Code::unsupportedManifest.
const JsonObject& manifestObject(const JsonObject& object);

// The manifest create writes: {"format", "version": 1, "workspaceId"}.
JsonValue buildManifest(const std::string& workspaceId);

// Whether a JSON number literal is numerically equal to 1, exactly (decimal,
// no rounding).
bool numberEqualsOne(std::string_view literal);

}  // namespace brindell
