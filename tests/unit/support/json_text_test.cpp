#include "support/json_text.h"

#include <gtest/gtest.h>

#include <string>

namespace verdane {
namespace {

std::string json(std::string_view text) {
  std::string out;
  append_json_string(out, text);
  return out;
}

TEST(JsonText, EscapesOnlyWhatJsonRequires) {
  EXPECT_EQ(json(""), "\"\"");
  EXPECT_EQ(json("plain text"), "\"plain text\"");
  EXPECT_EQ(json("\"\\/"), "\"\\\"\\\\/\"");
  EXPECT_EQ(json("\b\f\n\r\t"), "\"\\b\\f\\n\\r\\t\"");
  // DEL, C1 controls and other non-ASCII characters are written as UTF-8.
  EXPECT_EQ(json("\x7f\xc2\x85\xc3\xa9\xe2\x82\xac\xf0\x9f\x98\x80"),
            "\"\x7f\xc2\x85\xc3\xa9\xe2\x82\xac\xf0\x9f\x98\x80\"");
  EXPECT_EQ(json(std::string("a\0b", 3)), "\"a\\u0000b\"");
}

TEST(JsonText, EveryControlCharacterIsEscaped) {
  for (int c = 0; c < 0x20; ++c) {
    const std::string out = json(std::string(1, static_cast<char>(c)));
    ASSERT_EQ(out.front(), '"');
    ASSERT_EQ(out[1], '\\') << c;
    for (char k : out) EXPECT_GE(static_cast<unsigned char>(k), 0x20) << c;
  }
  EXPECT_EQ(json("\x01\x1f"), "\"\\u0001\\u001f\"");
}

TEST(JsonText, InvalidUtf8BecomesReplacementCharacters) {
  EXPECT_EQ(json("a\xff\n"), "\"a\xef\xbf\xbd\\n\"");
}

}  // namespace
}  // namespace verdane
