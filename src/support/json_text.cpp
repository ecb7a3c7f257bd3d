#include "support/json_text.h"

#include "support/utf8.h"

namespace verdane {

namespace {

void append_escaped(std::string& out, std::string_view text) {
  constexpr char kHex[] = "0123456789abcdef";
  std::size_t plain = 0;  // start of the run not yet copied
  for (std::size_t i = 0; i < text.size(); ++i) {
    const auto c = static_cast<unsigned char>(text[i]);
    if (c >= 0x20 && c != '"' && c != '\\') continue;
    out.append(text, plain, i - plain);
    plain = i + 1;
    out += '\\';
    switch (c) {
      case '"':
        out += '"';
        break;
      case '\\':
        out += '\\';
        break;
      case '\b':
        out += 'b';
        break;
      case '\f':
        out += 'f';
        break;
      case '\n':
        out += 'n';
        break;
      case '\r':
        out += 'r';
        break;
      case '\t':
        out += 't';
        break;
      default:
        out += "u00";
        out += kHex[c >> 4];
        out += kHex[c & 0xF];
        break;
    }
  }
  out.append(text, plain, text.size() - plain);
}

}  // namespace

void append_json_string(std::string& out, std::string_view text) {
  out += '"';
  if (utf8::validate(text)) {
    append_escaped(out, utf8::to_lossy(text));
  } else {
    append_escaped(out, text);
  }
  out += '"';
}

}  // namespace verdane
