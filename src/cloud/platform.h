#pragma once

#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "base/sync_failure.h"
#include "cloud/client_files.h"
#include "fileio/directory.h"

namespace brindell {

// The downloading status of an item whose local copy is the current version.
inline constexpr const char* downloadingStatusCurrent =
    "NSURLUbiquitousItemDownloadingStatusCurrent";

// What the platform knows about one item. Every value may be absent: an
// absent boolean counts as false wherever it is read.
struct ResourceValues {
  std::optional<bool> isRegularFile;
  std::optional<bool> isDirectory;
  std::optional<bool> isSymbolicLink;
  std::optional<bool> isAliasFile;
  std::optional<std::int64_t> fileSize;
  std::optional<bool> isUbiquitousItem;
  std::optional<bool> ubiquitousItemIsUploaded;
  std::optional<bool> ubiquitousItemIsUploading;
  std::optional<std::string> ubiquitousItemDownloadingStatus;
  // Errors are carried as their localized descriptions.
  std::optional<std::string> ubiquitousItemDownloadingError;
  std::optional<std::string> ubiquitousItemUploadingError;
  std::optional<bool> ubiquitousItemHasUnresolvedConflicts;
  std::optional<bool> ubiquitousItemIsExcludedFromSync;
};

// Reading option: only the metadata that is available at once is wanted.
inline constexpr int readingImmediatelyAvailableMetadataOnly = 4;

// Every contact of the helper with file coordination and the cloud drive goes
// through this interface, so that the logic above it runs unchanged on the
// POSIX implementation, on a fake in tests and on a cloud-drive platform.
// Items are named by a held directory and a name inside it; the empty name
// stands for the directory itself. Nothing here creates, moves or removes
// anything: that is done through the held descriptors themselves.
class Platform {
 public:
  using Accessor = std::function<void(const std::string& handedPath)>;
  using ReadingWritingAccessor =
      std::function<void(const std::string& readingPath, const std::string& writingPath)>;
  // Told each entry's name; answers whether to go on.
  using EntryVisitor = std::function<bool(const std::string& name)>;

  virtual ~Platform() = default;

  // Every member reports a failure of the platform by throwing the
  // SyncFailure that platformFailure builds.

  // Coordination. Each call runs the accessor at most once, before it
  // returns, handing it the path at which the item is to be used now
  // (another path, or "", when the item moved while the call waited). A
  // coordination that fails throws; the accessor may or may not have run. An
  // exception thrown by the accessor propagates after the coordination ends.
  virtual void coordinateReading(const Directory& directory, std::string_view name, int options,
                                 const Accessor& accessor) = 0;
  virtual void coordinateWriting(const Directory& directory, std::string_view name, int options,
                                 const Accessor& accessor) = 0;
  // Holds a read coordination of the item `readingName` of `folder` and a
  // write coordination of `folder` itself together while the accessor runs.
  virtual void coordinateReadingAndWriting(const Directory& folder, std::string_view readingName,
                                           int readingOptions, int writingOptions,
                                           const ReadingWritingAccessor& accessor) = 0;

  // Metadata that describes the item even while only its placeholder is
  // local (promised), or of the local item itself.
  virtual ResourceValues promisedResourceValues(const Directory& directory,
                                                std::string_view name) = 0;
  virtual ResourceValues resourceValues(const Directory& directory, std::string_view name) = 0;
  // How many unresolved conflict versions the version store holds for the
  // item (no answer counts as none).
  virtual std::size_t unresolvedConflictVersionCount(const Directory& directory,
                                                     std::string_view name) = 0;
  // Asks the cloud drive to download the item; does not wait for it.
  // Throws when the request is refused.
  virtual void startDownloading(const Directory& directory, std::string_view name) = 0;

  // Enumerates the direct entries of a folder (hidden ones included, none of
  // their descendants), calling `visit` with each entry's name until it
  // answers false. Returns false, without an error, when the platform could
  // start no enumeration at all; an error met while enumerating ends it and
  // is thrown. An exception thrown by `visit` ends the enumeration and
  // propagates.
  virtual bool enumerateDirectory(const Directory& folder, const EntryVisitor& visit) = 0;

  // What a sync client that shares the folder means by an entry of this name
  // (its metadata, an item in transit or a conflict copy), judged by the name
  // alone; ClientFileKind::none where no such client keeps its state in files.
  virtual ClientFile clientFile(std::string_view name) = 0;
};

}  // namespace brindell
