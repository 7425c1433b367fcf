#pragma once

#include <functional>
#include <string>
#include <string_view>

#include "json/json_document.h"
#include "json/json_value.h"

namespace brindell {

// The deepest nesting of arrays and objects a JSON text may have.
inline constexpr std::size_t maximumJsonDepth = 1'000;

// Parses bytes that must hold exactly one JSON object (surrounding whitespace
// allowed; a byte-order mark is not whitespace). The text must be valid UTF-8
// JSON with no lone surrogate escapes, no raw control characters in strings,
// no object with the same key twice and no nesting deeper than
// maximumJsonDepth. Every number literal of the JSON grammar is accepted and
// keeps its text, whatever its size or exponent (1e2147483648 too).
// Throws SyncFailure Code::invalidFile:
//   "A sync file contains invalid JSON. Preserve it for inspection; local
//    workspace data is unchanged." for anything that is not such a text;
//   "A sync file must contain one JSON object." when the text is valid but its
//    top level is an array.
// Takes the bytes over: the document keeps them unchanged. A text that is its
// own canonical encoding is validated without building nodes; they are built
// when a view first needs them. Never recurses.
JsonObject parseObject(std::string bytes);
JsonObject parseObject(ByteBuffer bytes);

// The canonical encoding: compact UTF-8 JSON, no whitespace, the members of
// every object sorted by the bytes of their keys, arrays in order, numbers in
// their literal text, strings escaped minimally (\" \\ \b \f \n \r \t, other
// code points below U+0020 as \u00xx in lowercase hex, everything else raw,
// "/" included). A byte sequence in a string that is not valid UTF-8 (only a
// file name can carry one) is written as U+FFFD, so the output is always valid
// UTF-8. Encoding what parsing a canonical encoding gave yields the same bytes.
// Appends to `out`; never throws except std::bad_alloc.
void appendCanonicalJson(std::string& out, const JsonValue& value);

std::string canonicalJson(JsonView value);
std::string canonicalJson(const JsonValue& value);

// The smallest piece writeCanonicalJson hands to its sink, but for the last.
inline constexpr std::size_t minimumSinkPieceBytes = 64 * 1024;

// Receives the canonical encoding piece after piece, in order.
using CanonicalJsonSink = std::function<void(std::string_view piece)>;

// Writes the canonical encoding of `value` to `sink` as it is produced, so
// the caller never holds it whole: in pieces of at least minimumSinkPieceBytes
// each except the last, and at least one piece, none empty, as no encoding is
// empty. A piece is valid only during the call that receives it. The text of
// a canonical document's root is mostly handed over where it stands, not
// copied.
// Whatever the sink throws (a failed write; a size bound the caller counts
// and finds passed) ends the encoding at once and propagates; nothing else is
// thrown but std::bad_alloc. The same bytes as canonicalJson(value).
void writeCanonicalJson(JsonView value, const CanonicalJsonSink& sink);

// The length of canonicalJson(value), found by walking the value without
// producing the encoding: only strings with escapes written another way are
// read again. For a caller that must check a size bound before anything else
// and then write the encoding as it is produced. The encoding of a parsed
// value is never longer than the text it was parsed from, so a document
// whose whole text is within the bound needs no count. Throws only
// std::bad_alloc.
std::size_t canonicalSize(JsonView value);

// A bound that canonicalSize(value) never exceeds, found by walking the value
// without reading the text of its strings, as if each were written as it
// stands. For a caller that must only know the encoding is within a limit:
// counting exactly reads every string again that holds escapes. Throws only
// std::bad_alloc.
std::size_t canonicalSizeBound(JsonView value);

}  // namespace brindell
