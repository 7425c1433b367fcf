#pragma once

#include "cloud/platform.h"

namespace brindell {

// Serves one request: reads it from `input` (at most maximumRequestBytes, in
// 64 KiB reads), parses it, executes it, and writes the canonical envelope plus
// a line feed to `output`. Returns the exit status: 0 exactly when a success
// envelope was written in full, 1 otherwise. Nothing else is ever written.
int serveRequest(Platform& platform, int input, int output);

}  // namespace brindell
