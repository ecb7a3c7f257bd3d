// The fully parenthesised one-line text of an expression, used in evaluation
// reports. Every operator node carries its own parentheses, so the text shows
// the tree's shape without relying on precedence. This format is independent
// of the readable rendering used by `print`.
#pragma once

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

// The text of an `And` or `Or` node over `operands` with the connective
// `word` ("and" or "or"): "()" for no operands, the operand's own text for one,
// "(<a> <word> <b> <word> ...)" on one level for two or more.
std::string pretty_connective(const std::vector<types::Expr>& operands, std::string_view word);

// `text` with tab, line feed, carriage return, double quote and backslash
// written as \t, \n, \r, \" and \\; every other byte is copied unchanged.
// No surrounding quotes are added.
std::string escape_string(std::string_view text);

}  // namespace verdane::canonical
