#pragma once

#include <array>
#include <string>
#include <string_view>

#include "cloud/platform.h"
#include "json/json_value.h"

namespace brindell {

// Serves one request: reads it from `input` (at most maximumRequestBytes, in
// 64 KiB reads), parses it, executes it, and writes the canonical envelope plus
// a line feed to `output`. Returns the exit status: 0 exactly when a success
// envelope was written in full, 1 otherwise. Nothing else is ever written.
int serveRequest(Platform& platform, int input, int output);

// The success answer for `result` (envelope and line feed), as pieces to be
// written in order. A result that is a whole stored document in canonical form
// is answered around the document's own bytes, which stay valid as long as
// `result` does; anything else is encoded into `scratch`, which must be empty.
std::array<std::string_view, 3> successAnswer(const JsonValue& result, std::string& scratch);

}  // namespace brindell
