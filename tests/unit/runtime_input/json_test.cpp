#include "common/reference/json_tree.h"

#include <gtest/gtest.h>

#include <string>

namespace verdane::runtime_input {
namespace {

using Kind = JsonValue::Kind;

JsonValue parsed(std::string_view text) {
  EXPECT_EQ(check_json(text), std::nullopt) << text;
  auto result = parse_json(text);
  EXPECT_TRUE(result.ok()) << text << ": " << (result.ok() ? "" : result.error().message());
  if (!result.ok()) return JsonValue();
  return std::move(result).value();
}

struct KindCase {
  std::string name;
  std::string text;
  Kind kind;
};

class NumberKindTest : public testing::TestWithParam<KindCase> {};

TEST_P(NumberKindTest, TellsIntegersFromFloatingPoint) {
  EXPECT_EQ(parsed(GetParam().text).kind(), GetParam().kind);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, NumberKindTest,
    testing::Values(KindCase{"zero", "0", Kind::Int}, KindCase{"minus_zero", "-0", Kind::Int},
                    KindCase{"int64_min", "-9223372036854775808", Kind::Int},
                    KindCase{"int64_max", "9223372036854775807", Kind::Int},
                    KindCase{"above_int64", "9223372036854775808", Kind::UInt},
                    KindCase{"uint64_max", "18446744073709551615", Kind::UInt},
                    KindCase{"above_uint64", "18446744073709551616", Kind::Float},
                    KindCase{"below_int64", "-9223372036854775809", Kind::Float},
                    KindCase{"fraction", "1.0", Kind::Float},
                    KindCase{"exponent", "1e3", Kind::Float},
                    KindCase{"exponent_upper_signed", "-2E-3", Kind::Float},
                    KindCase{"beyond_double", "1e400", Kind::Float},
                    KindCase{"tiny", "1e-400", Kind::Float},
                    KindCase{"four_hundred_digits", std::string(401, '9'), Kind::Float},
                    KindCase{"long_fraction", std::string("0.").append(5000, '1'), Kind::Float},
                    KindCase{"null", " null ", Kind::Null}, KindCase{"true", "true", Kind::Bool},
                    KindCase{"string", "\"x\"", Kind::String}, KindCase{"array", "[]", Kind::Array},
                    KindCase{"object", "{}", Kind::Object}),
    [](const auto& info) { return info.param.name; });

TEST(JsonValues, KeepIntegerValues) {
  EXPECT_EQ(*parsed("-9223372036854775808").as_int64(), INT64_MIN);
  EXPECT_EQ(*parsed("18446744073709551615").as_large_uint64(), UINT64_MAX);
  EXPECT_EQ(parsed("5").as_large_uint64(), nullptr);
  // Huge numbers inside a document leave the rest of it intact.
  const JsonValue v = parsed("[1e999, -7, 1.5e-3, \"1e999\", 12345678901234567890123]");
  const auto& a = *v.as_array();
  ASSERT_EQ(a.size(), 5u);
  EXPECT_EQ(a[0].kind(), Kind::Float);
  EXPECT_EQ(*a[1].as_int64(), -7);
  EXPECT_EQ(a[2].kind(), Kind::Float);
  EXPECT_EQ(*a[3].as_string(), "1e999");
  EXPECT_EQ(a[4].kind(), Kind::Float);
}

TEST(JsonValues, StringsKeepEscapesAndNul) {
  const JsonValue v = parsed(R"("a\u0000b\n\"\\\/\ud83d\ude00\u00e9")");
  EXPECT_EQ(*v.as_string(), std::string("a\0b\n\"\\/\xF0\x9F\x98\x80\xC3\xA9", 13));
}

TEST(JsonValues, ObjectsSortByBytesAndKeepLastOfRepeatedNames) {
  const JsonValue v =
      parsed(R"({"b": 1, "a": 2, "Z": 3, "b": 4, "\u00e9": 5, "a\u0000": 6, "a": 7})");
  const auto& members = *v.as_object();
  ASSERT_EQ(members.size(), 5u);
  EXPECT_EQ(members[0].name, "Z");
  EXPECT_EQ(members[1].name, "a");
  EXPECT_EQ(*members[1].value.as_int64(), 7);
  EXPECT_EQ(members[2].name, std::string("a\0", 2));
  EXPECT_EQ(members[3].name, "b");
  EXPECT_EQ(*members[3].value.as_int64(), 4);
  EXPECT_EQ(members[4].name, "\xC3\xA9");
}

TEST(JsonValues, RepeatedNameWithNestedValuesKeepsTheLast) {
  const JsonValue v = parsed(R"({"a": [[1]], "a": {"x": [2]}})");
  const auto& members = *v.as_object();
  ASSERT_EQ(members.size(), 1u);
  ASSERT_TRUE(members[0].value.is_object());
  EXPECT_EQ(members[0].value.as_object()->at(0).name, "x");
}

struct ErrorCase {
  std::string name;
  std::string text;
  std::string message;
};

class ParseErrorTest : public testing::TestWithParam<ErrorCase> {};

TEST_P(ParseErrorTest, NamesTheProblemAndItsPosition) {
  auto result = parse_json(GetParam().text);
  ASSERT_FALSE(result.ok());
  EXPECT_EQ(result.error().message(), GetParam().message);
  // Checking without building finds the same problem.
  const auto checked = check_json(GetParam().text);
  ASSERT_TRUE(checked);
  EXPECT_EQ(checked->message(), GetParam().message);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ParseErrorTest,
    testing::Values(
        ErrorCase{"empty", "", "the document is empty at line 1 column 1"},
        // Numbers beyond a double next to other number characters are
        // still checked as written.
        ErrorCase{"two_minus_signs", "--1.5", "expected a JSON value at line 1 column 2"},
        ErrorCase{"minus_between_numbers", "1-1.5",
                  "unexpected content after the document's value at line 1 column 2"},
        ErrorCase{"second_exponent", "1e400e5", "number out of range at line 1 column 1"},
        ErrorCase{"blank", " \n  ", "the document is empty at line 2 column 3"},
        ErrorCase{"trailing_comma", "[1,]", "expected a JSON value at line 1 column 4"},
        ErrorCase{"second_line", "{\n  \"a\": tru\n}", "expected a JSON value at line 2 column 11"},
        ErrorCase{"columns_count_characters", "[\"\xC3\xA9\xE2\x82\xAC\", x]",
                  "expected a JSON value at line 1 column 8"},
        ErrorCase{"carriage_return_is_no_line_break", "\r\r[x]",
                  "expected a JSON value at line 1 column 4"},
        ErrorCase{"missing_colon", R"({"a" 1})",
                  "expected ':' after a member name at line 1 column 6"},
        ErrorCase{"missing_name", "{1: 2}",
                  "expected a member name in double quotes at line 1 column 2"},
        ErrorCase{"missing_comma_object", R"({"a": 1 "b": 2})",
                  "expected ',' or '}' after an object member at line 1 column 9"},
        ErrorCase{"missing_comma_array", "[1 2]",
                  "expected ',' or ']' after an array element at line 1 column 4"},
        ErrorCase{"unclosed_array", "[1",
                  "expected ',' or ']' after an array element at line 1 column 3"},
        ErrorCase{"two_values", "{} {}",
                  "unexpected content after the document's value at line 1 column 4"},
        ErrorCase{"bad_escape", R"(["\x"])",
                  "invalid escape sequence in a string at line 1 column 3"},
        ErrorCase{"raw_tab", "[\"a\tb\"]",
                  "control character in a string must be escaped at line 1 column 4"},
        ErrorCase{"raw_line_feed", "[\"a\nb\"]",
                  "control character in a string must be escaped at line 1 column 4"},
        ErrorCase{"unterminated", "\"abc", "unterminated string at line 1 column 5"},
        ErrorCase{"bad_hex", R"("\u12G4")",
                  "expected four hexadecimal digits after \\u at line 1 column 2"},
        ErrorCase{"lone_high", R"("\ud800")",
                  "invalid UTF-16 surrogate in a \\u escape at line 1 column 2"},
        ErrorCase{"high_then_other", R"("\ud800\u0041")",
                  "invalid UTF-16 surrogate in a \\u escape at line 1 column 2"},
        ErrorCase{"lone_low", R"(["ok", "a\udc00"])",
                  "invalid UTF-16 surrogate in a \\u escape at line 1 column 10"},
        ErrorCase{"lone_low_after_pair", "{\"\xC3\xA9\": \"\\ud83d\\ude00\\udfff\"}",
                  "invalid UTF-16 surrogate in a \\u escape at line 1 column 20"},
        ErrorCase{"lone_low_in_name", "{\"a\": 1,\n \"\\\"\\uDC00\": 2}",
                  "invalid UTF-16 surrogate in a \\u escape at line 2 column 5"},
        ErrorCase{"missing_fraction", "1.",
                  "expected digits after the decimal point at line 1 column 3"},
        ErrorCase{"missing_exponent", "[1e+]",
                  "expected digits in the exponent at line 1 column 5"},
        ErrorCase{"leading_zero", "[01]",
                  "expected ',' or ']' after an array element at line 1 column 3"},
        ErrorCase{"plus_sign", "+1", "expected a JSON value at line 1 column 1"},
        ErrorCase{"nan", "NaN", "expected a JSON value at line 1 column 1"},
        ErrorCase{"infinity", "[-Infinity]", "expected a JSON value at line 1 column 3"},
        ErrorCase{"comment", "{} // x",
                  "unexpected content after the document's value at line 1 column 4"},
        ErrorCase{"single_quotes", "['a']", "expected a JSON value at line 1 column 2"},
        ErrorCase{"nul_after_value", std::string("{}\0{}", 5),
                  "unexpected NUL character at line 1 column 3"},
        ErrorCase{"nul_in_array", std::string("[1,\0]", 5),
                  "unexpected NUL character at line 1 column 4"},
        ErrorCase{"nul_in_string", std::string("\"a\0\"", 4),
                  "unexpected NUL character at line 1 column 3"},
        ErrorCase{"error_before_nul", std::string("[x\0]", 4),
                  "expected a JSON value at line 1 column 2"},
        ErrorCase{"invalid_utf8_in_string", "\"\xFF\"",
                  "invalid UTF-8 in a string at line 1 column 2"},
        ErrorCase{"invalid_utf8_outside", "\xFF", "expected a JSON value at line 1 column 1"}),
    [](const auto& info) { return info.param.name; });

// Depth of the chain of first elements, walked without recursion.
std::size_t nesting(const JsonValue& root) {
  std::size_t depth = 0;
  const JsonValue* v = &root;
  while (const auto* a = v->as_array()) {
    ++depth;
    if (a->empty()) break;
    v = &a->front();
  }
  return depth;
}

constexpr std::size_t kMillion = 1'000'000;

TEST(DeepNesting, MillionNestedArraysParseAndDestroy) {
  const std::string text = std::string(kMillion, '[') + std::string(kMillion, ']');
  auto result = parse_json(text);
  ASSERT_TRUE(result.ok());
  EXPECT_EQ(nesting(*result), kMillion);
  // Destroyed at the end of scope; must not recurse per level.
}

TEST(DeepNesting, MillionNestedObjectsParseAndDestroy) {
  std::string text;
  for (std::size_t i = 0; i < kMillion; ++i) text += "{\"a\":";
  text += "1";
  text += std::string(kMillion, '}');
  EXPECT_TRUE(parse_json(text).ok());
}

TEST(DeepNesting, UnclosedMillionNestedArraysFail) {
  const std::string text(kMillion, '[');
  auto result = parse_json(text);
  ASSERT_FALSE(result.ok());
  EXPECT_EQ(result.error().message(), "expected a JSON value at line 1 column 1000001");
}

TEST(DeepNesting, ErrorAfterClosedDeepValueFails) {
  std::string text(kMillion + 1, '[');
  text.append(kMillion, ']').append(" x]");
  auto result = parse_json(text);
  ASSERT_FALSE(result.ok());
  EXPECT_EQ(result.error().message(),
            "expected ',' or ']' after an array element at line 1 column 2000003");
}

TEST(DeepNesting, MovedDeepValueIsDestroyedOnAssignment) {
  JsonValue v = parsed(std::string(kMillion, '[') + std::string(kMillion, ']'));
  v = JsonValue::integer(1);
  EXPECT_EQ(*v.as_int64(), 1);
}

}  // namespace
}  // namespace verdane::runtime_input
