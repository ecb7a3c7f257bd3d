// Where a byte offset lies in a text, as every error message words it.
#pragma once

#include <cstddef>
#include <string_view>

namespace verdane {

struct TextPosition {
  std::size_t line = 1;
  std::size_t column = 1;
  friend bool operator==(const TextPosition&, const TextPosition&) = default;
};

// The 1-based line and column of byte `offset` of `text`: only line feeds
// start lines, columns count characters (every byte that is not a UTF-8
// continuation byte, so a tab, a carriage return or an invalid byte counts
// one), and an offset at or past the end gives the position after the last
// character.
TextPosition text_position(std::string_view text, std::size_t offset);

}  // namespace verdane
