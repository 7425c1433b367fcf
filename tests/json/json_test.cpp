// What the executable's round trip (tests/request/round_trip_test.py: generated
// objects, respelt and damaged texts judged by a reference parser) and the
// differential fuzz target against simdjson do not reach: the limits, lone
// surrogate escapes, keys equal once decoded, the recognition of canonical
// text, texts long enough to be handled in pieces, strings that are not UTF-8
// (file names), and every vectorised UTF-8 path.

#include <gtest/gtest.h>

#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include "base/sync_failure.h"
#include "json/json.h"
#include "json/json_text.h"
#include "support/sync_folder.h"

namespace brindell::testing {
namespace {

std::string nested(std::size_t depth) {
  return std::string(depth, '[') + std::string(depth, ']');
}

std::string repeated(std::string_view text, std::size_t count) {
  std::string all;
  for (std::size_t i = 0; i < count; ++i) all += text;
  return all;
}

std::string reencoded(const std::string& bytes) {
  return canonicalJson(parseObject(bytes).view());
}

// Edges of the grammar that damaged texts seldom hit; nesting without end,
// refused like any invalid text, never a crash; a surrogate escape without its
// pair, which cannot become UTF-8; a key twice once decoded, also in a text
// canonical but for that.
TEST(Json, RefusesWhatIsNotOneValidObject) {
  // clang-format off
  const std::vector<std::string> invalid = {"", "1", "null", "{}{}", "{}//", "{\"a\"}",
      "{\"a\":1,}", "{\"a\":01}", "{\"a\":[1.]}", "{\"a\":[1e]}", "{\"a\":[1e+]}",
      "{\"a\":\"\\u12G4\"}", "{\"a\":\"\x01\"}", "{\"\xFF\":1}", "\xEF\xBB\xBF{}",
      "{\"a\":\"\xED\xA0\x80\"}",
      R"({"a":"\ud800"})", R"({"a":"\udc00x"})", R"({"a":"\ud800\ud800"})",
      R"({"a":"\ud800\ndc00"})", R"({"a":1,"\u0061":2})", R"({"x":[{"b":1,"a":2},{"b":1,"b":2}]})",
      "{\"a\":" + nested(maximumJsonDepth) + "}", std::string(7 << 20, '['),
      repeated("{\"a\":", 1 << 20)};
  // clang-format on
  for (const std::string& bytes : invalid) {
    EXPECT_EQ(outcomeOf([&] { parseObject(bytes); }),
              "SYNC_INVALID_FILE: A sync file contains invalid JSON. Preserve it for inspection; "
              "local workspace data is unchanged.")
        << bytes.substr(0, 40);
  }
  for (const char* array : {"[]", " [{}] "}) {
    EXPECT_EQ(outcomeOf([&] { parseObject(array); }),
              "SYNC_INVALID_FILE: A sync file must contain one JSON object.");
  }
}

// Each pair: a text, then its canonical encoding, which encodes to itself by
// either pass (after a space, no text is canonical). A stored file that is its
// own encoding is answered from its bytes, so it must be recognised exactly,
// and kept intact: escapes are tried on each side of the boundaries the
// encoding draws (a control character without a short escape, in lowercase
// hex, is written as \u00xx), in both cases of hex digits.
TEST(Json, EncodesCanonicallyAndKnowsItsOwnEncoding) {
  const std::string padding(64, 'p'), literals = R"({"a":[1.0,-0,1E400,true,null,{}],"b":"x/y é"})";
  const std::vector<std::pair<std::string, std::string>> cases = {
      // Canonical and not: the two are validated by different passes.
      {repeated("{\"a\":", 999) + "{}" + repeated("}", 999),
       repeated("{\"a\":", 999) + "{}" + repeated("}", 999)},
      {" {\"a\":" + nested(999) + "}", "{\"a\":" + nested(999) + "}"},
      {"{}\n", "{}"},
      {literals, literals},
      {R"({"s":"\u0000\u000b\u001e"})", R"({"s":"\u0000\u000b\u001e"})"},
      {R"({"a":{"z":1,"y":2},"\/":1})", R"({"/":1,"a":{"y":2,"z":1}})"},
      // Keys order by their decoded bytes: '"' before '#'.
      {R"({"#":1,"\"":2})", R"({"\"":2,"#":1})"},
      // Objects of one shape in a row, then another of the same size.
      {R"({"l":[{"b":1,"a":2},{"b":3,"a":4},{"c":5,"a":6}]})",
       R"({"l":[{"a":2,"b":1},{"a":4,"b":3},{"a":6,"c":5}]})"},
      // An escaped backslash before text that reads like an escape.
      {R"({"s":"\/\\/\\u0041"})", R"({"s":"/\\/\\u0041"})"},
      {R"({"s":"\udbff\udfff\uD800\uDC00\u2028"})",
       "{\"s\":\"\xF4\x8F\xBF\xBF\xF0\x90\x80\x80\xE2\x80\xA8\"}"},
      // Long enough that the parser hands the decoded text over in pieces.
      {"{\"s\":\"" + std::string(5000, 'a') + "\\u00e9\\n" + std::string(9000, 'b') + "\"}",
       "{\"s\":\"" + std::string(5000, 'a') + "\xC3\xA9\\n" + std::string(9000, 'b') + "\"}"},
      // Long neighbours send a number through the parser's bulk path.
      {R"({"z":")" + padding + R"(","n":-1E-99999999999999999999})",
       R"({"n":-1E-99999999999999999999,"z":")" + padding + "\"}"}};
  for (const auto& [input, canonical] : cases) {
    EXPECT_EQ(reencoded(input), canonical);
    EXPECT_EQ(reencoded(" " + canonical), canonical);
    EXPECT_EQ(parseObject(input).document->canonical(), input == canonical) << input;
    const JsonObject object = parseObject(canonical);
    EXPECT_TRUE(object.document->canonical() && object.document->source() == canonical);
  }
  for (const int c : {0x00, 0x08, 0x0a, 0x0b, 0x1e, 0x1f, 0x20, 0x41, 0xe9, 0x100, 0x1000}) {
    char lower[16], upper[16];
    std::snprintf(lower, sizeof lower, R"({"s":"\u%04x"})", c);
    std::snprintf(upper, sizeof upper, R"({"s":"\u%04X"})", c);
    const bool canonical = c < 0x20 && c != 0x08 && c != 0x0a;
    EXPECT_EQ(parseObject(lower).document->canonical(), canonical) << lower;
    EXPECT_EQ(parseObject(upper).document->canonical(),
              canonical && std::string_view(lower) == upper)
        << upper;
  }
}

// Values built here, parsed ones embedded whole or in part, and strings that
// only a file name can hold: one U+FFFD per maximal ill-formed subpart, and
// keys sorted by their repaired text, as a reader of the output sees them.
// Escapes make the output outgrow what was reserved for it.
TEST(Json, EncodesValuesAfterWhatIsThere) {
  const JsonObject stored = parseObject(R"({"k":{"y":[1.50,"a/b"],"x":null},"b":"\t"})");
  const JsonValue::Object embedded = {{"result", stored},
                                      {"part", JsonValue(stored.document, *stored.find("k"))}};
  const std::vector<std::pair<JsonValue, std::string>> cases = {
      {embedded, R"({"part":{"x":null,"y":[1.50,"a/b"]},"result":{"b":"\t","k":)"
                 R"({"x":null,"y":[1.50,"a/b"]}}})"},
      // A quote and a backslash amid plain text, where it is read eight bytes at a time.
      {"\x01\x1f\"\\\n\x7f\xC3\xA9", "\"\\u0001\\u001f\\\"\\\\\\n\x7f\xC3\xA9\""},
      {"abc\"defghij\\klmnopq", "\"abc\\\"defghij\\\\klmnopq\""},
      {"a\xFF\x80z\xE2\x82z\xC0\xAF\xE0\x80\xAF\xED\xA0\x80\xF4\x90\x80\x80\xE2\x82",
       "\"a" + repeated("\uFFFD", 2) + "z\uFFFDz" + repeated("\uFFFD", 13) + "\""},
      {JsonValue::Object{{"\xEF\xBF\xBE", std::int64_t{2}}, {"\xFF", std::int64_t{1}}},
       "{\"\xEF\xBF\xBD\":1,\"\xEF\xBF\xBE\":2}"},
      {JsonValue::Array{std::string(100'000, '\x01')},
       "[\"" + repeated("\\u0001", 100'000) + "\"]"}};
  for (const auto& [value, canonical] : cases) {
    std::string out = "prefix ";
    appendCanonicalJson(out, value);
    EXPECT_TRUE(out == "prefix " + canonical) << out.substr(0, 200);
  }
}

// Long enough for several pieces. A canonical text goes to the sink mostly
// where it stands, any other through the encoder's buffer; both must arrive
// whole and in order, every piece but the last at least the promised size and
// none empty, whatever the length, and the size counted beforehand must be
// theirs.
TEST(Json, WritesToASinkInLargePieces) {
  const std::string canonical = "{\"a\":[" + repeated("\"abc\\n\",", 200'000) + "1]}";
  std::vector<std::pair<std::string, std::string>> texts = {{canonical, canonical},
                                                            {" " + canonical, canonical}};
  for (std::size_t pieces = 1; pieces <= 8; ++pieces) {
    const std::string exact =
        "{\"a\":\"" + std::string(pieces * minimumSinkPieceBytes - 8, 'x') + "\"}";
    texts.emplace_back(exact, exact);
  }
  for (const auto& [text, expected] : texts) {
    std::vector<std::size_t> sizes;
    std::string written;
    const JsonObject object = parseObject(text);
    EXPECT_EQ(canonicalSize(object.view()), expected.size());
    writeCanonicalJson(object.view(), [&](std::string_view piece) {
      sizes.push_back(piece.size());
      written += piece;
    });
    EXPECT_TRUE(written == expected);
    for (std::size_t i = 0; i + 1 < sizes.size(); ++i) EXPECT_GE(sizes[i], minimumSinkPieceBytes);
    EXPECT_NE(sizes.back(), 0u);
    if (expected == canonical) EXPECT_GT(sizes.size(), 2u);
  }
}

// The vectorised path judges UTF-8 as the scalar one does, over sequences on
// the edges of well-formed UTF-8 and ill-formed ones (stray continuations,
// overlong forms, surrogates, code points above U+10FFFF, impossible bytes,
// cut sequences), alone and put in texts of many lengths around its blocks.
// Skipped, visibly, where this processor cannot run it.
TEST(Utf8Path, JudgesAsTheScalarPathDoes) {
  if (!hasVectorUtf8()) GTEST_SKIP() << "this processor lacks the instructions";
  // clang-format off
  const std::vector<std::string> valid = {"\x7f", "\xC2\x80", "\xDF\xBF", "\xE0\xA0\x80",
      "\xED\x9F\xBF", "\xEE\x80\x80", "\xEF\xBF\xBF", "\xF0\x90\x80\x80", "\xF4\x8F\xBF\xBF"};
  const std::vector<std::string> invalid = {"\x80", "\xBF", "\xC0\xAF", "\xC1\xBF", "\xE0\x9F\xBF",
      "\xED\xA0\x80", "\xF0\x8F\xBF\xBF", "\xF4\x90\x80\x80", "\xF5\x80\x80\x80", "\xFF", "\xC2",
      "\xE1\x80", "\xF1\x80\x80"};
  // clang-format on
  std::vector<std::string> pieces = valid;
  pieces.insert(pieces.end(), invalid.begin(), invalid.end());
  for (const std::string& piece : pieces) {
    const bool expected = &piece - pieces.data() < std::ssize(valid);
    EXPECT_EQ(isValidUtf8(piece, false), expected) << ::testing::PrintToString(piece);
    EXPECT_EQ(isValidUtf8(std::string(30, 'x') + piece + std::string(70, 'x')), expected);
  }
  std::mt19937 random(20261206);
  int invalidTexts = 0;
  for (int i = 0; i < 20'000; ++i) {
    std::string text(random() % 200, 'x');
    for (std::size_t n = random() % (i % 2 ? 3 : 40); n > 0; --n) {
      text.insert(random() % (text.size() + 1), pieces[random() % pieces.size()]);
    }
    const bool judged = isValidUtf8(text, false);
    invalidTexts += !judged;
    ASSERT_EQ(isValidUtf8(text), judged) << ::testing::PrintToString(text);
  }
  EXPECT_GT(invalidTexts, 5'000);
  EXPECT_LT(invalidTexts, 15'000);
}

}  // namespace
}  // namespace brindell::testing
