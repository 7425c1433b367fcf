#include "json/json_text.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <cstdint>
#include <cstring>

#if defined(__x86_64__)
#include <immintrin.h>
#endif

namespace brindell {

Utf8Sequence utf8SequenceAt(const unsigned char* p, const unsigned char* end) {
  const unsigned char lead = *p;
  if (lead < 0x80) return {1, true};
  if (lead < 0xC2 || lead > 0xF4) return {1, false};
  const std::size_t continuations = lead < 0xE0 ? 1 : lead < 0xF0 ? 2 : 3;
  // The first continuation is narrower after the leads that would otherwise
  // begin an overlong form (E0, F0), a surrogate (ED) or a code point above
  // U+10FFFF (F4).
  unsigned char low = lead == 0xE0 ? 0xA0 : lead == 0xF0 ? 0x90 : 0x80;
  unsigned char high = lead == 0xED ? 0x9F : lead == 0xF4 ? 0x8F : 0xBF;
  for (std::size_t i = 1; i <= continuations; ++i) {
    if (p + i == end || p[i] < low || p[i] > high) return {i, false};
    low = 0x80;
    high = 0xBF;
  }
  return {continuations + 1, true};
}

namespace {

bool isValidUtf8Scalar(const unsigned char* p, const unsigned char* end) {
  constexpr std::uint64_t highBits = 0x8080808080808080u;
  while (p != end) {
    std::uint64_t word;
    if (end - p >= 8 && (std::memcpy(&word, p, 8), (word & highBits) == 0)) {
      p += 8;
      continue;
    }
    const Utf8Sequence sequence = utf8SequenceAt(p, end);
    if (!sequence.valid) return false;
    p += sequence.length;
  }
  return true;
}

#if defined(__x86_64__)

// What the lookups of json_utf8_blocks.h flag, by the first byte of a pair
// (its high and its low nibble) and by the second (its high nibble): a pair
// is wrong where all three agree on a flag.
namespace lookups {
constexpr std::uint8_t tooShort = 1 << 0;      // a lead not followed by a continuation
constexpr std::uint8_t tooLong = 1 << 1;       // a continuation after an ASCII byte
constexpr std::uint8_t overlong3 = 1 << 2;     // E0 80..9F
constexpr std::uint8_t tooLarge = 1 << 3;      // F4 90..BF, F5..FF
constexpr std::uint8_t surrogate = 1 << 4;     // ED A0..BF
constexpr std::uint8_t overlong2 = 1 << 5;     // C0, C1
constexpr std::uint8_t tooLarge1000 = 1 << 6;  // F5..FF 80..8F
constexpr std::uint8_t overlong4 = 1 << 6;     // F0 80..8F
constexpr std::uint8_t twoContinuations = 1 << 7;
constexpr std::uint8_t carry = tooShort | tooLong | twoContinuations;
constexpr std::uint8_t large = carry | tooLarge | tooLarge1000;
constexpr std::uint8_t continuation = tooLong | overlong2 | twoContinuations;

// The sixteen bytes of a lookup table, repeated for every 16-byte lane of the
// widest vector so that every width loads the table alike.
template <typename... Bytes>
constexpr std::array<std::uint8_t, 64> lanes(Bytes... bytes) {
  const std::uint8_t table[] = {static_cast<std::uint8_t>(bytes)...};
  static_assert(sizeof table == 16);
  std::array<std::uint8_t, 64> repeated{};
  for (std::size_t i = 0; i < repeated.size(); ++i) repeated[i] = table[i % 16];
  return repeated;
}

// By the first byte's high nibble: ASCII, continuation, 2-, 3- and 4-byte leads.
alignas(64) constexpr auto firstHigh = lanes(tooLong, tooLong, tooLong, tooLong, tooLong, tooLong,
                                             tooLong, tooLong, twoContinuations, twoContinuations,
                                             twoContinuations, twoContinuations,
                                             tooShort | overlong2, tooShort,
                                             tooShort | overlong3 | surrogate,
                                             tooShort | tooLarge | tooLarge1000 | overlong4);
alignas(64) constexpr auto firstLow = lanes(carry | overlong3 | overlong2 | overlong4,
                                            carry | overlong2, carry, carry, carry | tooLarge,
                                            large, large, large, large, large, large, large, large,
                                            large | surrogate, large, large);
alignas(64) constexpr auto secondHigh = lanes(tooShort, tooShort, tooShort, tooShort, tooShort,
                                              tooShort, tooShort, tooShort,
                                              continuation | overlong3 | tooLarge1000 | overlong4,
                                              continuation | overlong3 | tooLarge,
                                              continuation | surrogate | tooLarge,
                                              continuation | surrogate | tooLarge, tooShort,
                                              tooShort, tooShort, tooShort);

// Only the last three bytes of a block can begin a sequence longer than what
// is left in it: leads from 0xF0, 0xE0 and 0xC0 up, in that order, stay
// non-zero once these are subtracted. A width takes the last of them.
alignas(64) constexpr unsigned char lastLeadLimits[64] = {
    0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF,
    0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF,
    0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF,
    0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xEF, 0xDF, 0xBF};

}  // namespace lookups

// The instructions each width needs for json_utf8_blocks.h, which is
// included once for each.
#define BRINDELL_TARGET __attribute__((target("ssse3")))
namespace width16 {
struct Vector {
  using V = __m128i;
  BRINDELL_TARGET static V load(const void* p) { return _mm_loadu_si128(static_cast<const V*>(p)); }
  BRINDELL_TARGET static V lookup(V table, V at) { return _mm_shuffle_epi8(table, at); }
  BRINDELL_TARGET static V shiftedRight4(V v) { return _mm_srli_epi16(v, 4); }
  template <int n>
  BRINDELL_TARGET static V before(V input, V prior) {
    return _mm_alignr_epi8(input, prior, 16 - n);
  }
  BRINDELL_TARGET static V subtractSaturated(V a, V b) { return _mm_subs_epu8(a, b); }
  BRINDELL_TARGET static bool isAscii(V v) { return _mm_movemask_epi8(v) == 0; }
};
#include "json/json_utf8_blocks.h"
}  // namespace width16
#undef BRINDELL_TARGET

#define BRINDELL_TARGET __attribute__((target("avx512f,avx512bw")))
namespace width64 {
struct Vector {
  using V = __m512i;
  BRINDELL_TARGET static V load(const void* p) { return _mm512_loadu_si512(p); }
  BRINDELL_TARGET static V lookup(V table, V at) { return _mm512_shuffle_epi8(table, at); }
  BRINDELL_TARGET static V shiftedRight4(V v) { return _mm512_srli_epi16(v, 4); }
  // The masked form, whose other operand is given, keeps GCC from warning
  // about the unmasked form's undefined one.
  template <int n>
  BRINDELL_TARGET static V before(V input, V prior) {
    return _mm512_alignr_epi8(input, _mm512_mask_alignr_epi64(input, 0xFF, input, prior, 6),
                              16 - n);
  }
  BRINDELL_TARGET static V subtractSaturated(V a, V b) { return _mm512_subs_epu8(a, b); }
  BRINDELL_TARGET static bool isAscii(V v) { return _mm512_movepi8_mask(v) == 0; }
};
#include "json/json_utf8_blocks.h"
}  // namespace width64
#undef BRINDELL_TARGET

#endif

}  // namespace

int widestUtf8Width() {
#if defined(__x86_64__)
  static const int widest = __builtin_cpu_supports("avx512bw") ? 64
                            : __builtin_cpu_supports("ssse3")  ? 16
                                                               : 0;
  return widest;
#else
  return 0;
#endif
}

bool isValidUtf8(std::string_view text, int width) {
  const auto* p = reinterpret_cast<const unsigned char*>(text.data());
  const auto* end = p + text.size();
#if defined(__x86_64__)
  width = std::min(width, widestUtf8Width());
  if (width == 64) return width64::Utf8Blocks::isValid(p, end);
  if (width == 16) return width16::Utf8Blocks::isValid(p, end);
#endif
  return isValidUtf8Scalar(p, end);
}

std::size_t encodeUtf8(char32_t codePoint, char* out) {
  if (codePoint < 0x80) {
    out[0] = static_cast<char>(codePoint);
    return 1;
  }
  const std::size_t length = codePoint < 0x800 ? 2 : codePoint < 0x10000 ? 3 : 4;
  for (std::size_t i = length - 1; i > 0; --i, codePoint >>= 6) {
    out[i] = static_cast<char>(0x80 | (codePoint & 0x3F));
  }
  constexpr unsigned char leads[] = {0, 0, 0xC0, 0xE0, 0xF0};
  out[0] = static_cast<char>(leads[length] | codePoint);
  return length;
}

namespace {

// The four hex digits of a \u escape at `p`, or -1.
long unitAt(const char* p, const char* end) {
  unsigned unit = 0;
  if (end - p < 6 || p[0] != '\\' || p[1] != 'u' ||
      std::from_chars(p + 2, p + 6, unit, 16).ptr != p + 6) {
    return -1;
  }
  return unit;
}

}  // namespace

Escape unicodeEscapeAt(const char* p, const char* end) {
  const long unit = unitAt(p, end);
  if (unit < 0 || (unit >= 0xDC00 && unit <= 0xDFFF)) return {};
  if (unit < 0xD800 || unit > 0xDBFF) return {6, static_cast<char32_t>(unit)};
  const long low = unitAt(p + 6, end);
  if (low < 0xDC00 || low > 0xDFFF) return {};
  return {12, static_cast<char32_t>(0x10000 + ((unit - 0xD800) << 10) + (low - 0xDC00))};
}

bool isCanonicalUnicodeEscape(const char* p, const char* end) {
  constexpr std::string_view lowerHex = "0123456789abcdef";
  if (end - p < 6 || p[2] != '0' || p[3] != '0' || (p[4] != '0' && p[4] != '1') ||
      lowerHex.find(p[5]) == std::string_view::npos) {
    return false;
  }
  // Some have a short escape of their own.
  const auto code = static_cast<char>((p[4] - '0') * 16 + lowerHex.find(p[5]));
  return escapedCharacters.find(code) == std::string_view::npos;
}

std::string decodedString(std::string_view raw) {
  std::string text;
  const char* p = raw.data();
  const char* end = p + raw.size();
  while (p != end) {
    const char* backslash = static_cast<const char*>(std::memchr(p, '\\', end - p));
    if (backslash == nullptr) backslash = end;
    text.append(p, backslash);
    if (backslash == end) break;
    const Escape escape = escapeAt(backslash, end);
    char bytes[4];
    text.append(bytes, encodeUtf8(escape.codePoint, bytes));
    p = backslash + escape.length;
  }
  return text;
}

}  // namespace brindell
