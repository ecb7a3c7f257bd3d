#include "support/line_text.h"

#include <gtest/gtest.h>

namespace verdane {
namespace {

struct EscapeCase {
  std::string name;
  std::string text;
  std::string shown;
};

class EscapeControlsTest : public testing::TestWithParam<EscapeCase> {};

TEST_P(EscapeControlsTest, KeepsLineIntactAndPrintableTextUnchanged) {
  EXPECT_EQ(escape_controls(GetParam().text), GetParam().shown);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, EscapeControlsTest,
    testing::Values(EscapeCase{"plain", "field `amount`: expected JSON integer",
                               "field `amount`: expected JSON integer"},
                    EscapeCase{"empty", "", ""},
                    EscapeCase{"line_feed", "x\ndecision=pass", "x\\ndecision=pass"},
                    EscapeCase{"carriage_return_and_tab", "a\rb\tc", "a\\rb\\tc"},
                    EscapeCase{"escape_sequence", "\x1b[2J", "\\u{1b}[2J"},
                    EscapeCase{"nul_and_bell", std::string("a\0\x07", 3), "a\\u{00}\\u{07}"},
                    EscapeCase{"unit_separator_and_delete", "\x1f\x7f", "\\u{1f}\\u{7f}"},
                    EscapeCase{"c1_controls", "\xC2\x80\xC2\x9B\xC2\x9F", "\\u{80}\\u{9b}\\u{9f}"},
                    EscapeCase{"non_ascii_unchanged",
                               "\xC2\xA0\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80",
                               "\xC2\xA0\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80"},
                    EscapeCase{"backslashes_unchanged", "\"a\\n\\\"\"", "\"a\\n\\\"\""},
                    EscapeCase{"invalid_utf8_passes", "\xFF\xC2", "\xFF\xC2"}),
    [](const auto& info) { return info.param.name; });

// Every byte but line feed and carriage return is the user's own text and is
// kept, control characters included.
TEST(EscapeLineBreaksTest, OnlyLineFeedAndCarriageReturnChange) {
  std::string all;
  std::string expected;
  for (int b = 0; b < 256; ++b) {
    const char c = static_cast<char>(b);
    all += c;
    if (c == '\n') {
      expected += "\\n";
    } else if (c == '\r') {
      expected += "\\r";
    } else {
      expected += c;
    }
  }
  EXPECT_EQ(escape_line_breaks(all), expected);
}

}  // namespace
}  // namespace verdane
