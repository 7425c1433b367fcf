#include "request/dispatch.h"

#include "fileio/directory.h"
#include "operations/operations.h"
#include "request/limits.h"
#include "request/sync_failure.h"
#include "validation/identifiers.h"
#include "validation/paths.h"

namespace brindell {
namespace {

// Refuses folder text that is relative, holds a NUL, is too long, or has a
// "." or ".." component: such a path could lead somewhere other than the
// folder the user chose.
void checkFolderText(std::string_view folder) {
  bool safe = !folder.empty() && folder.front() == '/' &&
              folder.find('\0') == std::string_view::npos &&
              folder.size() <= maximumFolderPathBytes;
  if (safe) {
    for (const std::string& component : pathComponents(folder)) {
      if (component == "." || component == "..") safe = false;
    }
  }
  if (!safe) {
    throw SyncFailure{"SYNC_UNSAFE_PATH",
                      "Select an absolute folder path without traversal components."};
  }
}

}  // namespace

JsonValue execute(Platform& platform, const JsonObject& request) {
  const JsonView fields = request.view();
  // "op" is the older spelling; it is consulted only when "operation" is
  // absent, so an invalid "operation" is never masked by a valid "op".
  const char* operationKey = fields.find("operation") ? "operation" : "op";
  const std::string operation = requiredString(fields, operationKey);
  const std::string folderText = requiredString(fields, "folder");
  checkFolderText(folderText);
  const std::string folder = normalizedPath(folderText);
  if (folder == "/") {
    throw SyncFailure{"SYNC_UNSAFE_PATH",
                      "Select a dedicated folder rather than the filesystem root."};
  }
  // Opened once, without links, and held: everything the operation does
  // goes through this descriptor, never through the path again.
  const Directory held = openDirectory(folder);

  if (operation == "create") return create(platform, request, held);
  if (operation == "list") return list(platform, held);
  if (operation != "read" && operation != "publish") {
    throw SyncFailure{"SYNC_INVALID_REQUEST",
                      "Supported operations are create, list, read, and publish."};
  }
  const std::string name = requiredString(fields, "name");
  if (!isHistoryFileName(name)) {
    throw SyncFailure{"SYNC_UNSAFE_PATH", "Invalid immutable history filename."};
  }
  if (operation == "publish") return publish(platform, request, held, name);
  return read(platform, held, name);
}

}  // namespace brindell
