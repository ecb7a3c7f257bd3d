#include "readable/readable_print.h"

#include <charconv>

namespace verdane::readable {
namespace {

using types::Expr;
using types::ExprKind;

// The renderer appends into one output string rather than combining returned
// texts: the result is the same, but a deep tree costs time linear in its
// text instead of re-copying every subtree at each level above it. The
// parentheses depend only on the child's form and its context, so they can
// be decided before the child is written.

void append_escaped(std::string& out, std::string_view text) {
  for (char c : text) {
    switch (c) {
      case '\\':
        out += "\\\\";
        break;
      case '"':
        out += "\\\"";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\r':
        out += "\\r";
        break;
      case '\t':
        out += "\\t";
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

// At least `digits` digits, zero-padded on the left; a minus sign for a
// negative value comes before the padded digits and does not count.
void append_zero_padded(std::string& out, std::int64_t value, std::size_t digits) {
  char buf[24];
  const auto res = std::to_chars(buf, buf + sizeof buf, value);
  const char* first = buf;
  if (value < 0) {
    out += '-';
    ++first;
  }
  const auto len = static_cast<std::size_t>(res.ptr - first);
  if (len < digits) out.append(digits - len, '0');
  out.append(first, static_cast<std::size_t>(res.ptr - first));
}

void append_date(std::string& out, const types::DateLit& date) {
  out += "date(";
  append_zero_padded(out, date.year, 4);
  out += '-';
  append_zero_padded(out, date.month, 2);
  out += '-';
  append_zero_padded(out, date.day, 2);
  out += ')';
}

void append_quoted(std::string& out, std::string_view text) {
  out += '"';
  append_escaped(out, text);
  out += '"';
}

template <typename Set, typename AppendElem>
void append_set(std::string& out, const Set& set, AppendElem append_elem) {
  out += '{';
  const char* sep = "";
  for (const auto& elem : set) {
    out += sep;
    sep = ", ";
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
    append_quoted(out, *s);
  } else if (const auto* d = std::get_if<types::DateLit>(&data)) {
    append_date(out, *d);
  } else if (const auto* is = std::get_if<types::IntSet>(&data)) {
    append_set(out, *is, [&](std::int64_t v) { append_int(out, v); });
  } else if (const auto* ss = std::get_if<types::StringSet>(&data)) {
    append_set(out, *ss, [&](const std::string& v) { append_quoted(out, v); });
  } else if (const auto* ds = std::get_if<types::DateSet>(&data)) {
    append_set(out, *ds, [&](const types::DateLit& v) { append_date(out, v); });
  }
}

std::string_view operator_text(ExprKind kind) {
  switch (kind) {
    case ExprKind::Add:
      return "+";
    case ExprKind::Sub:
      return "-";
    case ExprKind::Mul:
      return "*";
    case ExprKind::Eq:
      return "==";
    case ExprKind::Lt:
      return "<";
    case ExprKind::Le:
      return "<=";
    case ExprKind::Gt:
      return ">";
    case ExprKind::Ge:
      return ">=";
    case ExprKind::In:
      return "in";
    case ExprKind::SubsetOf:
      return "subset of";
    case ExprKind::SupersetOf:
      return "superset of";
    default:
      return "?";
  }
}

BindingClass class_of(ExprKind kind) {
  switch (kind) {
    case ExprKind::And:
    case ExprKind::Or:
      return BindingClass::Connective;
    case ExprKind::Eq:
    case ExprKind::Lt:
    case ExprKind::Le:
    case ExprKind::Gt:
    case ExprKind::Ge:
    case ExprKind::In:
    case ExprKind::SubsetOf:
    case ExprKind::SupersetOf:
      return BindingClass::Relation;
    case ExprKind::Not:
      return BindingClass::Not;
    case ExprKind::Add:
    case ExprKind::Sub:
      return BindingClass::Additive;
    case ExprKind::Mul:
      return BindingClass::Multiplicative;
    case ExprKind::Literal:
    case ExprKind::IntentField:
    case ExprKind::EvidenceField:
      return BindingClass::Atom;
  }
  return BindingClass::Atom;
}

void append_render(std::string& out, const Expr& expr, Context context);

void append_bin(std::string& out, const Expr& left, const Expr& right, BindingClass cls,
                std::string_view op) {
  append_render(out, left, Context::left_of(cls));
  out += ' ';
  out += op;
  out += ' ';
  append_render(out, right, Context::right_of(cls));
}

void append_chain(std::string& out, const std::vector<Expr>& operands, bool is_or,
                  std::string_view sep) {
  const Context context = is_or ? Context::or_operand() : Context::and_operand();
  bool first = true;
  for (const Expr& operand : operands) {
    if (!first) {
      out += ' ';
      out += sep;
      out += ' ';
    }
    first = false;
    append_render(out, operand, context);
  }
}

// The text of `expr` without its own parentheses.
void append_form(std::string& out, const Expr& expr) {
  const ExprKind kind = expr.kind();
  if (const types::Binary* b = expr.binary()) {
    append_bin(out, *b->left, *b->right, class_of(kind), operator_text(kind));
    return;
  }
  switch (kind) {
    case ExprKind::Literal:
      append_literal(out, std::get<types::Literal>(expr.node));
      return;
    case ExprKind::IntentField:
      out += "intent.";
      out += std::get<types::IntentField>(expr.node).name;
      return;
    case ExprKind::EvidenceField:
      out += "evidence.";
      out += std::get<types::EvidenceField>(expr.node).name;
      return;
    case ExprKind::Not:
      out += "not ";
      append_render(out, *std::get<types::Not>(expr.node).operand, Context::not_operand());
      return;
    case ExprKind::And:
      append_chain(out, std::get<types::And>(expr.node).operands, false, "and");
      return;
    case ExprKind::Or:
      append_chain(out, std::get<types::Or>(expr.node).operands, true, "or");
      return;
    default:
      return;  // every two-operand kind was handled above
  }
}

// Recursion runs three small frames per tree level (append_render,
// append_form, append_bin or append_chain); trees are bounded by
// MAX_EXPR_DEPTH, which the depth-limit tests exercise.
void append_render(std::string& out, const Expr& expr, Context context) {
  if (needs_parens(expr, context)) {
    out += '(';
    append_form(out, expr);
    out += ')';
  } else {
    append_form(out, expr);
  }
}

void append_schema_line(std::string& out, const std::string& name) {
  out += "  ";
  out += name;
  out += ": ";
}

}  // namespace

BindingClass binding_class(const Expr& expr) { return class_of(expr.kind()); }

bool needs_parens(const Expr& expr, Context context) {
  const BindingClass cls = binding_class(expr);
  switch (context.position) {
    case Context::Position::TopLevel:
      return false;
    case Context::Position::LeftOperand:
      return cls < context.parent ||
             (cls == BindingClass::Relation && context.parent == BindingClass::Relation);
    case Context::Position::RightOperand:
      return cls <= context.parent;
    case Context::Position::NotOperand:
      return cls < BindingClass::Not;
    case Context::Position::AndOperand:
      return expr.kind() == ExprKind::Or;
    case Context::Position::OrOperand:
      return expr.kind() == ExprKind::And;
  }
  return false;
}

std::string render(const Expr& expr, Context context) {
  std::string out;
  append_render(out, expr, context);
  return out;
}

std::string bin(const Expr& left, const Expr& right, BindingClass cls, std::string_view op) {
  std::string out;
  append_bin(out, left, right, cls, op);
  return out;
}

std::string join_chain(const std::vector<Expr>& operands, bool is_or, std::string_view sep) {
  std::string out;
  append_chain(out, operands, is_or, sep);
  return out;
}

std::string escape_str(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  append_escaped(out, text);
  return out;
}

std::string readable_print(const types::PolicyTemplate& tmpl) {
  std::string out;
  out += "name ";
  out += tmpl.name;
  out += '\n';

  if (!tmpl.intent_schema.fields.empty()) {
    out += "\nintent {\n";
    for (const auto& [name, field] : tmpl.intent_schema.fields) {
      append_schema_line(out, name);
      if (field.optional) out += "optional ";
      out += types::type_text(field.type);
      out += '\n';
    }
    out += "}\n";
  }

  if (!tmpl.evidence_schema.fields.empty()) {
    out += "\nevidence {\n";
    for (const auto& [name, field] : tmpl.evidence_schema.fields) {
      append_schema_line(out, name);
      out += types::type_text(field.type);
      out += '\n';
    }
    out += "}\n";
  }

  out += "\nrequires {\n";
  for (const types::Constraint& constraint : tmpl.constraints) {
    out += "  ";
    if (constraint.optional) out += "optional: ";
    append_render(out, constraint.expr, Context::top_level());
    out += ";\n";
  }
  out += "}\n";
  return out;
}

}  // namespace verdane::readable
