#include "folder/client_items.h"

#include <algorithm>
#include <functional>
#include <optional>

#include "base/limits.h"
#include "base/names.h"
#include "base/sync_failure.h"
#include "folder/manifest.h"

namespace brindell {
namespace {

// A listing refuses a folder with more entries than this, so a search for
// one entry need not look further.
constexpr std::int64_t maximumSearchedEntries = maximumFiles + 2 + maximumClientMetadataEntries;

bool isFolderItem(const std::string& name) {
  return name == manifestFileName || isHistoryFileName(name);
}

bool standsFor(const ClientFile& file, ClientFileKind kind, const std::string& item) {
  return file.kind == kind &&
         std::find(file.items.begin(), file.items.end(), item) != file.items.end();
}

SyncFailure downloadPending(const std::string& item) {
  return {Code::downloadPending,
          item +
              " is not available yet: the sync client has not finished downloading it. Let the "
              "download complete and retry; the existing workspace will not be replaced."};
}

SyncFailure conflictCopy(const std::string& item, const std::string& copy) {
  return {Code::fileConflict, "A sync client left " + copy + " as a conflicting copy of " + item +
                                  ". Keep both files and resolve the conflict before retrying."};
}

// Shows `judge` the name of every entry of the directory, up to the bound,
// until it throws.
void searchBeside(Platform& platform, const Directory& directory,
                  const std::function<void(const std::string& name)>& judge) {
  std::int64_t searched = 0;
  const bool started = platform.enumerateDirectory(directory, [&](const std::string& name) {
    if (++searched > maximumSearchedEntries) return false;
    judge(name);
    return true;
  });
  if (!started) throw SyncFailure{Code::io, "Cannot list the selected sync folder."};
}

}  // namespace

void refuseClientConflictCopy(Platform& platform, const std::string& name) {
  const ClientFile file = platform.clientFile(name);
  if (file.kind != ClientFileKind::conflictCopy) return;
  const auto item = std::find_if(file.items.begin(), file.items.end(), isFolderItem);
  if (item != file.items.end()) throw conflictCopy(*item, name);
}

void refuseClientDownload(Platform& platform, const Directory& directory, std::string_view item) {
  const std::string name(item);
  searchBeside(platform, directory, [&](const std::string& entry) {
    if (standsFor(platform.clientFile(entry), ClientFileKind::inTransit, name)) {
      throw downloadPending(name);
    }
  });
}

void refuseClientConflict(Platform& platform, const Directory& directory, std::string_view item) {
  const std::string name(item);
  searchBeside(platform, directory, [&](const std::string& entry) {
    if (standsFor(platform.clientFile(entry), ClientFileKind::conflictCopy, name)) {
      throw conflictCopy(name, entry);
    }
  });
}

}  // namespace brindell
