#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "base/sync_failure.h"
#include "json/json.h"
#include "json/json_text.h"
#include "support/sync_folder.h"

namespace brindell::testing {
namespace {

const std::string invalidJson =
    "SYNC_INVALID_FILE: A sync file contains invalid JSON. Preserve it for inspection; local "
    "workspace data is unchanged.";

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

class InvalidJson : public ::testing::TestWithParam<std::string> {};

TEST_P(InvalidJson, IsRefused) {
  EXPECT_EQ(outcomeOf([&] { parseObject(GetParam()); }), invalidJson);
}

INSTANTIATE_TEST_SUITE_P(
    Syntax, InvalidJson,
    ::testing::Values("", " \n\t", "1", "\"a\"", "null", "true", "{\"a\":[1,", "{\"a\":1", "{} x",
                      "{}{}", "{\"a\":1,}", "{}//", "{\"a\":01}", "\xEF\xBB\xBF{}",
                      // Invalid UTF-8, surrogates and raw control characters.
                      "{\"a\":\"\x80\"}", "{\"a\":\"\xC0\xAF\"}", "{\"a\":\"\xE0\x80\xAF\"}",
                      "{\"a\":\"\xED\xA0\x80\"}", "{\"a\":\"\xF4\x90\x80\x80\"}",
                      "{\"a\":\"\xE2\x82\"}", "{\"\xFF\":1}", "{\"a\":\"\\ud800\"}",
                      "{\"a\":\"\\udc00x\"}", "{\"a\":\"\\ud800\\ud800\"}", "{\"a\":\"\x01\"}",
                      "{\"a\":\"\\ud800\\ndc00\"}", "{\"a\":\"\\ud800xudc00\"}", "{a\":1}",
                      "{\"a\":\"\t\"}", std::string("{\"a\":\"\0\"}", 8),
                      // Escapes without their hex digits, a key without its colon,
                      // a fraction or exponent without digits before a closer.
                      "{\"a\":\"\\u12G4\"}", "{\"a\":\"\\u00g0\"}", "{\"a\"}", "{\"a\":[1.]]}",
                      "{\"a\":[1e]]}", "{\"a\":[1e+]]}",
                      // Duplicate keys, also once unescaped, deep inside, and in a
                      // text that is canonical but for that.
                      "{\"a\":1,\"b\":2,\"a\":3}", "{\"a\":1,\"\\u0061\":2}", "{\"a\":1,\"a\":1}",
                      "{\"x\":[{\"k\":1,\"k\":1}]}",
                      "{\"x\":[{\"b\":1,\"a\":2},{\"b\":1,\"b\":2}]}",
                      // Too deep by one.
                      "{\"a\":" + nested(1000) + "}"));

// Nesting without end is refused like any invalid text, never a crash. Not
// table rows: every test's start prints the parameters whole.
TEST(Json, RefusesEndlessNesting) {
  for (const std::string& bytes : {std::string(7 << 20, '['), repeated("{\"a\":", 1 << 20)}) {
    EXPECT_EQ(outcomeOf([&] { parseObject(bytes); }), invalidJson);
  }
}

TEST(Json, RefusesAnArrayAsNotOneObject) {
  for (const char* array : {"[]", " [{}] "}) {
    EXPECT_EQ(outcomeOf([&] { parseObject(array); }),
              "SYNC_INVALID_FILE: A sync file must contain one JSON object.");
  }
}

TEST(Json, AcceptsNestingUpToTheMaximum) {
  EXPECT_EQ(outcomeOf([] { parseObject("{\"a\":" + nested(511) + "}"); }), "ok");
  // Canonical and not: the two are validated by different passes.
  for (const char* space : {"", " "}) {
    EXPECT_EQ(reencoded(space + ("{\"a\":" + nested(999) + "}")), "{\"a\":" + nested(999) + "}");
  }
}

class NumberText : public ::testing::TestWithParam<std::string> {};

TEST_P(NumberText, IsKeptVerbatim) {
  // Long neighbours send the number through the parser's bulk path as well.
  const std::string padding(64, 'p');
  for (const std::string& bytes :
       {"{\"n\":" + GetParam() + "}", "{\"n\":" + GetParam() + ",\"z\":\"" + padding + "\"}"}) {
    const JsonObject object = parseObject(bytes);
    ASSERT_TRUE(object.find("n"));
    EXPECT_EQ(object.find("n")->kind(), JsonKind::number);
    EXPECT_EQ(object.find("n")->text(), GetParam());
    EXPECT_EQ(canonicalJson(object.view()), bytes);
  }
}

INSTANTIATE_TEST_SUITE_P(Json, NumberText,
                         ::testing::Values("0", "-0", "1.0", "1E400", "-1.5e-7", "0.10E+02",
                                           "123456789012345678901234567890", "18446744073709551616",
                                           "-9223372036854775809", "3.14159265358979323846264338",
                                           "1e2147483647", "1e2147483648",
                                           "-1E-99999999999999999999"));

struct EncodingCase {
  std::string input;
  std::string canonical;
};

class Encoding : public ::testing::TestWithParam<EncodingCase> {};

TEST_P(Encoding, IsCanonicalAndStable) {
  EXPECT_EQ(reencoded(GetParam().input), GetParam().canonical);
  EXPECT_EQ(reencoded(GetParam().canonical), GetParam().canonical);
}

INSTANTIATE_TEST_SUITE_P(
    Json, Encoding,
    ::testing::Values(
        EncodingCase{" { \"b\" : 1 ,\n\"a\" : [ true , false , null, {}, [] ] } ",
                     "{\"a\":[true,false,null,{},[]],\"b\":1}"},
        EncodingCase{"{\"z\":{\"y\":1,\"x\":{\"b\":2,\"a\":1}},\"a\":0}",
                     "{\"a\":0,\"z\":{\"x\":{\"a\":1,\"b\":2},\"y\":1}}"},
        // Key order is byte order: upper case, lower case, then by UTF-8 lead byte.
        EncodingCase{"{\"\xF0\x9F\x98\x80\":5,\"\xEF\xBD\x85\":4,\"\xC3\xA9\":3,\"z\":2,\"Z\":1}",
                     "{\"Z\":1,\"z\":2,\"\xC3\xA9\":3,\"\xEF\xBD\x85\":4,\"\xF0\x9F\x98\x80\":5}"},
        EncodingCase{"{\"b\":1,\"\\u0061\":2}", "{\"a\":2,\"b\":1}"},
        // Objects of one shape in a row, then another of the same size.
        EncodingCase{"{\"l\":[{\"b\":1,\"a\":2},{\"b\":3,\"a\":4},{\"c\":5,\"a\":6}]}",
                     "{\"l\":[{\"a\":2,\"b\":1},{\"a\":4,\"b\":3},{\"a\":6,\"c\":5}]}"},
        EncodingCase{"{\"s\":\"\\u0000\\u0008\\u000c\\n\\r\\t\\u000b\\u001f\\\"\\\\\"}",
                     "{\"s\":\"\\u0000\\b\\f\\n\\r\\t\\u000b\\u001f\\\"\\\\\"}"},
        EncodingCase{"{\"s\":\"a\\/b/c\"}", "{\"s\":\"a/b/c\"}"},
        // An escaped backslash before text that reads like an escape.
        EncodingCase{"{\"s\":\"\\/\\\\/\\\\u0041\"}", "{\"s\":\"/\\\\/\\\\u0041\"}"},
        EncodingCase{
            "{\"s\":\"\\u007f\x7f\\u00e9\\ud83d\\ude00\\u2028\\udbff\\udfff\\uD800\\uDC00\"}",
            "{\"s\":"
            "\"\x7f\x7f\xC3\xA9\xF0\x9F\x98\x80\xE2\x80\xA8\xF4\x8F\xBF\xBF\xF0\x90\x80\x80\"}"},
        EncodingCase{"{\"\\n\":\"\\u0041\",\"\":\"\"}", "{\"\":\"\",\"\\n\":\"A\"}"},
        // Long enough that the parser hands the decoded text over in pieces.
        EncodingCase{
            "{\"s\":\"" + std::string(5000, 'a') + "\\u00e9\\n" + std::string(9000, 'b') + "\"}",
            "{\"s\":\"" + std::string(5000, 'a') + "\xC3\xA9\\n" + std::string(9000, 'b') +
                "\"}"}));

// A stored file that is its own canonical encoding is answered from its bytes.
struct CanonicalCase {
  std::string text;
  bool canonical;
};

class CanonicalText : public ::testing::TestWithParam<CanonicalCase> {};

TEST_P(CanonicalText, IsRecognisedExactly) {
  const JsonObject object = parseObject(GetParam().text);
  EXPECT_EQ(isCanonicalText(*object.document), GetParam().canonical);
  // A canonical text is sent out as it stands, so parsing must leave it intact.
  EXPECT_EQ(object.document->source(), GetParam().text);
}

INSTANTIATE_TEST_SUITE_P(
    Json, CanonicalText,
    ::testing::Values(
        CanonicalCase{"{}", true},
        CanonicalCase{R"({"a":[1.0,-0,1E400,true,null,{}],"b":{"c":"x/y é"}})", true},
        CanonicalCase{"{\"\":\"\\u001f\\n\\\"\\\\\",\"Z\":1,\"z\":2}", true},
        CanonicalCase{"{\"a\": 1}", false}, CanonicalCase{" {}", false},
        CanonicalCase{"{}\n", false}, CanonicalCase{R"({"b":1,"a":2})", false},
        CanonicalCase{R"({"a":{"z":1,"y":2}})", false}, CanonicalCase{R"({"s":"\/"})", false},
        CanonicalCase{R"({"s":"\u0041"})", false}, CanonicalCase{R"({"s":"\u001F"})", false},
        CanonicalCase{R"({"s":"\u00e9"})", false}, CanonicalCase{R"({"\/":1})", false},
        CanonicalCase{R"({"s":"\u0000\u000b\u001e"})", true},
        CanonicalCase{R"({"s":"\u0008"})", false}, CanonicalCase{R"({"s":"\u000A"})", false},
        CanonicalCase{R"({"s":"\u0020"})", false}, CanonicalCase{R"({"s":"\u0100"})", false},
        CanonicalCase{R"({"s":"\u1000"})", false},
        // Keys order by their decoded bytes: '"' before '#'.
        CanonicalCase{R"({"\"":1,"#":2})", true}, CanonicalCase{R"({"#":1,"\"":2})", false}));

TEST(Json, FindsMembersByDecodedKey) {
  const JsonObject object = parseObject(
      "{\"m\":1,\"a\\nb\":2,\"zz\":false,\"\xC3\xA9\":null,\"list\":[\"x\"],"
      "\"\\\"\\\\\\/\\b\\f\\n\\r\\t\\u00e9\":3}");
  EXPECT_EQ(object.find("m")->text(), "1");
  EXPECT_EQ(object.find("a\nb")->text(), "2");
  EXPECT_EQ(object.find("\"\\/\b\f\n\r\t\xC3\xA9")->text(), "3");
  EXPECT_EQ(object.find("\xC3\xA9")->kind(), JsonKind::null);
  for (const char* absent : {"", "b", "a", "n", "zzz", "\xC3"}) EXPECT_FALSE(object.find(absent));
  EXPECT_FALSE(object.find("list")->find("x"));
  EXPECT_FALSE(parseObject("{}").find("a"));
  EXPECT_EQ(object.view().size(), 6u);
  EXPECT_EQ(object.find("list")->size(), 1u);
  EXPECT_EQ(object.find("m")->size(), 0u);
}

// Escapes make the output outgrow what was reserved for it.
TEST(Json, AppendsAfterWhatIsThereAndGrows) {
  const JsonObject object = parseObject("{\"a\":{\"b\":\"\\u0000\"}}");
  std::string out = "prefix ";
  appendCanonicalJson(out, JsonValue::Array{std::string(100'000, '\x01'),
                                            JsonValue(object.document, *object.find("a"))});
  EXPECT_TRUE(out == "prefix [\"" + repeated("\\u0001", 100'000) + "\",{\"b\":\"\\u0000\"}]");
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

struct ValueCase {
  const char* name;
  JsonValue value;
  std::string canonical;
};

class ValueEncoding : public ::testing::TestWithParam<ValueCase> {};

TEST_P(ValueEncoding, IsCanonical) {
  EXPECT_EQ(canonicalJson(GetParam().value), GetParam().canonical);
}

const JsonObject stored = parseObject("{\"k\":{\"y\":[1.50,\"a/b\"],\"x\":null},\"b\":\"\\t\"}");

INSTANTIATE_TEST_SUITE_P(
    Json, ValueEncoding,
    ::testing::Values(
        ValueCase{"embedded",
                  JsonValue::Object{{"result", stored},
                                    {"part", JsonValue(stored.document, *stored.find("k"))}},
                  "{\"part\":{\"x\":null,\"y\":[1.50,\"a/b\"]},\"result\":{\"b\":\"\\t\",\"k\":{"
                  "\"x\":null,\"y\":[1.50,\"a/b\"]}}}"},
        ValueCase{"escapes", "\x01\x1f\"\\\n\x7f\xC3\xA9",
                  "\"\\u0001\\u001f\\\"\\\\\\n\x7f\xC3\xA9\""},
        // A quote and a backslash amid plain text, where it is read eight bytes at a time.
        ValueCase{"quoteAmidText", "abc\"defghij\\klmnopq", "\"abc\\\"defghij\\\\klmnopq\""},
        // One U+FFFD per maximal ill-formed subpart.
        ValueCase{"strayBytes", "a\xFF\x80z", "\"a\xEF\xBF\xBD\xEF\xBF\xBDz\""},
        ValueCase{"cutSequence", "\xE2\x82z\xE2\x82", "\"\xEF\xBF\xBDz\xEF\xBF\xBD\""},
        ValueCase{"overlong", "\xC0\xAF\xE0\x80\xAF", "\"" + repeated("\uFFFD", 5) + "\""},
        ValueCase{"surrogate", "\xED\xA0\x80", "\"" + repeated("\uFFFD", 3) + "\""},
        ValueCase{"aboveUnicode", "\xF4\x90\x80\x80", "\"" + repeated("\uFFFD", 4) + "\""},
        // Keys sort by their repaired text, as a reader of the output sees them.
        ValueCase{"repairedKeys",
                  JsonValue::Object{{"\xEF\xBF\xBE", std::int64_t{2}}, {"\xFF", std::int64_t{1}}},
                  "{\"\xEF\xBF\xBD\":1,\"\xEF\xBF\xBE\":2}"}),
    [](const auto& info) { return std::string(info.param.name); });

// The vectorised path judges UTF-8 as the scalar one does, over texts of
// many lengths around its blocks, built from sequences on the edges of
// well-formed UTF-8 and from ill-formed ones: stray continuations, overlong
// forms, surrogates, code points above U+10FFFF, impossible bytes and cut
// sequences. Skipped, visibly, where this processor cannot run it.
TEST(Utf8Path, JudgesAsTheScalarPathDoes) {
  if (!hasVectorUtf8()) GTEST_SKIP() << "this processor lacks the instructions";
  const std::vector<std::string> pieces = {"\x7f",
                                           "\xC2\x80",
                                           "\xDF\xBF",
                                           "\xE0\xA0\x80",
                                           "\xED\x9F\xBF",
                                           "\xEE\x80\x80",
                                           "\xEF\xBF\xBF",
                                           "\xF0\x90\x80\x80",
                                           "\xF4\x8F\xBF\xBF",
                                           "\x80",
                                           "\xBF",
                                           "\xC0\xAF",
                                           "\xC1\xBF",
                                           "\xE0\x9F\xBF",
                                           "\xED\xA0\x80",
                                           "\xF0\x8F\xBF\xBF",
                                           "\xF4\x90\x80\x80",
                                           "\xF5\x80\x80\x80",
                                           "\xFF",
                                           "\xC2",
                                           "\xE1\x80",
                                           "\xF1\x80\x80"};
  std::mt19937 random(20261206);
  int invalid = 0;
  for (int i = 0; i < 20'000; ++i) {
    std::string text(random() % 200, 'x');
    for (std::size_t n = random() % (i % 2 ? 3 : 40); n > 0; --n) {
      text.insert(random() % (text.size() + 1), pieces[random() % pieces.size()]);
    }
    const bool valid = isValidUtf8(text, false);
    invalid += !valid;
    ASSERT_EQ(isValidUtf8(text), valid) << ::testing::PrintToString(text);
  }
  EXPECT_GT(invalid, 5'000);
  EXPECT_LT(invalid, 15'000);
}

}  // namespace
}  // namespace brindell::testing
