#pragma once

#include <array>
#include <cstddef>
#include <string>
#include <string_view>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

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
// where the processor allows, since every parsed text passes through it whole;
// `vectorised` false asks for one sequence at a time, so that tests can hold
// the two paths to the same verdicts.
bool isValidUtf8(std::string_view text, bool vectorised = true);

// Whether this processor can run the vectorised path.
bool hasVectorUtf8();

// The characters with an escape of two bytes, and in the same places the
// letter that follows the backslash in each. The canonical encoding writes
// all but the last, "/", which it writes as itself.
inline constexpr std::string_view escapedCharacters = "\"\\\b\f\n\r\t/";
inline constexpr std::string_view escapeLetters = "\"\\bfnrt/";

// What the letter after a backslash stands for in a two-byte escape; 0 for
// a letter that makes none.
inline constexpr std::array<char, 256> shortEscapes = [] {
  std::array<char, 256> characters{};
  for (std::size_t i = 0; i < escapeLetters.size(); ++i) {
    characters[static_cast<unsigned char>(escapeLetters[i])] = escapedCharacters[i];
  }
  return characters;
}();

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
Escape unicodeEscapeAt(const char* p, const char* end);  // the \u escapes alone
// Inline for the short escapes, most of them, since parsing reads every one.
inline Escape escapeAt(const char* p, const char* end) {
  if (end - p < 2) return {};
  if (p[1] == 'u') return unicodeEscapeAt(p, end);
  const char character = shortEscapes[static_cast<unsigned char>(p[1])];
  return {character == 0 ? 0u : 2u, static_cast<char32_t>(character)};
}

// Whether the escape at `p` is the one the canonical encoding writes for its
// code point: \" \\ \b \f \n \r \t, and \u00xx in lowercase hex for the other
// code points below U+0020. Every other character is written as itself, so
// any other escape is not canonical. A short escape must be a valid one; a \u
// escape is judged on its digits, so a pass that only accepts canonical text
// need not decode it first.
bool isCanonicalUnicodeEscape(const char* p, const char* end);  // the \u escapes alone
inline bool isCanonicalEscape(const char* p, const char* end) {
  // Every short escape but \/ is the one written for its character.
  return p[1] == 'u' ? isCanonicalUnicodeEscape(p, end) : p[1] != '/';
}

// The text a string's raw text (between its quotes, escapes valid) stands for.
std::string decodedString(std::string_view raw);

// The first byte at or after `p` that ends a run of plain string text: a
// quote, a backslash or a control character; `end` when there is none.
// Inline, since parsing calls it for every string.
inline const char* stringSpecialAt(const char* p, const char* end) {
#if defined(__SSE2__)
  const __m128i quote = _mm_set1_epi8('"');
  const __m128i backslash = _mm_set1_epi8('\\');
  const __m128i lastControl = _mm_set1_epi8(0x1F);
  while (end - p >= 16) {
    const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
    // A byte is a control character when its unsigned minimum with 0x1F is itself.
    const __m128i special =
        _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(bytes, quote), _mm_cmpeq_epi8(bytes, backslash)),
                     _mm_cmpeq_epi8(_mm_min_epu8(bytes, lastControl), bytes));
    const int mask = _mm_movemask_epi8(special);
    if (mask != 0) return p + __builtin_ctz(static_cast<unsigned>(mask));
    p += 16;
  }
#endif
  while (p != end) {
    const auto byte = static_cast<unsigned char>(*p);
    if (byte == '"' || byte == '\\' || byte < 0x20) return p;
    ++p;
  }
  return end;
}

// Compares two texts byte by byte as unsigned values, like
// std::string_view::compare, but inline: keys are short and compared often.
inline int compareBytes(std::string_view a, std::string_view b) {
  const std::size_t common = a.size() < b.size() ? a.size() : b.size();
  for (std::size_t i = 0; i < common; ++i) {
    const auto x = static_cast<unsigned char>(a[i]);
    const auto y = static_cast<unsigned char>(b[i]);
    if (x != y) return x < y ? -1 : 1;
  }
  return a.size() == b.size() ? 0 : (a.size() < b.size() ? -1 : 1);
}

}  // namespace brindell
