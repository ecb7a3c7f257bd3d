#include "types/literal_text.h"

#include <gtest/gtest.h>

namespace verdane::types {
namespace {

struct EscapeCase {
  std::string name;
  std::string in;
  std::string out;
};

TEST(AppendEscaped, ReplacesExactlyFiveCharactersAndInvertsTheLexer) {
  const EscapeCase cases[] = {
      {"empty", "", ""},
      {"tab", "\t", "\\t"},
      {"line_feed", "\n", "\\n"},
      {"cr", "\r", "\\r"},
      {"quote", "\"", "\\\""},
      {"backslash", "\\", "\\\\"},
      {"single_quote_kept", "'", "'"},
      {"nul_kept", std::string("a\0b", 3), std::string("a\0b", 3)},
      {"other_control_kept", "\x01\x1b\f\v", "\x01\x1b\f\v"},
      {"non_ascii_kept", "\xC3\xA4\xE2\x82\xAC\xF0\x9F\x98\x80",
       "\xC3\xA4\xE2\x82\xAC\xF0\x9F\x98\x80"},
      {"mixed", "x\\\"\n", "x\\\\\\\"\\n"},
  };
  for (const EscapeCase& c : cases) {
    std::string out = "<";
    append_escaped(out, c.in);
    EXPECT_EQ(out, "<" + c.out) << c.name;
  }
}

}  // namespace
}  // namespace verdane::types
