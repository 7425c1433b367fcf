#include "fileio/private_directory.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <optional>

#include "base/names.h"
#include "base/sync_failure.h"
#include "system/file_system.h"

namespace brindell {
namespace {

// The directory `name` of `base`, made when missing, if it is the user's own
// and private: whoever else could write it could take or replace the lock
// files in it.
std::optional<Directory> ownPrivateChild(const std::string& base, const std::string& name) {
  try {
    const Directory parent = openDirectory(normalizedPath(base));
    const int error = fileSystem().makeDirectory(parent.descriptor.get(), name, 0700);
    if (error != 0 && error != EEXIST) return std::nullopt;
    Directory held = openChildDirectory(parent, name);
    struct stat status;
    if (inspect(held, "", status) == 0 && status.st_uid == ::geteuid() &&
        (status.st_mode & 077) == 0) {
      return held;
    }
  } catch (const SyncFailure&) {
  }
  return std::nullopt;
}

}  // namespace

Directory findPrivateDirectory() {
  std::optional<Directory> found;
  const char* runtime = std::getenv("XDG_RUNTIME_DIR");
  if (runtime != nullptr && runtime[0] == '/') found = ownPrivateChild(runtime, "brindell");
  const std::string name = "brindell-" + std::to_string(::geteuid());
  if (!found) found = ownPrivateChild("/tmp", name);
  if (!found) {
    throw SyncFailure{Code::io, "Cannot coordinate with other helpers: /tmp/" + name +
                                    " is not a private directory of this user. Local workspace "
                                    "data is unchanged."};
  }
  return std::move(*found);
}

const Directory& privateDirectory() {
  static const Directory held = findPrivateDirectory();
  return held;
}

std::string privateEntryName(const Directory& directory, std::string_view ending) {
  std::string name = std::to_string(directory.device) + "-" + std::to_string(directory.inode);
  name += ending;
  return name;
}

}  // namespace brindell
