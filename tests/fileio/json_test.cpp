#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "fileio/json.h"
#include "request/sync_failure.h"

namespace brindell {
namespace {

const std::string invalidJson =
    "A sync file contains invalid JSON. Preserve it for inspection; local workspace data is "
    "unchanged.";
const std::string notAnObject = "A sync file must contain one JSON object.";

std::string nested(std::size_t depth) {
  return std::string(depth, '[') + std::string(depth, ']');
}

// The message parseObject refuses `bytes` with, or "" when it accepts them.
std::string refusal(const std::string& bytes) {
  try {
    parseObject(bytes);
    return "";
  } catch (const SyncFailure& failure) {
    EXPECT_EQ(failure.code, "SYNC_INVALID_FILE");
    return failure.message;
  }
}

std::string replacements(std::size_t count) {
  std::string text;
  for (std::size_t i = 0; i < count; ++i) text += "\xEF\xBF\xBD";
  return text;
}

std::string reencoded(const std::string& bytes) {
  return canonicalJson(parseObject(bytes).view());
}

struct RefusalCase {
  const char* name;
  std::string bytes;
  std::string message;
};

void PrintTo(const RefusalCase& refusalCase, std::ostream* out) {
  *out << refusalCase.name;
}

class ParseRefusal : public testing::TestWithParam<RefusalCase> {};

TEST_P(ParseRefusal, GivesItsMessage) {
  EXPECT_EQ(refusal(GetParam().bytes), GetParam().message);
}

INSTANTIATE_TEST_SUITE_P(
    Json, ParseRefusal,
    testing::Values(
        RefusalCase{"empty", "", invalidJson}, RefusalCase{"blank", " \n\t", invalidJson},
        RefusalCase{"number", "1", invalidJson}, RefusalCase{"string", "\"a\"", invalidJson},
        RefusalCase{"null", "null", invalidJson}, RefusalCase{"boolean", "true", invalidJson},
        RefusalCase{"truncated", "{\"a\":[1,", invalidJson},
        RefusalCase{"unclosed", "{\"a\":1", invalidJson},
        RefusalCase{"trailingText", "{} x", invalidJson},
        RefusalCase{"twoObjects", "{}{}", invalidJson},
        RefusalCase{"trailingComma", "{\"a\":1,}", invalidJson},
        RefusalCase{"comment", "{}//", invalidJson},
        RefusalCase{"leadingZero", "{\"a\":01}", invalidJson},
        RefusalCase{"exponentBeyond32Bits", "{\"a\":1e2147483648}", invalidJson},
        RefusalCase{"strayContinuation", "{\"a\":\"\x80\"}", invalidJson},
        RefusalCase{"overlong", "{\"a\":\"\xC0\xAF\"}", invalidJson},
        RefusalCase{"overlongThree", "{\"a\":\"\xE0\x80\xAF\"}", invalidJson},
        RefusalCase{"encodedSurrogate", "{\"a\":\"\xED\xA0\x80\"}", invalidJson},
        RefusalCase{"aboveUnicode", "{\"a\":\"\xF4\x90\x80\x80\"}", invalidJson},
        RefusalCase{"cutSequence", "{\"a\":\"\xE2\x82\"}", invalidJson},
        RefusalCase{"invalidUtf8InKey", "{\"\xFF\":1}", invalidJson},
        RefusalCase{"loneHighSurrogate", "{\"a\":\"\\ud800\"}", invalidJson},
        RefusalCase{"loneLowSurrogate", "{\"a\":\"\\udc00x\"}", invalidJson},
        RefusalCase{"twoHighSurrogates", "{\"a\":\"\\ud800\\ud800\"}", invalidJson},
        RefusalCase{"rawControl", "{\"a\":\"\x01\"}", invalidJson},
        RefusalCase{"rawTab", "{\"a\":\"\t\"}", invalidJson},
        RefusalCase{"rawNul", std::string("{\"a\":\"\0\"}", 8), invalidJson},
        RefusalCase{"duplicateKey", "{\"a\":1,\"b\":2,\"a\":3}", invalidJson},
        RefusalCase{"escapedDuplicateKey", "{\"a\":1,\"\\u0061\":2}", invalidJson},
        RefusalCase{"nestedDuplicateKey", "{\"x\":[{\"k\":1,\"k\":1}]}", invalidJson},
        RefusalCase{"tooDeep", "{\"a\":" + nested(1000) + "}", invalidJson},
        RefusalCase{"endlessOpening", std::string(7 << 20, '['), invalidJson},
        RefusalCase{"endlessObjects",
                    [] {
                      std::string s;
                      for (int i = 0; i < 1 << 20; ++i) s += "{\"a\":";
                      return s;
                    }(),
                    invalidJson},
        RefusalCase{"array", "[]", notAnObject},
        RefusalCase{"arrayOfObjects", " [{}] ", notAnObject}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(Json, AcceptsNestingUpToTheMaximum) {
  EXPECT_EQ(refusal("{\"a\":" + nested(511) + "}"), "");
  EXPECT_EQ(refusal("{\"a\":" + nested(maximumJsonDepth - 1) + "}"), "");
  EXPECT_EQ(reencoded("{\"a\":" + nested(999) + "}"), "{\"a\":" + nested(999) + "}");
}

class NumberText : public testing::TestWithParam<std::string> {};

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
                         testing::Values("0", "-0", "1.0", "1E400", "-1.5e-7", "0.10E+02",
                                         "123456789012345678901234567890", "18446744073709551616",
                                         "-9223372036854775809", "3.14159265358979323846264338",
                                         "1e2147483647"));

struct EncodingCase {
  std::string input;
  std::string canonical;
};

class Encoding : public testing::TestWithParam<EncodingCase> {};

TEST_P(Encoding, IsCanonicalAndStable) {
  EXPECT_EQ(reencoded(GetParam().input), GetParam().canonical);
  EXPECT_EQ(reencoded(GetParam().canonical), GetParam().canonical);
}

INSTANTIATE_TEST_SUITE_P(
    Json, Encoding,
    testing::Values(
        EncodingCase{" { \"b\" : 1 ,\n\"a\" : [ true , false , null, {}, [] ] } ",
                     "{\"a\":[true,false,null,{},[]],\"b\":1}"},
        EncodingCase{"{\"z\":{\"y\":1,\"x\":{\"b\":2,\"a\":1}},\"a\":0}",
                     "{\"a\":0,\"z\":{\"x\":{\"a\":1,\"b\":2},\"y\":1}}"},
        // Key order is byte order: upper case, lower case, then by UTF-8 lead byte.
        EncodingCase{"{\"\xF0\x9F\x98\x80\":5,\"\xEF\xBD\x85\":4,\"\xC3\xA9\":3,\"z\":2,\"Z\":1}",
                     "{\"Z\":1,\"z\":2,\"\xC3\xA9\":3,\"\xEF\xBD\x85\":4,\"\xF0\x9F\x98\x80\":5}"},
        EncodingCase{"{\"b\":1,\"\\u0061\":2}", "{\"a\":2,\"b\":1}"},
        EncodingCase{"{\"s\":\"\\u0000\\u0008\\u000c\\n\\r\\t\\u000b\\u001f\\\"\\\\\"}",
                     "{\"s\":\"\\u0000\\b\\f\\n\\r\\t\\u000b\\u001f\\\"\\\\\"}"},
        EncodingCase{"{\"s\":\"a\\/b/c\"}", "{\"s\":\"a/b/c\"}"},
        EncodingCase{"{\"s\":\"\\u007f\x7f\\u00e9\\ud83d\\ude00\\u2028\"}",
                     "{\"s\":\"\x7f\x7f\xC3\xA9\xF0\x9F\x98\x80\xE2\x80\xA8\"}"},
        EncodingCase{"{\"\\n\":\"\\u0041\",\"\":\"\"}", "{\"\":\"\",\"\\n\":\"A\"}"},
        // Long enough that the parser hands the decoded text over in pieces.
        EncodingCase{
            "{\"s\":\"" + std::string(5000, 'a') + "\\u00e9\\n" + std::string(9000, 'b') + "\"}",
            "{\"s\":\"" + std::string(5000, 'a') + "\xC3\xA9\\n" + std::string(9000, 'b') +
                "\"}"}));

TEST(Json, FindsMembersByDecodedKey) {
  const JsonObject object = parseObject(
      "{\"m\":1,\"a\\nb\":2,\"c\":true,\"zz\":false,\"\xC3\xA9\":null,\"list\":[\"x\",2]}");
  EXPECT_EQ(object.find("m")->text(), "1");
  EXPECT_EQ(object.find("a\nb")->text(), "2");
  EXPECT_TRUE(object.find("c")->boolean());
  EXPECT_FALSE(object.find("zz")->boolean());
  EXPECT_EQ(object.find("\xC3\xA9")->kind(), JsonKind::null);
  for (const char* absent : {"", "b", "a", "n", "zzz", "\xC3"}) EXPECT_FALSE(object.find(absent));

  const JsonView list = *object.find("list");
  ASSERT_EQ(list.size(), 2u);
  EXPECT_EQ(list.element(0).text(), "x");
  EXPECT_FALSE(list.find("x"));
  EXPECT_FALSE(list.element(0).find("x"));
  EXPECT_EQ(object.view().size(), 6u);
  EXPECT_EQ(object.view().key(0), "a\nb");
  EXPECT_FALSE(parseObject("{}").find("a"));
}

TEST(Json, AppendsAfterWhatIsThere) {
  const std::string text(100'000, 'x');
  const JsonObject object = parseObject("{\"a\":[1,{\"b\":\"\\u0000\"}]}");
  std::string out = "prefix ";
  appendCanonicalJson(
      out,
      JsonValue::Array{text, object, JsonValue(object.document, object.find("a")->element(1))});
  appendCanonicalJson(out, *object.find("a"));
  EXPECT_EQ(out, "prefix [\"" + text + "\",{\"a\":[1,{\"b\":\"\\u0000\"}]},{\"b\":\"\\u0000\"}]" +
                     "[1,{\"b\":\"\\u0000\"}]");
}

struct ValueCase {
  const char* name;
  JsonValue value;
  std::string canonical;
};

class ValueEncoding : public testing::TestWithParam<ValueCase> {};

TEST_P(ValueEncoding, IsCanonicalValidAndStable) {
  const std::string encoded = canonicalJson(GetParam().value);
  EXPECT_EQ(encoded, GetParam().canonical);
  if (encoded.front() == '{') {
    EXPECT_EQ(reencoded(encoded), encoded);
  }
}

const JsonObject stored = parseObject("{\"k\":{\"y\":[1.50,\"a/b\"],\"x\":null},\"b\":\"\\t\"}");

INSTANTIATE_TEST_SUITE_P(
    Json, ValueEncoding,
    testing::Values(
        ValueCase{"sortedMembers",
                  JsonValue::Object{{"ok", true},
                                    {"error", JsonValue::Object{{"message", "a/b"}, {"code", "C"}}},
                                    {"n", JsonValue::Array{std::int64_t{-3}, JsonValue(), false,
                                                           JsonValue::Number{"1E400"}}}},
                  "{\"error\":{\"code\":\"C\",\"message\":\"a/b\"},\"n\":[-3,null,false,1E400],"
                  "\"ok\":true}"},
        ValueCase{"embedded",
                  JsonValue::Object{{"result", stored},
                                    {"part", JsonValue(stored.document, *stored.find("k"))}},
                  "{\"part\":{\"x\":null,\"y\":[1.50,\"a/b\"]},\"result\":{\"b\":\"\\t\",\"k\":{"
                  "\"x\":null,\"y\":[1.50,\"a/b\"]}}}"},
        ValueCase{"escapes", "\x01\x1f\"\\\n\x7f\xC3\xA9",
                  "\"\\u0001\\u001f\\\"\\\\\\n\x7f\xC3\xA9\""},
        // One U+FFFD per maximal ill-formed subpart.
        ValueCase{"strayBytes", "a\xFF\x80z", "\"a\xEF\xBF\xBD\xEF\xBF\xBDz\""},
        ValueCase{"cutSequence", "\xE2\x82z\xE2\x82", "\"\xEF\xBF\xBDz\xEF\xBF\xBD\""},
        ValueCase{"overlong", "\xC0\xAF\xE0\x80\xAF", "\"" + replacements(5) + "\""},
        ValueCase{"surrogate", "\xED\xA0\x80", "\"" + replacements(3) + "\""},
        ValueCase{"aboveUnicode", "\xF4\x90\x80\x80", "\"" + replacements(4) + "\""},
        // Keys sort by their repaired text, as a reader of the output sees them.
        ValueCase{"repairedKeys",
                  JsonValue::Object{{"\xEF\xBF\xBE", std::int64_t{2}}, {"\xFF", std::int64_t{1}}},
                  "{\"\xEF\xBF\xBD\":1,\"\xEF\xBF\xBE\":2}"}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace brindell
