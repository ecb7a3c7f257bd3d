// The readable rendering of a template, in the template language: what
// `print` writes. Expressions carry only the parentheses their binding
// classes require. This format is independent of the canonical one-line
// printer used in evaluation reports.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "types/model.h"
#include "types/operators.h"

namespace verdane::readable {

// How tightly an expression form binds; a higher value binds tighter. From
// the table of operators.
using BindingClass = types::Binding;

BindingClass binding_class(const types::Expr& expr);

// The position an expression occupies in its parent; decides whether its
// text is wrapped in parentheses.
struct Context {
  enum class Position : std::uint8_t {
    TopLevel,      // a constraint's expression: never wrapped
    LeftOperand,   // wrapped when below `parent`, or both are Relation
    RightOperand,  // wrapped when below or equal to `parent`
    NotOperand,    // wrapped when below Not
    AndOperand,    // wrapped when an Or
    OrOperand,     // wrapped when an And
  };
  Position position = Position::TopLevel;
  // The class of the two-operand parent; used only by Left/RightOperand.
  BindingClass parent = BindingClass::Atom;

  static Context top_level() { return {}; }
  static Context left_of(BindingClass cls) { return {Position::LeftOperand, cls}; }
  static Context right_of(BindingClass cls) { return {Position::RightOperand, cls}; }
  static Context not_operand() { return {Position::NotOperand, BindingClass::Not}; }
  static Context and_operand() { return {Position::AndOperand, BindingClass::Connective}; }
  static Context or_operand() { return {Position::OrOperand, BindingClass::Connective}; }
};

// Whether `expr` is written as "(" text ")" in `context`.
bool needs_parens(const types::Expr& expr, Context context);

// The text of `expr` in `context`, parenthesised if the context demands it.
// Linear in the size of the tree; trees must respect types::MAX_EXPR_DEPTH.
std::string render(const types::Expr& expr, Context context);

// "<left> <op> <right>" for a two-operand form of class `cls`, each operand
// rendered in the left- or right-operand context of `cls`.
std::string bin(const types::Expr& left, const types::Expr& right, BindingClass cls,
                std::string_view op);

// The operands of an And (is_or false) or Or (is_or true), each in the
// and/or-operand context, joined by " <sep> ". One operand gives its text
// alone; no operands give the empty text.
std::string join_chain(const std::vector<types::Expr>& operands, bool is_or, std::string_view sep);

// The whole rendering: the name line, the intent and evidence blocks (each
// omitted when its schema is empty, fields in byte order of their names) and
// the requires block with one line per constraint in stored order. Every
// line, the last included, ends with a line feed. Never fails.
std::string readable_print(const types::PolicyTemplate& tmpl);

}  // namespace verdane::readable
