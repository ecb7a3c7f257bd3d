#include "canonical/pretty.h"

#include <algorithm>
#include <charconv>
#include <cstdint>

#include "support/line_text.h"

namespace verdane::canonical {
namespace {

using types::Expr;
using types::ExprKind;

// Everything below appends into one output string: a deep tree then costs
// time linear in its text instead of re-copying each subtree's text at every
// level above it.

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

void append_int(std::string& out, std::int64_t value) {
  char buf[24];
  const auto res = std::to_chars(buf, buf + sizeof buf, value);
  out.append(buf, res.ptr);
}

// `value` in decimal, zero-padded on the left to at least `width` characters;
// a minus sign counts toward the width and stays in front of the zeros.
void append_padded(std::string& out, std::int64_t value, std::size_t width) {
  char buf[24];
  const auto res = std::to_chars(buf, buf + sizeof buf, value);
  const std::size_t len = static_cast<std::size_t>(res.ptr - buf);
  const char* digits = buf;
  if (value < 0) {
    out += '-';
    ++digits;
  }
  if (len < width) out.append(width - len, '0');
  out.append(digits, static_cast<std::size_t>(res.ptr - digits));
}

void append_date(std::string& out, const types::DateLit& date) {
  out += "date(";
  append_padded(out, date.year, 4);
  out += '-';
  append_padded(out, date.month, 2);
  out += '-';
  append_padded(out, date.day, 2);
  out += ')';
}

void append_string_lit(std::string& out, std::string_view text) {
  out += '"';
  append_escaped(out, text);
  out += '"';
}

template <typename Set, typename AppendElem>
void append_set(std::string& out, const Set& set, AppendElem append_elem) {
  out += '{';
  bool first = true;
  for (const auto& elem : set) {
    if (!first) out += ", ";
    first = false;
    append_elem(elem);
  }
  out += '}';
}

void append_literal(std::string& out, const types::Literal& lit) {
  const types::Scalar& data = lit.data;
  if (const auto* b = std::get_if<bool>(&data)) {
    out += *b ? "True" : "False";
  } else if (const auto* i = std::get_if<std::int64_t>(&data)) {
    append_int(out, *i);
  } else if (const auto* s = std::get_if<std::string>(&data)) {
    append_string_lit(out, *s);
  } else if (const auto* d = std::get_if<types::DateLit>(&data)) {
    append_date(out, *d);
  } else if (const auto* is = std::get_if<types::IntSet>(&data)) {
    append_set(out, *is, [&](std::int64_t v) { append_int(out, v); });
  } else if (const auto* ss = std::get_if<types::StringSet>(&data)) {
    append_set(out, *ss, [&](const std::string& v) { append_string_lit(out, v); });
  } else if (const auto* ds = std::get_if<types::DateSet>(&data)) {
    append_set(out, *ds, [&](const types::DateLit& v) { append_date(out, v); });
  }
}

std::string_view binary_operator(ExprKind kind) {
  switch (kind) {
    case ExprKind::Add:
      return " + ";
    case ExprKind::Sub:
      return " - ";
    case ExprKind::Mul:
      return " * ";
    case ExprKind::Eq:
      return " == ";
    case ExprKind::Lt:
      return " < ";
    case ExprKind::Le:
      return " <= ";
    case ExprKind::Gt:
      return " > ";
    case ExprKind::Ge:
      return " >= ";
    case ExprKind::In:
      return " in ";
    case ExprKind::SubsetOf:
      return " subset of ";
    case ExprKind::SupersetOf:
      return " superset of ";
    default:
      return " ? ";
  }
}

// The compiler only writes identifiers as field names; any other name comes
// from crafted bytecode, and its control characters are shown escaped so that
// a report line stays one line.
void append_field_name(std::string& out, std::string_view name) {
  const bool plain = std::all_of(name.begin(), name.end(), [](char c) {
    return c == '_' || (c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
  });
  if (plain) {
    out += name;
  } else {
    out += escape_controls(name);
  }
}

void append_expr(std::string& out, const Expr& expr, SpanSink* sink);

void append_connective(std::string& out, const std::vector<Expr>& operands, std::string_view word,
                       SpanSink* sink) {
  if (operands.empty()) {
    out += "()";
    return;
  }
  if (operands.size() == 1) {
    append_expr(out, operands.front(), sink);
    return;
  }
  out += '(';
  append_expr(out, operands.front(), sink);
  for (std::size_t i = 1; i < operands.size(); ++i) {
    out += ' ';
    out += word;
    out += ' ';
    append_expr(out, operands[i], sink);
  }
  out += ')';
}

// One recursion level per tree level; the frame is kept small because trees
// may be MAX_EXPR_DEPTH deep.
void append_expr(std::string& out, const Expr& expr, SpanSink* sink) {
  const std::size_t begin = out.size();
  if (const types::Binary* bin = expr.binary()) {
    out += '(';
    append_expr(out, *bin->left, sink);
    out += binary_operator(expr.kind());
    append_expr(out, *bin->right, sink);
    out += ')';
  } else {
    switch (expr.kind()) {
      case ExprKind::Literal:
        append_literal(out, std::get<types::Literal>(expr.node));
        break;
      case ExprKind::IntentField:
        out += "intent.";
        append_field_name(out, std::get<types::IntentField>(expr.node).name);
        break;
      case ExprKind::EvidenceField:
        out += "evidence.";
        append_field_name(out, std::get<types::EvidenceField>(expr.node).name);
        break;
      case ExprKind::Not:
        out += "(not ";
        append_expr(out, *std::get<types::Not>(expr.node).operand, sink);
        out += ')';
        break;
      case ExprKind::And:
        append_connective(out, std::get<types::And>(expr.node).operands, "and", sink);
        break;
      case ExprKind::Or:
        append_connective(out, std::get<types::Or>(expr.node).operands, "or", sink);
        break;
      default:
        break;  // every two-operand kind was handled above
    }
  }
  if (sink) sink->printed(expr, begin, out.size());
}

}  // namespace

std::string pretty_expr(const Expr& expr) {
  std::string out;
  append_expr(out, expr, nullptr);
  return out;
}

std::string pretty_expr(const Expr& expr, SpanSink& sink) {
  std::string out;
  append_expr(out, expr, &sink);
  return out;
}

std::string pretty_connective(const std::vector<Expr>& operands, std::string_view word) {
  std::string out;
  append_connective(out, operands, word, nullptr);
  return out;
}

std::string date_literal(const types::DateLit& date) {
  std::string out;
  append_date(out, date);
  return out;
}

std::string escape_string(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  append_escaped(out, text);
  return out;
}

}  // namespace verdane::canonical
