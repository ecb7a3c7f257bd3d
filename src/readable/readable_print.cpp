#include "readable/readable_print.h"

#include <charconv>

#include "types/literal_text.h"
#include "types/operators.h"

namespace verdane::readable {
namespace {

using types::Expr;
using types::ExprKind;

// The renderer appends into one output string rather than combining returned
// texts: the result is the same, but a deep tree costs time linear in its
// text instead of re-copying every subtree at each level above it. The
// parentheses depend only on the child's form and its context, so they can
// be decided before the child is written.

// A negative year (only crafted bytecode holds one) keeps four digits after
// its sign, as print has always shown it: date(-0007-01-01).
constexpr types::LiteralStyle kLiteralStyle{};

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
    append_bin(out, b->left(), b->right(), types::binding_of(kind),
               types::operator_of(kind)->spelling);
    return;
  }
  switch (kind) {
    case ExprKind::Literal:
      types::append_literal(out, std::get<types::Literal>(expr.node).data, kLiteralStyle);
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
      out += types::operator_of(ExprKind::Not)->spelling;
      out += ' ';
      append_render(out, *std::get<types::Not>(expr.node).operand, Context::not_operand());
      return;
    case ExprKind::And:
      append_chain(out, std::get<types::And>(expr.node).operands, false,
                   types::operator_of(ExprKind::And)->spelling);
      return;
    case ExprKind::Or:
      append_chain(out, std::get<types::Or>(expr.node).operands, true,
                   types::operator_of(ExprKind::Or)->spelling);
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

BindingClass binding_class(const Expr& expr) { return types::binding_of(expr.kind()); }

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
