#include "canonical/pretty.h"

#include <algorithm>
#include <charconv>
#include <cstdint>

#include "support/line_text.h"
#include "types/literal_text.h"
#include "types/operators.h"

namespace verdane::canonical {
namespace {

using types::Expr;
using types::ExprKind;

// Everything below appends into one output string: a deep tree then costs
// time linear in its text instead of re-copying each subtree's text at every
// level above it.

// The minus sign of a negative year (only crafted bytecode holds one) counts
// toward its four characters, as the reports have always shown it:
// date(-007-01-01).
constexpr types::LiteralStyle kLiteralStyle{.sign_in_year_width = true};

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
    append_expr(out, bin->left(), sink);
    out += ' ';
    out += types::operator_of(expr.kind())->spelling;
    out += ' ';
    append_expr(out, bin->right(), sink);
    out += ')';
  } else {
    switch (expr.kind()) {
      case ExprKind::Literal:
        types::append_literal(out, std::get<types::Literal>(expr.node).data, kLiteralStyle);
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
        out += '(';
        out += types::operator_of(ExprKind::Not)->spelling;
        out += ' ';
        append_expr(out, *std::get<types::Not>(expr.node).operand, sink);
        out += ')';
        break;
      case ExprKind::And:
        append_connective(out, std::get<types::And>(expr.node).operands,
                          types::operator_of(ExprKind::And)->spelling, sink);
        break;
      case ExprKind::Or:
        append_connective(out, std::get<types::Or>(expr.node).operands,
                          types::operator_of(ExprKind::Or)->spelling, sink);
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

}  // namespace verdane::canonical
