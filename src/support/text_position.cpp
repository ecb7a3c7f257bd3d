#include "support/text_position.h"

namespace verdane {

TextPosition text_position(std::string_view text, std::size_t offset) {
  TextPosition at;
  const std::size_t stop = offset < text.size() ? offset : text.size();
  for (std::size_t i = 0; i < stop; ++i) {
    const auto b = static_cast<unsigned char>(text[i]);
    if (b == '\n') {
      ++at.line;
      at.column = 1;
    } else if ((b & 0xC0) != 0x80) {
      ++at.column;
    }
  }
  return at;
}

}  // namespace verdane
