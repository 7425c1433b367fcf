#pragma once

#include <cstdint>
#include <string_view>

#include "base/byte_buffer.h"
#include "fileio/directory.h"

namespace brindell {

// Reads at most `maximum` bytes of the regular file `name` of a held
// directory, which must have exactly one link. The item is checked with
// validateItem, then opened relative to the directory without following a
// link and without blocking (a FIFO swapped in returns at once and is
// refused as not regular). The size is checked with fstat before any byte
// is read, and the file is read into a buffer of its size plus one byte, so
// that one that keeps its size takes one read and the end of file; at most
// maximum + 1 bytes are ever read, and reads are retried on EINTR. Throws
// SyncFailure:
//   validateItem's failures;
//   Code::io for a failed open, fstat or read (the open's message names the
//     file);
//   Code::unsafePath when it is not a regular file with one link, or not
//     the user's own and writable by nobody else (requireOwnItem);
//   Code::capacity when it is larger than `maximum`, before reading or when
//     it grew.
ByteBuffer boundedBytes(const Directory& directory, std::string_view name, std::int64_t maximum);

}  // namespace brindell
