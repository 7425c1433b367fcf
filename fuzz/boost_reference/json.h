// The parser and encoder as they were on Boost.JSON, kept unchanged but for
// their namespace so that json_differential_fuzz can hold the new ones to them.

#pragma once

#include <string>
#include <string_view>

#include "boost_reference/json_document.h"
#include "boost_reference/json_value.h"

namespace brindell::reference {

// The deepest nesting of arrays and objects a JSON text may have.
inline constexpr std::size_t maximumJsonDepth = 1'000;

// Parses bytes that must hold exactly one JSON object (surrounding whitespace
// allowed). The text must be valid UTF-8 JSON with no lone surrogate escapes,
// no raw control characters in strings, no object with the same key twice and
// no nesting deeper than maximumJsonDepth. Numbers keep their literal text
// whatever their size; only one whose decimal exponent, adjusted for its
// digits, leaves the 32-bit range (such as 1e2147483648) is refused.
// Throws SyncFailure "SYNC_INVALID_FILE":
//   "A sync file contains invalid JSON. Preserve it for inspection; local
//    workspace data is unchanged." for anything that is not such a text;
//   "A sync file must contain one JSON object." when the text is valid but its
//    top level is an array.
// Takes the bytes over: the document keeps them. Never recurses without bound.
JsonObject parseObject(std::string bytes);

// The canonical encoding: compact UTF-8 JSON, no whitespace, the members of
// every object sorted by the bytes of their keys, arrays in order, numbers in
// their literal text, strings escaped minimally (\" \\ \b \f \n \r \t, other
// code points below U+0020 as \u00xx in lowercase hex, everything else raw,
// "/" included). A byte sequence in a string that is not valid UTF-8 (only a
// file name can carry one) is written as U+FFFD, so the output is always valid
// UTF-8. Encoding what parsing a canonical encoding gave yields the same bytes.
// Appends to `out`; never throws except std::bad_alloc.
void appendCanonicalJson(std::string& out, JsonView value);
void appendCanonicalJson(std::string& out, const JsonValue& value);

std::string canonicalJson(JsonView value);

// Whether the document's text is byte for byte its own canonical encoding, as
// every file this helper writes is. Found without producing the encoding, so
// such a text can be passed on as it stands instead of being copied.
bool isCanonicalText(const JsonDocument& document);
std::string canonicalJson(const JsonValue& value);

}  // namespace brindell::reference
