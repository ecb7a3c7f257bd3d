#include "types/literal_text.h"

#include <charconv>
#include <cstdint>

#include "support/line_text.h"
#include "support/utf8.h"

namespace verdane::types {

namespace {

void append_int(std::string& out, std::int64_t value) {
  char buf[24];
  const auto res = std::to_chars(buf, buf + sizeof buf, value);
  out.append(buf, res.ptr);
}

// `value` zero-padded on the left to at least `width` digits, or characters
// when the minus sign counts; the sign stays in front of the zeros.
void append_padded(std::string& out, std::int64_t value, std::size_t width, bool sign_counts) {
  char buf[24];
  const auto res = std::to_chars(buf, buf + sizeof buf, value);
  const char* digits = buf;
  if (value < 0) {
    out += '-';
    ++digits;
  }
  const auto len = static_cast<std::size_t>(res.ptr - (sign_counts ? buf : digits));
  if (len < width) out.append(width - len, '0');
  out.append(digits, static_cast<std::size_t>(res.ptr - digits));
}

void append_date(std::string& out, const DateLit& date, const LiteralStyle& style) {
  out += "date(";
  append_padded(out, date.year, 4, style.sign_in_year_width);
  out += '-';
  append_padded(out, date.month, 2, false);
  out += '-';
  append_padded(out, date.day, 2, false);
  out += ')';
}

void append_string(std::string& out, std::string_view text, const LiteralStyle& style) {
  const std::size_t shown = utf8::prefix_length(text, style.max_string_bytes);
  out += '"';
  if (style.escape_controls) {
    std::string escaped;
    append_escaped(escaped, text.substr(0, shown));
    out += escape_controls(escaped);
  } else {
    append_escaped(out, text.substr(0, shown));
  }
  out += '"';
  if (shown < text.size()) out += "... (" + std::to_string(text.size()) + " bytes)";
}

template <typename Set, typename AppendElem>
void append_set(std::string& out, const Set& set, const LiteralStyle& style,
                AppendElem append_elem) {
  out += '{';
  std::size_t count = 0;
  for (const auto& elem : set) {
    if (count == style.max_set_elements) {
      out += ", ... (" + std::to_string(set.size()) + " elements)";
      break;
    }
    if (count > 0) out += ", ";
    append_elem(elem);
    ++count;
  }
  out += '}';
}

}  // namespace

void append_escaped(std::string& out, std::string_view text) {
  for (char c : text) {
    switch (c) {
      case '\t':
        out += "\\t";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\r':
        out += "\\r";
        break;
      case '"':
        out += "\\\"";
        break;
      case '\\':
        out += "\\\\";
        break;
      default:
        out += c;
    }
  }
}

void append_literal(std::string& out, const Scalar& value, const LiteralStyle& style) {
  if (const auto* b = std::get_if<bool>(&value)) {
    out += *b ? "True" : "False";
  } else if (const auto* i = std::get_if<std::int64_t>(&value)) {
    append_int(out, *i);
  } else if (const auto* s = std::get_if<std::string>(&value)) {
    append_string(out, *s, style);
  } else if (const auto* d = std::get_if<DateLit>(&value)) {
    append_date(out, *d, style);
  } else if (const auto* is = std::get_if<IntSet>(&value)) {
    append_set(out, *is, style, [&](std::int64_t v) { append_int(out, v); });
  } else if (const auto* ss = std::get_if<StringSet>(&value)) {
    append_set(out, *ss, style, [&](const std::string& v) { append_string(out, v, style); });
  } else if (const auto* ds = std::get_if<DateSet>(&value)) {
    append_set(out, *ds, style, [&](const DateLit& v) { append_date(out, v, style); });
  }
}

}  // namespace verdane::types
