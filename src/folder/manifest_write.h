#pragma once

#include <functional>
#include <string>

#include "cloud/platform.h"

namespace brindell {

// Runs `body` on the folder only while the folder's manifest, read under the
// same coordination, names `expectedWorkspaceId`: one coordinated access
// holds a read of "manifest.json" and a write of the folder together. Inside
// it, in order: both handed paths must be the requested ones
// (Code::folderMoved, which also shows the held folder is still the one
// at its path); the manifest's
// cloud state (conflict versions included) passes; a manifest still
// downloading fails (Code::downloadPending); the manifest is read (at most
// 4,096 bytes), parsed and validated; a manifest of another workspace fails
// (Code::workspaceMismatch). Returns the body's value; its error passes
// through unchanged, as does the coordinator's. A call that ran neither ends
// in Code::io.
bool coordinatedManifestWrite(Platform& platform, const Directory& folder,
                              const std::string& expectedWorkspaceId,
                              const std::function<bool()>& body);

}  // namespace brindell
