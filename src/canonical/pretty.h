// The fully parenthesised one-line text of an expression, used in evaluation
// reports. Every operator node carries its own parentheses, so the text shows
// the tree's shape without relying on precedence. This format is independent
// of the readable rendering used by `print`.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "types/model.h"

namespace verdane::canonical {

// The one-line text of `expr`: operator nodes as "(<l> <op> <r>)", `not` as
// "(not <x>)", connectives as by pretty_connective, fields as "intent.<name>"
// or "evidence.<name>" (control characters of a name that is not an
// identifier shown as escape_controls does), literals in the template
// language's literal syntax.
// Never fails; linear in the size of the tree. Trees must respect
// types::MAX_EXPR_DEPTH (recursion is one level per tree level).
std::string pretty_expr(const types::Expr& expr);

// Told where each node's own text lies in the text of the whole tree, as the
// text of that node is completed: operands before their node, left to right.
class SpanSink {
 public:
  virtual void printed(const types::Expr& node, std::size_t begin, std::size_t end) = 0;

 protected:
  ~SpanSink() = default;
};

// pretty_expr(expr), telling `sink` the byte range [begin, end) of every node's
// text within the result (a connective of one operand shares its operand's
// range).
std::string pretty_expr(const types::Expr& expr, SpanSink& sink);

// The text of an `And` or `Or` node over `operands` with the connective
// `word` ("and" or "or"): "()" for no operands, the operand's own text for one,
// "(<a> <word> <b> <word> ...)" on one level for two or more.
std::string pretty_connective(const std::vector<types::Expr>& operands, std::string_view word);

}  // namespace verdane::canonical
