#pragma once

#include <sys/stat.h>
#include <sys/types.h>
#include <sys/uio.h>

#include <cerrno>  // the error numbers every call answers with
#include <cstddef>
#include <functional>
#include <string>
#include <string_view>

#include "base/file_descriptor.h"

namespace brindell {

// The one door through which the helper touches the disk and its own
// streams: every open, read, write, flush, link, rename, removal, lock,
// attribute and directory read goes through it. The POSIX implementation
// serves the helper; tests put a wrapper in front of it that counts calls and
// fails chosen ones, so that every branch that handles a failure runs in the
// unit tests, under the sanitizers and in coverage.
//
// One convention for every call: it answers 0 when it succeeded, otherwise
// the error number the system gave (never 0), and fills its out-parameters
// only on success. A call interrupted by a signal is made again.
// Descriptors and names are the system's own: `directory` is a descriptor
// names are resolved relative to (AT_FDCWD for the working directory), and
// `flags` are open(2)'s.
class FileSystem {
 public:
  virtual ~FileSystem() = default;

  // Opens `name` relative to `directory`; `mode` is used when it is created.
  virtual int open(int directory, const std::string& name, int flags, mode_t mode,
                   FileDescriptor& opened) = 0;
  // Opens the directory at the absolute `path` in one call that refuses a
  // symbolic link anywhere on it (ELOOP), as an O_PATH descriptor. ENOSYS
  // where the kernel, or a sandbox in front of it, offers no such call.
  virtual int openDirectoryResolved(const std::string& path, FileDescriptor& opened) = 0;
  // The status of `name` relative to `directory` without following a final
  // link, or of `directory` itself when `name` is empty.
  virtual int status(int directory, const std::string& name, struct stat& status) = 0;
  // Reads at most `size` bytes; `count` 0 is the end of the file.
  virtual int read(int file, char* buffer, std::size_t size, std::size_t& count) = 0;
  // Writes from the pieces in order; `count` may fall short of their total.
  virtual int write(int file, const iovec* pieces, int pieceCount, std::size_t& count) = 0;
  // Waits until the stream is ready for `events` (poll(2)'s).
  virtual int wait(int stream, short events) = 0;
  // Flushes the file's data and metadata, or a directory's entries, to
  // stable storage.
  virtual int flush(int file) = 0;
  virtual int makeDirectory(int directory, const std::string& name, mode_t mode) = 0;
  // Unlinks a file, or removes an empty directory when `isDirectory`.
  virtual int remove(int directory, const std::string& name, bool isDirectory) = 0;
  // Renames; when `exclusive`, fails with EEXIST rather than replace.
  virtual int rename(int fromDirectory, const std::string& from, int toDirectory,
                     const std::string& to, bool exclusive) = 0;
  // Gives what the open descriptor `file` holds the name `to`, following the
  // descriptor's own name in /proc (an unnamed file included); EEXIST rather
  // than replace.
  virtual int linkDescriptor(int file, int toDirectory, const std::string& to) = 0;
  // flock(2) with `operation`.
  virtual int lock(int file, int operation) = 0;
  virtual int duplicate(int file, FileDescriptor& copy) = 0;
  // Extended attributes of an open file; a value longer than `maximumSize`
  // fails with ERANGE.
  virtual int readAttribute(int file, const char* name, std::size_t maximumSize,
                            std::string& value) = 0;
  virtual int writeAttribute(int file, const char* name, std::string_view value) = 0;
  // Where the open descriptor `file` is now, as /proc names it.
  virtual int descriptorTarget(int file, std::string& path) = 0;
  // Whether the open descriptor `file` can be reached by name through /proc,
  // which some sandboxes leave out.
  virtual int descriptorReachable(int file) = 0;
  // Calls `visit` with each entry of `directory`, a descriptor opened for
  // reading that the call takes and closes ("." and ".." aside), until it
  // answers false. The reading starts at `*position` (a
  // stream position, 0 for the beginning) and leaves there where a later
  // reading goes on: after the last entry visited, or 0 at the end. An error
  // ends the reading: a directory stream cannot be read past one.
  virtual int readEntries(FileDescriptor directory, long& position,
                          const std::function<bool(std::string_view name)>& visit) = 0;
};

// The file system every part of the helper uses: the POSIX one, unless a
// test has put another in its place.
FileSystem& fileSystem();

// Puts `replacement` in the POSIX one's place (nullptr puts the POSIX one
// back) and returns what was there. Only tests call it, before the helper's
// code runs.
FileSystem* replaceFileSystem(FileSystem* replacement);

// The POSIX implementation, for a replacement that forwards to it.
FileSystem& posixFileSystem();

}  // namespace brindell
