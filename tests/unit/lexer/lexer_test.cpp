#include "parser/lexer/lexer.h"

#include <gtest/gtest.h>

#include <array>
#include <string>

namespace verdane::parser::lexer {
namespace {

constexpr std::array<const char*, TOKEN_KIND_COUNT> kKindNames = {
    "Ident",  "Int",    "Str",    "Date",   "Keyword", "Newline",   "LBrace", "RBrace",
    "LParen", "RParen", "LAngle", "RAngle", "Comma",   "Semicolon", "Colon",  "Plus",
    "Minus",  "Star",   "Dot",    "EqEq",   "Lt",      "Le",        "Gt",     "Ge"};

// "Kind(payload)@start-end" per token, space separated.
std::string dump(const TokenList& list) {
  std::string out;
  for (const auto& s : list) {
    if (!out.empty()) out += ' ';
    const Token& t = s.token;
    out += kKindNames[static_cast<std::size_t>(t.kind())];
    std::string payload;
    switch (t.kind()) {
      case TokenKind::Ident:
      case TokenKind::Str:
        payload = t.text();
        break;
      case TokenKind::Int:
        payload = std::to_string(t.int_value());
        break;
      case TokenKind::Date:
        payload = std::to_string(t.date().year);
        payload += '-';
        payload += std::to_string(t.date().month);
        payload += '-';
        payload += std::to_string(t.date().day);
        break;
      case TokenKind::Keyword:
        payload = keyword_text(t.keyword());
        break;
      default:
        break;
    }
    if (!payload.empty() || t.is(TokenKind::Str)) {
      out += '(';
      out += payload;
      out += ')';
    }
    out += '@';
    out += std::to_string(s.span.start);
    out += '-';
    out += std::to_string(s.span.end);
  }
  return out;
}

struct TokCase {
  std::string name;
  std::string src;
  std::string tokens;
};

class LexerTokens : public ::testing::TestWithParam<TokCase> {};

TEST_P(LexerTokens, Scan) {
  const auto& c = GetParam();
  auto r = tokenize(c.src);
  ASSERT_TRUE(r.ok()) << r.error().to_string();
  EXPECT_EQ(dump(*r), c.tokens);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, LexerTokens,
    ::testing::Values(
        TokCase{"Empty", "", ""}, TokCase{"OnlyBlanks", " \t\r\n\n # c\n\n", ""},
        TokCase{"OnlyComment", "# note", ""},
        TokCase{"NewlineRunCoversAll", "\n\nname t\n\n\nintent",
                "Keyword(name)@2-6 Ident(t)@7-8 Newline@8-11 Keyword(intent)@11-17"},
        TokCase{"SeparatedRunsAreSeparateTokens", "a\n \nb",
                "Ident(a)@0-1 Newline@1-2 Newline@3-4 Ident(b)@4-5"},
        TokCase{"RunsSplitByCarriageReturn", "a\n\r\nb",
                "Ident(a)@0-1 Newline@1-2 Newline@3-4 Ident(b)@4-5"},
        TokCase{"CommentBeforeLineFeed", "x # note\n", "Ident(x)@0-1 Newline@8-9"},
        TokCase{"RunsSplitByComment", "x\n#c\n\ny",
                "Ident(x)@0-1 Newline@1-2 Newline@4-6 Ident(y)@6-7"},
        TokCase{"Punctuation", "{}(),;:+-*.",
                "LBrace@0-1 RBrace@1-2 LParen@2-3 RParen@3-4 Comma@4-5 Semicolon@5-6 Colon@6-7 "
                "Plus@7-8 Minus@8-9 Star@9-10 Dot@10-11"},
        TokCase{"Comparisons", "== < <= > >=", "EqEq@0-2 Lt@3-4 Le@5-7 Gt@8-9 Ge@10-12"},
        TokCase{"MaxInt", "9223372036854775807", "Int(9223372036854775807)@0-19"},
        TokCase{"NegativeIsMinusThenInt", "-5", "Minus@0-1 Int(5)@1-2"},
        TokCase{"IntThenIdent", "12abc", "Int(12)@0-2 Ident(abc)@2-5"},
        TokCase{"LeadingZeros", "007", "Int(7)@0-3"},
        TokCase{"ManyLeadingZeros", "00000000000000000000000000042", "Int(42)@0-29"},
        TokCase{"SetType", "set<int>", "Keyword(set)@0-3 LAngle@3-4 Keyword(int)@4-7 RAngle@7-8"},
        TokCase{"SetTypeWithSpaces", "set < date >",
                "Keyword(set)@0-3 LAngle@4-5 Keyword(date)@6-10 RAngle@11-12"},
        TokCase{"SetStringType", "set<string>",
                "Keyword(set)@0-3 LAngle@3-4 Keyword(string)@4-10 RAngle@10-11"},
        TokCase{"LessThanBetweenIdents", "a<b", "Ident(a)@0-1 Lt@1-2 Ident(b)@2-3"},
        TokCase{"SetLessEqual", "set <= x", "Keyword(set)@0-3 Le@4-6 Ident(x)@7-8"},
        TokCase{"SetOfBoolClosesWithGt", "set<bool>",
                "Keyword(set)@0-3 LAngle@3-4 Keyword(bool)@4-8 Gt@8-9"},
        TokCase{"GtWithFewTokens", "int>", "Keyword(int)@0-3 Gt@3-4"},
        TokCase{"GtAfterIntWithoutSet", "x<int>", "Ident(x)@0-1 Lt@1-2 Keyword(int)@2-5 Gt@5-6"},
        TokCase{"KeywordsAreCaseSensitive", "true TRUE Name True",
                "Ident(true)@0-4 Ident(TRUE)@5-9 Ident(Name)@10-14 Keyword(True)@15-19"},
        TokCase{"AllKeywords",
                "name intent evidence requires optional bool int string date set True False not "
                "and or in subset superset of",
                "Keyword(name)@0-4 Keyword(intent)@5-11 Keyword(evidence)@12-20 "
                "Keyword(requires)@21-29 Keyword(optional)@30-38 Keyword(bool)@39-43 "
                "Keyword(int)@44-47 Keyword(string)@48-54 Keyword(date)@55-59 "
                "Keyword(set)@60-63 Keyword(True)@64-68 Keyword(False)@69-74 Keyword(not)@75-78 "
                "Keyword(and)@79-82 Keyword(or)@83-85 Keyword(in)@86-88 Keyword(subset)@89-95 "
                "Keyword(superset)@96-104 Keyword(of)@105-107"},
        TokCase{"KeywordPrefixIsIdent", "names _x a1_b",
                "Ident(names)@0-5 Ident(_x)@6-8 Ident(a1_b)@9-13"},
        TokCase{"StringEscapes", R"("a\tb\\\"\n\r")", "Str(a\tb\\\"\n\r)@0-14"},
        TokCase{"StringKeepsRawBytes", "\"\xC3\xA4\t\r#x\"", "Str(\xC3\xA4\t\r#x)@0-8"},
        TokCase{"EmptyString", "\"\"", "Str()@0-2"},
        TokCase{"Date", "date(2024-03-07)", "Date(2024-3-7)@0-16"},
        TokCase{"DateSpaceBeforeParen", "date (2024-02-29)", "Date(2024-2-29)@0-17"},
        TokCase{"DateTabBeforeParen", "date\t(2024-02-29)", "Date(2024-2-29)@0-17"},
        TokCase{"DateTrimmed", "date( 2024-01-05 )", "Date(2024-1-5)@0-18"},
        TokCase{"DateTrimmedUnicodeSpace",
                "date(\xC2\xA0\xE3\x80\x80"
                "2024-01-05\xE2\x80\xA8\v)",
                "Date(2024-1-5)@0-25"},
        TokCase{"DateYearZeroLeap", "date(0000-02-29)", "Date(0-2-29)@0-16"},
        TokCase{"DateCenturyLeap", "date(2000-02-29)", "Date(2000-2-29)@0-16"},
        TokCase{"DatePlusSigns", "date(+999-+1-+9)", "Date(999-1-9)@0-16"},
        TokCase{"DateMaxYear", "date(9999-12-31)", "Date(9999-12-31)@0-16"},
        TokCase{"DateKeywordAlone", "date", "Keyword(date)@0-4"},
        TokCase{"DateKeywordBeforeLineFeed", "date\n(2024-01-01)",
                "Keyword(date)@0-4 Newline@4-5 LParen@5-6 Int(2024)@6-10 Minus@10-11 Int(1)@11-13 "
                "Minus@13-14 Int(1)@14-16 RParen@16-17"},
        TokCase{"DateKeywordThenSpaces", "date  x", "Keyword(date)@0-4 Ident(x)@6-7"},
        TokCase{"DatesIsIdent", "dates(1)", "Ident(dates)@0-5 LParen@5-6 Int(1)@6-7 RParen@7-8"}),
    [](const auto& info) { return info.param.name; });

struct ErrCase {
  std::string name;
  std::string src;
  std::string error;
};

class LexerErrors : public ::testing::TestWithParam<ErrCase> {};

TEST_P(LexerErrors, Fails) {
  const auto& c = GetParam();
  auto r = tokenize(c.src);
  ASSERT_FALSE(r.ok()) << dump(*r);
  EXPECT_EQ(r.error().to_string(), c.error);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, LexerErrors,
    ::testing::Values(
        ErrCase{"SingleEquals", "a = b", "error at 1:3: expected '==', found single '='"},
        ErrCase{"EqualsAtEnd", "a =", "error at 1:3: expected '==', found single '='"},
        ErrCase{"EqualsAfterMultiByteInString",
                "\"\xC3\xA4\" =", "error at 1:5: expected '==', found single '='"},
        ErrCase{"IntTooLarge", "x 9223372036854775808",
                "error at 1:3: integer literal is outside the signed 64-bit range"},
        ErrCase{"IntHugeRun", "\n  " + std::string(5000, '9'),
                "error at 2:3: integer literal is outside the signed 64-bit range"},
        ErrCase{"NonAsciiLetter", "a \xC3\xA9", "error at 1:3: unexpected character '\xC3\xA9'"},
        ErrCase{"FourByteChar", "\t\xF0\x9F\x98\x80",
                "error at 1:2: unexpected character '\xF0\x9F\x98\x80'"},
        ErrCase{"FormFeed", "a\fb", "error at 1:2: unexpected character '\f'"},
        ErrCase{"OtherAscii", "a ! b", "error at 1:3: unexpected character '!'"},
        ErrCase{"UnsupportedEscape", "x \"a\\qb\"",
                "error at 1:3: unsupported escape sequence '\\q'"},
        ErrCase{"UnsupportedEscapeMultiByte", "\"\\\xC3\xA4\"",
                "error at 1:1: unsupported escape sequence '\\\xC3\xA4'"},
        ErrCase{"RawLineFeedInString", "x\n  \"ab\ncd\"",
                "error at 2:3: unterminated string literal"},
        ErrCase{"StringRunsToEnd", "\"abc", "error at 1:1: unterminated string literal"},
        ErrCase{"BackslashAtEnd", "\"abc\\", "error at 1:1: unterminated string literal"},
        ErrCase{"InvalidLeapDay", "date(2023-02-29)",
                "error at 1:1: the date 2023-02-29 is invalid"},
        ErrCase{"CenturyNotLeap", "date(1900-02-29)",
                "error at 1:1: the date 1900-02-29 is invalid"},
        ErrCase{"ShortMonthPart", "date(2024-1-05)", "error at 1:1: the date 2024-1-05 is invalid"},
        ErrCase{"MonthZero", "date(2024-00-05)", "error at 1:1: the date 2024-00-05 is invalid"},
        ErrCase{"MonthThirteen", "date(2024-13-05)",
                "error at 1:1: the date 2024-13-05 is invalid"},
        ErrCase{"DayZero", "date(2024-01-00)", "error at 1:1: the date 2024-01-00 is invalid"},
        ErrCase{"April31", "date(2024-04-31)", "error at 1:1: the date 2024-04-31 is invalid"},
        ErrCase{"FourParts", "date(2024-01-05-1)",
                "error at 1:1: the date 2024-01-05-1 is invalid"},
        ErrCase{"TwoParts", "date(202401-05)", "error at 1:1: the date 202401-05 is invalid"},
        ErrCase{"TwoSigns", "date(++99-01-05)", "error at 1:1: the date ++99-01-05 is invalid"},
        ErrCase{"SignInMiddle", "date(20+4-01-05)", "error at 1:1: the date 20+4-01-05 is invalid"},
        ErrCase{"LoneSignMonth", "date(2024-+-05)", "error at 1:1: the date 2024-+-05 is invalid"},
        ErrCase{"NegativeYear", "date(-999-01-05)", "error at 1:1: the date -999-01-05 is invalid"},
        ErrCase{"NonAsciiDigits", "date(２０２４-01-05)",
                "error at 1:1: the date ２０２４-01-05 is invalid"},
        ErrCase{"InnerSpaceKept", "date(2024 -01-05)",
                "error at 1:1: the date 2024 -01-05 is invalid"},
        ErrCase{"Empty", "date()", "error at 1:1: the date  is invalid"},
        ErrCase{"DatePositionIsTheD", "x  date (2023-02-29)",
                "error at 1:4: the date 2023-02-29 is invalid"},
        ErrCase{"DateUnclosedAtEnd", "x\ndate(2024-01-05",
                "error at 2:1: malformed date(...) literal"},
        ErrCase{"DateLineFeedBeforeClose", "date(2024-01-05\n)",
                "error at 1:1: malformed date(...) literal"},
        ErrCase{"FirstErrorWins", "x = \"\\q\"", "error at 1:3: expected '==', found single '='"}),
    [](const auto& info) { return info.param.name; });

// The character in an error is never read past the end, and bytes that are not
// UTF-8 are shown as U+FFFD.
TEST(LexerBytes, InvalidUtf8NeverReadsOutOfBounds) {
  const std::string cases[] = {"\xC3", "\xE2\x82", "\xF0\x9F\x98", "\xFF", "\x80", "\xC0\xAF"};
  for (const auto& s : cases) {
    auto r = tokenize(s);
    ASSERT_FALSE(r.ok());
    EXPECT_EQ(r.error().to_string(), "error at 1:1: unexpected character '\xEF\xBF\xBD'");
    auto esc = tokenize("\"\\" + s);
    ASSERT_FALSE(esc.ok());
    EXPECT_EQ(esc.error().to_string(),
              "error at 1:1: unsupported escape sequence '\\\xEF\xBF\xBD'");
  }
  auto nul = tokenize(std::string("a\0b", 3));
  ASSERT_FALSE(nul.ok());
  EXPECT_EQ(nul.error().to_string(),
            "error at 1:2: unexpected character '" + std::string(1, '\0') + "'");
  // Garbage inside a date literal is only data for the InvalidDate message.
  auto date = tokenize("date(\xFF\xC3)");
  ASSERT_FALSE(date.ok());
  EXPECT_EQ(date.error().kind(), errors::CompileError::Kind::InvalidDate);
}

TEST(LexerBytes, EveryByteSequenceOfLengthTwoIsHandled) {
  for (int a = 0; a < 256; ++a) {
    for (int b = 0; b < 256; ++b) {
      const std::string s{static_cast<char>(a), static_cast<char>(b)};
      (void)tokenize(s);
      (void)tokenize("date(" + s);
      (void)tokenize("\"" + s);
    }
  }
}

struct DescribeCase {
  std::string src;
  std::string text;
};

class TokenDescribe : public ::testing::TestWithParam<DescribeCase> {};

TEST_P(TokenDescribe, Text) {
  const auto& c = GetParam();
  auto r = tokenize(c.src);
  ASSERT_TRUE(r.ok()) << r.error().to_string();
  ASSERT_FALSE(r->empty());
  EXPECT_EQ((*r)[r->size() - 1].token.describe(), c.text);
}

// One case per token kind, in kind order; the last token of the source is
// described.
INSTANTIATE_TEST_SUITE_P(
    AllKinds, TokenDescribe,
    ::testing::Values(
        DescribeCase{"foo", "identifier `foo`"}, DescribeCase{"007", "integer literal `7`"},
        DescribeCase{R"("a\"b\tc")", "string literal \"a\"b\tc\""},
        DescribeCase{"date(2024-03-07)", "date literal `date(2024-03-07)`"},
        DescribeCase{"date", "keyword `date`"}, DescribeCase{"x\n\n", "newline"},
        DescribeCase{"{", "`{`"}, DescribeCase{"}", "`}`"}, DescribeCase{"(", "`(`"},
        DescribeCase{")", "`)`"}, DescribeCase{"set<", "`<`"}, DescribeCase{"set<int>", "`>`"},
        DescribeCase{",", "`,`"}, DescribeCase{";", "`;`"}, DescribeCase{":", "`:`"},
        DescribeCase{"+", "`+`"}, DescribeCase{"-", "`-`"}, DescribeCase{"*", "`*`"},
        DescribeCase{".", "`.`"}, DescribeCase{"==", "`==`"}, DescribeCase{"<", "`<`"},
        DescribeCase{"<=", "`<=`"}, DescribeCase{">", "`>`"}, DescribeCase{">=", "`>=`"}));

TEST(TokenDescribeDates, ZeroPadded) {
  EXPECT_EQ(Token::date(types::DateLit{2024, 3, 7}).describe(), "date literal `date(2024-03-07)`");
  EXPECT_EQ(Token::date(types::DateLit{5, 12, 31}).describe(), "date literal `date(0005-12-31)`");
  auto r = tokenize("date(+999-+1-09)");
  ASSERT_TRUE(r.ok());
  EXPECT_EQ((*r)[0].token.describe(), "date literal `date(0999-01-09)`");
}

TEST(TokenDescribeKeywords, EveryKeyword) {
  for (std::size_t i = 0; i < KEYWORD_COUNT; ++i) {
    const auto kw = static_cast<Keyword>(i);
    EXPECT_EQ(Token::keyword(kw).describe(), "keyword `" + std::string(keyword_text(kw)) + "`");
    EXPECT_EQ(keyword_from_text(keyword_text(kw)), kw);
  }
  EXPECT_EQ(keyword_from_text("Of"), std::nullopt);
}

TEST(TokenList, MovingKeepsTexts) {
  auto r = tokenize("alpha \"beta\"");
  ASSERT_TRUE(r.ok());
  TokenList moved = std::move(*r);
  TokenList again = std::move(moved);
  EXPECT_EQ(again[0].token.text(), "alpha");
  EXPECT_EQ(again[1].token.text(), "beta");
}

}  // namespace
}  // namespace verdane::parser::lexer
