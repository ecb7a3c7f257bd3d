#include "errors/compile_error.h"

#include <gtest/gtest.h>

#include <set>
#include <string>

#include "errors/span.h"

namespace verdane::errors {
namespace {

using Kind = CompileError::Kind;

struct DisplayCase {
  Kind kind;
  std::string text;
  std::string text2;
  std::string display;  // for an error at offset 0 of any source: 1:1
};

class CompileErrorDisplay : public ::testing::TestWithParam<DisplayCase> {};

TEST_P(CompileErrorDisplay, ReadsExactly) {
  const auto& c = GetParam();
  const auto e = CompileError::at(c.kind, "x", 0, c.text, c.text2);
  EXPECT_EQ(e.kind(), c.kind);
  EXPECT_EQ(e.to_string(), c.display);
}

const DisplayCase kDisplayCases[] = {
    {Kind::UnexpectedChar, "ä", "", "error at 1:1: unexpected character 'ä'"},
    {Kind::IntegerOutOfRange, "", "",
     "error at 1:1: integer literal is outside the signed 64-bit range"},
    {Kind::UnterminatedString, "", "", "error at 1:1: unterminated string literal"},
    {Kind::UnsupportedEscape, "q", "", "error at 1:1: unsupported escape sequence '\\q'"},
    {Kind::InvalidDate, "2023-02-29", "", "error at 1:1: the date 2023-02-29 is invalid"},
    {Kind::MalformedDateLiteral, "", "", "error at 1:1: malformed date(...) literal"},
    {Kind::ExpectedName, "", "", "error at 1:1: expected 'name'"},
    {Kind::ExpectedNameIdent, "", "", "error at 1:1: expected an identifier after 'name'"},
    {Kind::ExpectedEvidenceSchema, "", "", "error at 1:1: expected an evidence schema"},
    {Kind::ExpectedEvidenceAfterIntent, "", "",
     "error at 1:1: expected an evidence schema after the intent schema"},
    {Kind::ExpectedRequirements, "", "",
     "error at 1:1: expected the requirements after the evidence schema"},
    {Kind::ExpectedEndOfFile, "", "", "error at 1:1: expected end of file"},
    {Kind::EmptyEvidenceBlock, "", "", "error at 1:1: the evidence block must be non-empty"},
    {Kind::EmptyRequiresBlock, "", "", "error at 1:1: the requires block must be non-empty"},
    {Kind::ExpectedConstraintEnd, "", "", "error at 1:1: expected ';' or '}' after a constraint"},
    {Kind::Syntax, "expected `:`, found newline", "", "error at 1:1: expected `:`, found newline"},
    {Kind::UnsupportedSetType, "", "", "error at 1:1: unsupported set type"},
    {Kind::UnknownType, "money", "", "error at 1:1: unknown type 'money'"},
    {Kind::DuplicateField, "a", "intent", "error at 1:1: duplicate intent field 'a'"},
    {Kind::MixedSetLiteral, "", "", "error at 1:1: set literals must be homogeneous"},
    {Kind::DuplicateSetElement, "", "", "error at 1:1: duplicate element in set literal"},
    {Kind::UntypedEmptySetChain, "", "",
     "error at 1:1: cannot infer the type of a comparison chain made only of empty set "
     "literals"},
    {Kind::MixedAndOr, "", "",
     "error at 1:1: mixed unparenthesized 'and' and 'or' are not allowed"},
    {Kind::ChainDirectionReversed, "", "",
     "error at 1:1: chained comparisons cannot reverse direction"},
    {Kind::MembershipInChain, "", "",
     "error at 1:1: 'in' / 'not in' cannot be part of a chained comparison"},
    {Kind::UndeclaredField, "x", "",
     "error at 1:1: the field 'x' has not been declared in the schema"},
    {Kind::ConstraintNotBool, "", "", "error at 1:1: constraints must evaluate to bool"},
    {Kind::ArithmeticNotInt, "", "", "error at 1:1: arithmetic operands must be int"},
    {Kind::ChainTypeMismatch, "", "",
     "error at 1:1: comparison operands must all have the same type"},
    {Kind::OrderingNotAllowed, "set<int>", "",
     "error at 1:1: ordering comparisons are not allowed for set<int>"},
    {Kind::InElementTypeMismatch, "int", "string",
     "error at 1:1: the left operand of 'in' must have type int to match the set on the right, "
     "found string"},
    {Kind::InRightNotSet, "bool", "",
     "error at 1:1: the right operand of 'in' must be a set, found bool"},
    {Kind::OperandTypeMismatch, "", "", "error at 1:1: operands must have the same type"},
    {Kind::ExpectedBool, "date", "",
     "error at 1:1: expected an expression of type bool, found date"},
    {Kind::OptionalPrefixRequired, "", "",
     "error at 1:1: constraints that reference optional fields must use the 'optional:' prefix"},
    {Kind::OptionalWithoutOptionalField, "", "",
     "error at 1:1: an 'optional:' constraint must reference at least one optional intent field"},
    {Kind::Bytecode, "oops", "", "error at 0:0: bytecode: oops"},
};

INSTANTIATE_TEST_SUITE_P(AllKinds, CompileErrorDisplay, ::testing::ValuesIn(kDisplayCases));

TEST(CompileErrorKinds, TableCoversEveryKindInOrderWithDistinctMessages) {
  ASSERT_EQ(std::size(kDisplayCases), CompileError::kKindCount);
  std::set<std::string> messages;
  for (std::size_t i = 0; i < CompileError::kKindCount; ++i) {
    const auto& c = kDisplayCases[i];
    EXPECT_EQ(static_cast<std::size_t>(c.kind), i);
    // With empty payloads too, every kind has its own non-empty message
    // (Syntax shows its text, so it gets one).
    const std::string text = c.kind == Kind::Syntax ? "some syntax error" : "";
    const auto message = CompileError::at(c.kind, "", 0, text).message();
    EXPECT_FALSE(message.empty()) << i;
    EXPECT_TRUE(messages.insert(message).second) << "duplicate message for kind " << i;
  }
}

TEST(CompileErrorKinds, WrappedCodecFailureIsAtZeroZero) {
  korvel::serializers::SerializerError codec;
  codec.kind = korvel::serializers::SerializerError::Kind::Deserialization;
  codec.source = "UnexpectedEnd { additional: 1 }";
  const auto e = CompileError::bytecode(codec);
  EXPECT_EQ(e.kind(), Kind::Bytecode);
  EXPECT_EQ(e.to_string(),
            "error at 0:0: bytecode: Deserialization failed, using lib bincode: UnexpectedEnd { "
            "additional: 1 }");
}

TEST(CompileErrorKinds, PositionComesFromTheOffset) {
  const auto e = CompileError::syntax("ab\ncd", 4, "m");
  EXPECT_EQ(e.line(), 2u);
  EXPECT_EQ(e.col(), 2u);
  EXPECT_EQ(e.to_string(), "error at 2:2: m");
}

struct LineColCase {
  std::string name;
  std::string src;
  std::size_t offset;
  std::size_t line;
  std::size_t col;
};

class SpanLineCol : public ::testing::TestWithParam<LineColCase> {};

TEST_P(SpanLineCol, Position) {
  const auto& c = GetParam();
  const Span span{c.offset, c.offset + 1};
  EXPECT_EQ(span.line_col(c.src), (LineCol{c.line, c.col}));
}

INSTANTIATE_TEST_SUITE_P(
    Cases, SpanLineCol,
    ::testing::Values(LineColCase{"EmptySource", "", 0, 1, 1},
                      LineColCase{"EmptySourceFarOffset", "", 9, 1, 1},
                      LineColCase{"FirstByte", "abc", 0, 1, 1},
                      LineColCase{"ThirdByte", "abc", 2, 1, 3},
                      LineColCase{"AfterLineFeed", "ab\ncd", 3, 2, 1},
                      LineColCase{"MultiByteCountsOnce", "\xC3\xA4=", 2, 1, 2},
                      LineColCase{"FourByteCharCountsOnce", "\xF0\x9F\x98\x80x", 4, 1, 2},
                      LineColCase{"InsideMultiByteChar", "\xC3\xA4=", 1, 1, 2},
                      LineColCase{"TabCountsOne", "\t=", 1, 1, 2},
                      LineColCase{"CarriageReturnCountsOne", "a\r\nb\rc", 5, 2, 3},
                      LineColCase{"AtEnd", "ab", 2, 1, 3}, LineColCase{"PastEnd", "ab", 50, 1, 3},
                      LineColCase{"AtEndAfterFinalLineFeed", "ab\n", 3, 2, 1},
                      LineColCase{"AtEndAfterMultiByte", "a\xE2\x82\xAC", 4, 1, 3},
                      LineColCase{"EmptyLines", "\n\n\nx", 3, 4, 1}),
    [](const auto& info) { return info.param.name; });

TEST(SpanLineColTest, EndPlaysNoPart) {
  EXPECT_EQ((Span{3, 3}.line_col("ab\ncd")), (LineCol{2, 1}));
  EXPECT_EQ((Span{3, 100}.line_col("ab\ncd")), (LineCol{2, 1}));
}

}  // namespace
}  // namespace verdane::errors
