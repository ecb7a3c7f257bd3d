// Literals and values written in the template language's literal syntax:
// the one formatter behind `print`, the evaluation reports and the
// explanations, each of which asks for its own variant.
#pragma once

#include <cstddef>
#include <limits>
#include <string>
#include <string_view>

#include "types/model.h"

namespace verdane::types {

struct LiteralStyle {
  // Whether the minus sign of a negative year counts toward its four digits:
  // -7 is date(-0007-...) when it does not, date(-007-...) when it does.
  // Only crafted bytecode holds such a year.
  bool sign_in_year_width = false;
  // Strings longer than this many bytes are cut on a character boundary and
  // followed by "... (<n> bytes)"; sets with more elements than this end in
  // ", ... (<n> elements)".
  std::size_t max_string_bytes = std::numeric_limits<std::size_t>::max();
  std::size_t max_set_elements = std::numeric_limits<std::size_t>::max();
  // Whether control characters left after the literal escapes are shown as
  // escape_controls shows them (for texts that come from the inputs).
  bool escape_controls = false;
};

// Appends `value` as a literal: True/False, decimal integers, quoted strings,
// date(YYYY-MM-DD), sets as {a, b}.
void append_literal(std::string& out, const Scalar& value, const LiteralStyle& style);

// `text` with tab, line feed, carriage return, double quote and backslash
// written as \t, \n, \r, \" and \\; every other byte is copied unchanged.
// No surrounding quotes are added.
void append_escaped(std::string& out, std::string_view text);

}  // namespace verdane::types
