// Byte ranges in template source and their line/column positions.
#pragma once

#include <cstddef>
#include <string_view>
#include <utility>

namespace verdane::errors {

struct LineCol {
  std::size_t line = 1;
  std::size_t col = 1;
  friend bool operator==(const LineCol&, const LineCol&) = default;
};

// A half-open byte range [start, end) into the source.
struct Span {
  std::size_t start = 0;
  std::size_t end = 0;

  // The 1-based line and column of `start`: columns count characters (a tab
  // or carriage return counts one), only line feeds start lines, and an
  // offset at or past the end gives the position after the last character.
  LineCol line_col(std::string_view src) const;

  friend bool operator==(const Span&, const Span&) = default;
};

}  // namespace verdane::errors
