#include "errors/compile_error.h"

#include <gtest/gtest.h>

#include <string>

#include "errors/span.h"

namespace verdane::errors {
namespace {

using Kind = CompileError::Kind;

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
