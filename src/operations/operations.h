#pragma once

#include <optional>
#include <string>

#include "cloud/platform.h"
#include "json/json_document.h"
#include "json/json_value.h"

namespace brindell {

// A request as dispatch read it, each member checked for presence and type
// in the order the answers depend on. What an operation does not use is left
// empty.
struct Request {
  // The folder dispatch opened and holds: for create the parent, otherwise
  // the sync folder. Operations reach the disk only through it.
  Directory folder;
  std::string name;                 // read, publish: a history file name
  std::string workspaceId;          // create: non-empty, not yet checked further
  std::optional<JsonView> content;  // publish: the member as sent, if any
};

// The four operations. Each returns the result object or throws SyncFailure
// (a platform's failure among them, Code::io).

// Makes "Brindell-" + workspaceId + ".brindell-sync" in the parent, holding
// only the manifest, or confirms an existing folder of the same workspace.
JsonValue create(Platform& platform, const Request& request);

// Reports the manifest, the history files and the folder's cloud flags.
JsonValue list(Platform& platform, const Request& request);

// Returns the history file's object.
JsonValue read(Platform& platform, const Request& request);

// Adds the immutable history file `name` holding the request's content.
JsonValue publish(Platform& platform, const Request& request);

}  // namespace brindell
