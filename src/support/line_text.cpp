#include "support/line_text.h"

namespace verdane {

namespace {

void append_code(std::string& out, unsigned code) {
  static constexpr char hex[] = "0123456789abcdef";
  out += "\\u{";
  out += hex[(code >> 4) & 0xF];
  out += hex[code & 0xF];
  out += '}';
}

}  // namespace

std::string escape_controls(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    const auto byte = static_cast<unsigned char>(text[i]);
    if (byte == '\n') {
      out += "\\n";
    } else if (byte == '\r') {
      out += "\\r";
    } else if (byte == '\t') {
      out += "\\t";
    } else if (byte < 0x20 || byte == 0x7F) {
      append_code(out, byte);
    } else if (byte == 0xC2 && i + 1 < text.size() &&
               static_cast<unsigned char>(text[i + 1]) >= 0x80 &&
               static_cast<unsigned char>(text[i + 1]) <= 0x9F) {
      // U+0080 to U+009F are encoded as C2 80 to C2 9F.
      append_code(out, static_cast<unsigned char>(text[i + 1]));
      ++i;
    } else {
      out += static_cast<char>(byte);
    }
  }
  return out;
}

std::string escape_line_breaks(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (const char c : text) {
    if (c == '\n') {
      out += "\\n";
    } else if (c == '\r') {
      out += "\\r";
    } else {
      out += c;
    }
  }
  return out;
}

}  // namespace verdane
