#pragma once

#include <string>
#include <string_view>

namespace brindell {

// The one refusal record of the helper. Every check throws one of these the
// moment it fails; the request cycle turns it into the response's "error"
// object without looking inside. `code` is one of the fixed "SYNC_..."
// identifiers the application switches on; `message` is a complete sentence the
// application shows to the user as it stands.
struct SyncFailure {
  std::string code;
  std::string message;
};

// Builds the "SYNC_IO" failure for a system call that just failed:
// operation + ": " + strerror(error) + ". Local workspace data is unchanged."
// `operation` is a phrase such as "Cannot read manifest.json", without final
// punctuation. Call it right after the failing call (before any close) so that
// errno is still the failing call's. Never throws.
SyncFailure posixFailure(std::string_view operation);
SyncFailure posixFailure(std::string_view operation, int error);

}  // namespace brindell
