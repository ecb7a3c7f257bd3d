#include "errors/span.h"

namespace verdane::errors {

LineCol Span::line_col(std::string_view src) const {
  LineCol pos;
  const std::size_t stop = start < src.size() ? start : src.size();
  for (std::size_t i = 0; i < stop; ++i) {
    const auto b = static_cast<unsigned char>(src[i]);
    if (b == '\n') {
      ++pos.line;
      pos.col = 1;
    } else if ((b & 0xC0) != 0x80) {
      // Count lead bytes only, so each character counts once.
      ++pos.col;
    }
  }
  return pos;
}

}  // namespace verdane::errors
