#include "request/dispatch.h"

#include "base/limits.h"
#include "base/names.h"
#include "base/sync_failure.h"
#include "fileio/directory.h"
#include "operations/operations.h"

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
    throw SyncFailure{Code::unsafePath,
                      "Select an absolute folder path without traversal components."};
  }
}

}  // namespace

std::string requiredString(JsonView object, std::string_view key) {
  const std::optional<JsonView> member = object.find(key);
  if (!member || !member->isString() || member->text().empty()) {
    throw SyncFailure{Code::invalidRequest, "Missing or invalid " + std::string(key) + "."};
  }
  return std::string(member->text());
}

JsonValue execute(Platform& platform, const JsonObject& object) {
  const JsonView fields = object.view();
  // "op" is the older spelling; it is consulted only when "operation" is
  // absent, so an invalid "operation" is never masked by a valid "op".
  const char* operationKey = fields.find("operation") ? "operation" : "op";
  const std::string operation = requiredString(fields, operationKey);
  const std::string folderText = requiredString(fields, "folder");
  checkFolderText(folderText);
  const std::string folder = normalizedPath(folderText);
  if (folder == "/") {
    throw SyncFailure{Code::unsafePath,
                      "Select a dedicated folder rather than the filesystem root."};
  }
  Request request;
  // Opened once, without links, and held: everything the operation does
  // goes through this descriptor, never through the path again.
  request.folder = openDirectory(folder);

  if (operation == "create") {
    request.workspaceId = requiredString(fields, "workspaceId");
    return create(platform, request);
  }
  if (operation == "list") return list(platform, request);
  if (operation != "read" && operation != "publish") {
    throw SyncFailure{Code::invalidRequest,
                      "Supported operations are create, list, read, and publish."};
  }
  request.name = requiredString(fields, "name");
  if (!isHistoryFileName(request.name)) {
    throw SyncFailure{Code::unsafePath, "Invalid immutable history filename."};
  }
  if (operation == "read") {
    return read(platform, request);
  }
  request.content = fields.find("content");
  return publish(platform, request);
}

}  // namespace brindell
