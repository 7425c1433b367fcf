#pragma once

#include <cstddef>
#include <string>
#include <string_view>

// The text inside JSON strings: UTF-8, escapes, and finding where plain text
// ends. Shared by parsing, which validates, and encoding, which rewrites.

namespace brindell {

// The UTF-8 sequence that starts at `p` (p < end): its length, and whether it
// is well formed (no overlong form, no surrogate, nothing above U+10FFFF). For
// an ill-formed one the length is that of its maximal subpart: the longest
// prefix that could still have begun a valid sequence, at least one byte.
// Replacing each such subpart by one U+FFFD is the practice Unicode
// recommends, so other decoders agree on the number of replacements.
struct Utf8Sequence {
  std::size_t length;
  bool valid;
};
Utf8Sequence utf8SequenceAt(const unsigned char* p, const unsigned char* end);

// Whether all of `text` is well-formed UTF-8 in the sense above. Vectorised
// where the processor allows, since every parsed text passes through it whole.
bool isValidUtf8(std::string_view text);

// Writes the UTF-8 encoding of a Unicode scalar value to `out` (room for four
// bytes) and returns its length.
std::size_t encodeUtf8(char32_t codePoint, char* out);

// The escape that starts with the backslash at `p`, inside a string whose
// text ends before `end`: the bytes it takes and the code point it stands
// for. A high surrogate escape takes the low surrogate escape that must follow
// it, twelve bytes in all. Length 0 when it is no valid escape: another letter
// after the backslash, fewer than four hex digits, or a lone surrogate.
struct Escape {
  std::size_t length;
  char32_t codePoint;
};
Escape escapeAt(const char* p, const char* end);

// Whether the escape at `p` (a valid one) is the one the canonical encoding
// writes for its code point: \" \\ \b \f \n \r \t, and \u00xx in lowercase hex
// for the other code points below U+0020. Every other character is written as
// itself, so any other escape is not canonical.
bool isCanonicalEscape(const char* p, const char* end);

// The text a string's raw text (between its quotes, escapes valid) stands for.
std::string decodedString(std::string_view raw);

// The first byte at or after `p` that ends a run of plain string text: a
// quote, a backslash or a control character; `end` when there is none.
const char* stringSpecialAt(const char* p, const char* end);

}  // namespace brindell
