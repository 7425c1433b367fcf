#include "json/json_text.h"

#include <algorithm>
#include <cstdint>
#include <cstring>

#if defined(__x86_64__)
#include <immintrin.h>
#endif

namespace brindell {

Utf8Sequence utf8SequenceAt(const unsigned char* p, const unsigned char* end) {
  const unsigned char lead = *p;
  std::size_t continuations = 0;
  unsigned char low = 0x80;
  unsigned char high = 0xBF;
  if (lead < 0x80) {
    return {1, true};
  } else if (lead >= 0xC2 && lead <= 0xDF) {
    continuations = 1;
  } else if (lead == 0xE0) {
    continuations = 2;
    low = 0xA0;  // no overlong forms
  } else if (lead == 0xED) {
    continuations = 2;
    high = 0x9F;  // no surrogates
  } else if (lead >= 0xE1 && lead <= 0xEF) {
    continuations = 2;
  } else if (lead == 0xF0) {
    continuations = 3;
    low = 0x90;  // no overlong forms
  } else if (lead >= 0xF1 && lead <= 0xF3) {
    continuations = 3;
  } else if (lead == 0xF4) {
    continuations = 3;
    high = 0x8F;  // nothing above U+10FFFF
  } else {
    return {1, false};
  }
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

// Sixteen bytes at a time by table lookups on the nibbles of each byte and of
// the one before it, which flag every way two adjacent bytes can break a
// sequence (the method of Keiser and Lemire, "Validating UTF-8 in less than
// one instruction per byte"); a third and fourth byte are checked against
// the leads two and three places back. SSSE3 provides the lookups.
namespace flags {
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
}  // namespace flags

#define BRINDELL_SSSE3 __attribute__((target("ssse3")))

BRINDELL_SSSE3 __m128i bytes16(std::uint8_t b0, std::uint8_t b1, std::uint8_t b2, std::uint8_t b3,
                               std::uint8_t b4, std::uint8_t b5, std::uint8_t b6, std::uint8_t b7,
                               std::uint8_t b8, std::uint8_t b9, std::uint8_t b10, std::uint8_t b11,
                               std::uint8_t b12, std::uint8_t b13, std::uint8_t b14,
                               std::uint8_t b15) {
  return _mm_setr_epi8(static_cast<char>(b0), static_cast<char>(b1), static_cast<char>(b2),
                       static_cast<char>(b3), static_cast<char>(b4), static_cast<char>(b5),
                       static_cast<char>(b6), static_cast<char>(b7), static_cast<char>(b8),
                       static_cast<char>(b9), static_cast<char>(b10), static_cast<char>(b11),
                       static_cast<char>(b12), static_cast<char>(b13), static_cast<char>(b14),
                       static_cast<char>(b15));
}

BRINDELL_SSSE3 __m128i highNibbles(__m128i v) {
  return _mm_and_si128(_mm_srli_epi16(v, 4), _mm_set1_epi8(0x0F));
}

struct Utf8Tables {
  __m128i firstHigh;
  __m128i firstLow;
  __m128i secondHigh;
};

BRINDELL_SSSE3 Utf8Tables utf8Tables() {
  using namespace flags;
  constexpr std::uint8_t large = carry | tooLarge | tooLarge1000;
  constexpr std::uint8_t continuation = tooLong | overlong2 | twoContinuations;
  return Utf8Tables{
      // The first byte's high nibble: ASCII, continuation, 2-, 3- and 4-byte leads.
      bytes16(tooLong, tooLong, tooLong, tooLong, tooLong, tooLong, tooLong, tooLong,
              twoContinuations, twoContinuations, twoContinuations, twoContinuations,
              tooShort | overlong2, tooShort, tooShort | overlong3 | surrogate,
              tooShort | tooLarge | tooLarge1000 | overlong4),
      // The first byte's low nibble.
      bytes16(carry | overlong3 | overlong2 | overlong4, carry | overlong2, carry, carry,
              carry | tooLarge, large, large, large, large, large, large, large, large,
              large | surrogate, large, large),
      // The second byte's high nibble.
      bytes16(tooShort, tooShort, tooShort, tooShort, tooShort, tooShort, tooShort, tooShort,
              continuation | overlong3 | tooLarge1000 | overlong4,
              continuation | overlong3 | tooLarge, continuation | surrogate | tooLarge,
              continuation | surrogate | tooLarge, tooShort, tooShort, tooShort, tooShort)};
}

// Non-zero bytes where `input` (preceded by `previous`) breaks UTF-8.
BRINDELL_SSSE3 __m128i utf8Errors(const Utf8Tables& tables, __m128i input, __m128i previous) {
  const __m128i previous1 = _mm_alignr_epi8(input, previous, 15);
  const __m128i special = _mm_and_si128(
      _mm_and_si128(
          _mm_shuffle_epi8(tables.firstHigh, highNibbles(previous1)),
          _mm_shuffle_epi8(tables.firstLow, _mm_and_si128(previous1, _mm_set1_epi8(0x0F)))),
      _mm_shuffle_epi8(tables.secondHigh, highNibbles(input)));
  // Bytes two and three places after a 3- or 4-byte lead must continue it.
  const __m128i third = _mm_subs_epu8(_mm_alignr_epi8(input, previous, 14),
                                      _mm_set1_epi8(static_cast<char>(0xE0 - 1)));
  const __m128i fourth = _mm_subs_epu8(_mm_alignr_epi8(input, previous, 13),
                                       _mm_set1_epi8(static_cast<char>(0xF0 - 1)));
  const __m128i mustContinue =
      _mm_and_si128(_mm_cmpgt_epi8(_mm_or_si128(third, fourth), _mm_setzero_si128()),
                    _mm_set1_epi8(static_cast<char>(0x80)));
  return _mm_xor_si128(mustContinue, special);
}

// Non-zero where the block ends inside a sequence that the next must finish.
BRINDELL_SSSE3 __m128i unfinished(__m128i input) {
  // Only the last three bytes can begin a sequence longer than what is left:
  // leads from 0xF0, 0xE0 and 0xC0 up, in that order (little-endian words).
  const __m128i limits = _mm_setr_epi32(-1, -1, -1, static_cast<int>(0xBFDFEFFF));
  return _mm_subs_epu8(input, limits);
}

struct Utf8State {
  __m128i errors = _mm_setzero_si128();
  __m128i previous = _mm_setzero_si128();
  __m128i pending = _mm_setzero_si128();
};

// The lookups also flag a sequence the previous block left unfinished; only
// a block skipped as ASCII leaves that to `pending`.
BRINDELL_SSSE3 void takeBlock(const Utf8Tables& tables, Utf8State& state, __m128i input) {
  state.errors = _mm_or_si128(state.errors, utf8Errors(tables, input, state.previous));
  state.pending = unfinished(input);
  state.previous = input;
}

BRINDELL_SSSE3 bool isValidUtf8Ssse3(const unsigned char* p, const unsigned char* end) {
  const Utf8Tables tables = utf8Tables();
  Utf8State state;
  while (end - p >= 64) {
    const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
    const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 16));
    const __m128i c = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 32));
    const __m128i d = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 48));
    if (_mm_movemask_epi8(_mm_or_si128(_mm_or_si128(a, b), _mm_or_si128(c, d))) == 0) {
      state.errors = _mm_or_si128(state.errors, state.pending);
      state.pending = _mm_setzero_si128();
      state.previous = d;
    } else {
      takeBlock(tables, state, a);
      takeBlock(tables, state, b);
      takeBlock(tables, state, c);
      takeBlock(tables, state, d);
    }
    p += 64;
  }
  // The rest, padded with zeros: ASCII, so a sequence cut off by the end of
  // the text is flagged like one cut off by any other ASCII byte.
  unsigned char tail[64] = {};
  std::memcpy(tail, p, static_cast<std::size_t>(end - p));
  takeBlock(tables, state, _mm_loadu_si128(reinterpret_cast<const __m128i*>(tail)));
  takeBlock(tables, state, _mm_loadu_si128(reinterpret_cast<const __m128i*>(tail + 16)));
  takeBlock(tables, state, _mm_loadu_si128(reinterpret_cast<const __m128i*>(tail + 32)));
  takeBlock(tables, state, _mm_loadu_si128(reinterpret_cast<const __m128i*>(tail + 48)));
  const __m128i errors = _mm_or_si128(state.errors, state.pending);
  return _mm_movemask_epi8(_mm_cmpeq_epi8(errors, _mm_setzero_si128())) == 0xFFFF;
}

#define BRINDELL_AVX2 __attribute__((target("avx2")))

// The same, thirty-two bytes at a time. AVX2 shifts bytes only within each
// 16-byte lane, so the bytes before a block come from joining the lanes of
// the previous block and this one.
BRINDELL_AVX2 __m256i highNibbles32(__m256i v) {
  return _mm256_and_si256(_mm256_srli_epi16(v, 4), _mm256_set1_epi8(0x0F));
}

struct Utf8Tables32 {
  __m256i firstHigh;
  __m256i firstLow;
  __m256i secondHigh;
};

BRINDELL_AVX2 Utf8Tables32 utf8Tables32(const Utf8Tables& tables) {
  return Utf8Tables32{_mm256_broadcastsi128_si256(tables.firstHigh),
                      _mm256_broadcastsi128_si256(tables.firstLow),
                      _mm256_broadcastsi128_si256(tables.secondHigh)};
}

BRINDELL_AVX2 __m256i utf8Errors32(const Utf8Tables32& tables, __m256i input, __m256i previous) {
  const __m256i joined = _mm256_permute2x128_si256(previous, input, 0x21);
  const __m256i previous1 = _mm256_alignr_epi8(input, joined, 15);
  const __m256i special = _mm256_and_si256(
      _mm256_and_si256(_mm256_shuffle_epi8(tables.firstHigh, highNibbles32(previous1)),
                       _mm256_shuffle_epi8(tables.firstLow,
                                           _mm256_and_si256(previous1, _mm256_set1_epi8(0x0F)))),
      _mm256_shuffle_epi8(tables.secondHigh, highNibbles32(input)));
  const __m256i third = _mm256_subs_epu8(_mm256_alignr_epi8(input, joined, 14),
                                         _mm256_set1_epi8(static_cast<char>(0xE0 - 1)));
  const __m256i fourth = _mm256_subs_epu8(_mm256_alignr_epi8(input, joined, 13),
                                          _mm256_set1_epi8(static_cast<char>(0xF0 - 1)));
  const __m256i mustContinue =
      _mm256_and_si256(_mm256_cmpgt_epi8(_mm256_or_si256(third, fourth), _mm256_setzero_si256()),
                       _mm256_set1_epi8(static_cast<char>(0x80)));
  return _mm256_xor_si256(mustContinue, special);
}

BRINDELL_AVX2 __m256i unfinished32(__m256i input) {
  const __m256i limits =
      _mm256_insert_epi32(_mm256_set1_epi32(-1), static_cast<int>(0xBFDFEFFF), 7);
  return _mm256_subs_epu8(input, limits);
}

struct Utf8State32 {
  __m256i errors;
  __m256i previous;
  __m256i pending;
};

BRINDELL_AVX2 void takeBlock32(const Utf8Tables32& tables, Utf8State32& state, __m256i input) {
  if (_mm256_movemask_epi8(input) == 0) {
    state.errors = _mm256_or_si256(state.errors, state.pending);
    state.pending = _mm256_setzero_si256();
  } else {
    state.errors = _mm256_or_si256(state.errors, utf8Errors32(tables, input, state.previous));
    state.pending = unfinished32(input);
  }
  state.previous = input;
}

BRINDELL_AVX2 bool isValidUtf8Avx2(const unsigned char* p, const unsigned char* end) {
  const Utf8Tables32 tables = utf8Tables32(utf8Tables());
  Utf8State32 state{_mm256_setzero_si256(), _mm256_setzero_si256(), _mm256_setzero_si256()};
  while (end - p >= 64) {
    const __m256i a = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p));
    const __m256i b = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + 32));
    if (_mm256_movemask_epi8(_mm256_or_si256(a, b)) == 0) {
      state.errors = _mm256_or_si256(state.errors, state.pending);
      state.pending = _mm256_setzero_si256();
      state.previous = b;
    } else {
      takeBlock32(tables, state, a);
      takeBlock32(tables, state, b);
    }
    p += 64;
  }
  unsigned char tail[64] = {};
  std::memcpy(tail, p, static_cast<std::size_t>(end - p));
  takeBlock32(tables, state, _mm256_loadu_si256(reinterpret_cast<const __m256i*>(tail)));
  takeBlock32(tables, state, _mm256_loadu_si256(reinterpret_cast<const __m256i*>(tail + 32)));
  const __m256i errors = _mm256_or_si256(state.errors, state.pending);
  return _mm256_testz_si256(errors, errors) != 0;
}

#define BRINDELL_AVX512 __attribute__((target("avx512f,avx512bw")))

// The same, sixty-four bytes at a time. Bytes shift only within each 16-byte
// lane here too; the lanes before a block's are the previous block's last
// and this block's first three.
BRINDELL_AVX512 __m512i highNibbles64(__m512i v) {
  return _mm512_and_si512(_mm512_srli_epi16(v, 4), _mm512_set1_epi8(0x0F));
}

struct Utf8Tables64 {
  __m512i firstHigh;
  __m512i firstLow;
  __m512i secondHigh;
};

BRINDELL_AVX512 Utf8Tables64 utf8Tables64(const Utf8Tables& tables) {
  // The masked forms, whose other operand is given, keep GCC from warning
  // about the unmasked forms' undefined one.
  const __m512i zero = _mm512_setzero_si512();
  return Utf8Tables64{_mm512_mask_broadcast_i32x4(zero, 0xFFFF, tables.firstHigh),
                      _mm512_mask_broadcast_i32x4(zero, 0xFFFF, tables.firstLow),
                      _mm512_mask_broadcast_i32x4(zero, 0xFFFF, tables.secondHigh)};
}

BRINDELL_AVX512 __m512i utf8Errors64(const Utf8Tables64& tables, __m512i input, __m512i previous) {
  const __m512i joined = _mm512_mask_alignr_epi64(input, 0xFF, input, previous, 6);
  const __m512i previous1 = _mm512_alignr_epi8(input, joined, 15);
  const __m512i special = _mm512_and_si512(
      _mm512_and_si512(_mm512_shuffle_epi8(tables.firstHigh, highNibbles64(previous1)),
                       _mm512_shuffle_epi8(tables.firstLow,
                                           _mm512_and_si512(previous1, _mm512_set1_epi8(0x0F)))),
      _mm512_shuffle_epi8(tables.secondHigh, highNibbles64(input)));
  const __m512i third = _mm512_subs_epu8(_mm512_alignr_epi8(input, joined, 14),
                                         _mm512_set1_epi8(static_cast<char>(0xE0 - 1)));
  const __m512i fourth = _mm512_subs_epu8(_mm512_alignr_epi8(input, joined, 13),
                                          _mm512_set1_epi8(static_cast<char>(0xF0 - 1)));
  const __mmask64 mustContinue =
      _mm512_test_epi8_mask(_mm512_or_si512(third, fourth), _mm512_or_si512(third, fourth));
  return _mm512_xor_si512(_mm512_maskz_set1_epi8(mustContinue, static_cast<char>(0x80)), special);
}

BRINDELL_AVX512 __m512i unfinished64(__m512i input) {
  const __m512i limits =
      _mm512_mask_set1_epi32(_mm512_set1_epi32(-1), 1 << 15, static_cast<int>(0xBFDFEFFF));
  return _mm512_subs_epu8(input, limits);
}

struct Utf8State64 {
  __m512i errors;
  __m512i previous;
  __m512i pending;
};

BRINDELL_AVX512 void takeBlock64(const Utf8Tables64& tables, Utf8State64& state, __m512i input) {
  if (_mm512_movepi8_mask(input) == 0) {
    state.errors = _mm512_or_si512(state.errors, state.pending);
    state.pending = _mm512_setzero_si512();
  } else {
    state.errors = _mm512_or_si512(state.errors, utf8Errors64(tables, input, state.previous));
    state.pending = unfinished64(input);
  }
  state.previous = input;
}

BRINDELL_AVX512 bool isValidUtf8Avx512(const unsigned char* p, const unsigned char* end) {
  const Utf8Tables64 tables = utf8Tables64(utf8Tables());
  Utf8State64 state{_mm512_setzero_si512(), _mm512_setzero_si512(), _mm512_setzero_si512()};
  for (; end - p >= 64; p += 64) takeBlock64(tables, state, _mm512_loadu_si512(p));
  // The rest, padded with zeros as above; a masked load reads nothing past
  // the text.
  const __mmask64 present = (std::uint64_t{1} << (end - p)) - 1;
  takeBlock64(tables, state, _mm512_maskz_loadu_epi8(present, p));
  const __m512i errors = _mm512_or_si512(state.errors, state.pending);
  return _mm512_test_epi8_mask(errors, errors) == 0;
}

#endif

}  // namespace

bool isValidUtf8(std::string_view text) {
  return isValidUtf8(text, 64);
}

int widestUtf8Width() {
#if defined(__x86_64__)
  static const int widest = __builtin_cpu_supports("avx512bw") ? 64
                            : __builtin_cpu_supports("avx2")   ? 32
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
  if (width == 64) return isValidUtf8Avx512(p, end);
  if (width == 32) return isValidUtf8Avx2(p, end);
  if (width == 16) return isValidUtf8Ssse3(p, end);
#endif
  return isValidUtf8Scalar(p, end);
}

std::size_t encodeUtf8(char32_t codePoint, char* out) {
  if (codePoint < 0x80) {
    out[0] = static_cast<char>(codePoint);
    return 1;
  }
  if (codePoint < 0x800) {
    out[0] = static_cast<char>(0xC0 | (codePoint >> 6));
    out[1] = static_cast<char>(0x80 | (codePoint & 0x3F));
    return 2;
  }
  if (codePoint < 0x10000) {
    out[0] = static_cast<char>(0xE0 | (codePoint >> 12));
    out[1] = static_cast<char>(0x80 | ((codePoint >> 6) & 0x3F));
    out[2] = static_cast<char>(0x80 | (codePoint & 0x3F));
    return 3;
  }
  out[0] = static_cast<char>(0xF0 | (codePoint >> 18));
  out[1] = static_cast<char>(0x80 | ((codePoint >> 12) & 0x3F));
  out[2] = static_cast<char>(0x80 | ((codePoint >> 6) & 0x3F));
  out[3] = static_cast<char>(0x80 | (codePoint & 0x3F));
  return 4;
}

namespace {

int hexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// The four hex digits of a \u escape at `p`, or -1.
long unitAt(const char* p, const char* end) {
  if (end - p < 6 || p[0] != '\\' || p[1] != 'u') return -1;
  long unit = 0;
  for (int i = 2; i < 6; ++i) {
    const int digit = hexValue(p[i]);
    if (digit < 0) return -1;
    unit = unit * 16 + digit;
  }
  return unit;
}

}  // namespace

Escape escapeAt(const char* p, const char* end) {
  if (end - p < 2) return {};
  switch (p[1]) {
    case '"':
      return {2, '"'};
    case '\\':
      return {2, '\\'};
    case '/':
      return {2, '/'};
    case 'b':
      return {2, '\b'};
    case 'f':
      return {2, '\f'};
    case 'n':
      return {2, '\n'};
    case 'r':
      return {2, '\r'};
    case 't':
      return {2, '\t'};
    case 'u':
      break;
    default:
      return {};
  }
  const long unit = unitAt(p, end);
  if (unit < 0 || (unit >= 0xDC00 && unit <= 0xDFFF)) return {};
  if (unit < 0xD800 || unit > 0xDBFF) return {6, static_cast<char32_t>(unit)};
  const long low = unitAt(p + 6, end);
  if (low < 0xDC00 || low > 0xDFFF) return {};
  return {12, static_cast<char32_t>(0x10000 + ((unit - 0xD800) << 10) + (low - 0xDC00))};
}

bool isCanonicalEscape(const char* p, const char* end) {
  // Every short escape but \/ is the one written for its character.
  if (p[1] != 'u') return p[1] != '/';
  if (end - p < 6 || p[2] != '0' || p[3] != '0' || (p[4] != '0' && p[4] != '1')) return false;
  const int low = hexValue(p[5]);
  if (low < 0 || (p[5] >= 'A' && p[5] <= 'F')) return false;
  // Those five have a short escape of their own.
  const int code = (p[4] - '0') * 16 + low;
  return code != '\b' && code != '\f' && code != '\n' && code != '\r' && code != '\t';
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
