#include "support/utf8.h"

#include <gtest/gtest.h>

namespace verdane::utf8 {
namespace {

struct ValidateCase {
  std::string name;
  std::string bytes;
  bool valid;
  std::size_t valid_up_to;
  std::optional<std::size_t> error_len;
};

class ValidateTest : public testing::TestWithParam<ValidateCase> {};

TEST_P(ValidateTest, ReportsFirstError) {
  const ValidateCase& c = GetParam();
  const auto err = validate(c.bytes);
  ASSERT_EQ(!err.has_value(), c.valid);
  if (err) {
    EXPECT_EQ(err->valid_up_to, c.valid_up_to);
    EXPECT_EQ(err->error_len, c.error_len);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ValidateTest,
    testing::Values(ValidateCase{"empty", "", true, 0, {}},
                    ValidateCase{"ascii", "abc", true, 0, {}},
                    ValidateCase{"multibyte", "a\xC3\xA4\xE2\x82\xAC\xF0\x9F\x98\x80", true, 0, {}},
                    ValidateCase{"stray_continuation", "ab\x80", false, 2, 1},
                    ValidateCase{"invalid_lead", "\xFF", false, 0, 1},
                    ValidateCase{"overlong_two_byte", "\xC0\x80", false, 0, 1},
                    ValidateCase{"overlong_three_byte", "\xE0\x80\x80", false, 0, 1},
                    ValidateCase{"surrogate", "x\xED\xA0\x80", false, 1, 1},
                    ValidateCase{"above_max", "\xF4\x90\x80\x80", false, 0, 1},
                    ValidateCase{"bad_third_byte", "\xE2\x82x", false, 0, 2},
                    ValidateCase{"bad_fourth_byte", "\xF0\x9F\x98x", false, 0, 3},
                    ValidateCase{"truncated_at_end", "a\xE2\x82", false, 1, std::nullopt},
                    ValidateCase{"truncated_lead_only", "\xF0", false, 0, std::nullopt},
                    // Past and across the eight-byte steps over ASCII.
                    ValidateCase{"long_ascii", std::string(67, 'a'), true, 0, {}},
                    ValidateCase{"ascii_of_32_byte_steps", std::string(64, 'a'), true, 0, {}},
                    ValidateCase{"error_after_two_words", "0123456789abcdef\x80", false, 16, 1},
                    ValidateCase{"error_ends_a_word",
                                 "0123456\xFF"
                                 "89",
                                 false, 7, 1},
                    ValidateCase{"char_across_words",
                                 "0123456\xE2\x82\xAC"
                                 "9abcdefgh",
                                 true,
                                 0,
                                 {}},
                    ValidateCase{"error_after_char_across_words",
                                 "0123456\xC3\xA4"
                                 "0123456789\xED\xA0\x80",
                                 false, 19, 1},
                    ValidateCase{"truncated_after_word", "01234567\xE2\x82", false, 8,
                                 std::nullopt}),
    [](const auto& info) { return info.param.name; });

// Past and across the 32-byte steps: one bad or multibyte character at
// every offset of a long ASCII text.
TEST(Utf8, LongAsciiRunsFindTheFirstErrorAtAnyOffset) {
  for (std::size_t at = 0; at < 100; ++at) {
    std::string text(100, 'a');
    text[at] = '\x80';
    const auto err = validate(text);
    ASSERT_TRUE(err) << at;
    EXPECT_EQ(err->valid_up_to, at);
    text.replace(at, 1, "\xE2\x82\xAC");
    EXPECT_FALSE(validate(text)) << at;
  }
}

TEST(Utf8, LossyReplacesEachInvalidSubpart) {
  EXPECT_EQ(to_lossy("a\xFF"
                     "b"),
            "a\xEF\xBF\xBD"
            "b");
  EXPECT_EQ(to_lossy("\xE2\x82x"), "\xEF\xBF\xBDx");
  EXPECT_EQ(to_lossy("ok\xF0\x9F"), "ok\xEF\xBF\xBD");
  EXPECT_EQ(to_lossy("\xC3\xA4"), "\xC3\xA4");
}

TEST(Utf8, DecodeAndAppendRoundTrip) {
  for (char32_t c : {U'a', U'\u00e4', U'\u20ac', U'\U0001F600'}) {
    std::string s;
    append(s, c);
    EXPECT_EQ(s.size(), char_len(static_cast<unsigned char>(s[0])));
    EXPECT_EQ(decode_at(s, 0), c);
  }
}

}  // namespace
}  // namespace verdane::utf8
