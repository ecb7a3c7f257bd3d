// Height of expression trees and the limit on it.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "errors/compile_error.h"
#include "parser/ast/ast.h"

namespace verdane::parser::ast {

// Height of a tree: a leaf (Literal, Field) is 1; any other node, Paren
// included, is 1 + the largest height among its children (a Chain's
// children are its operands). The parser never builds a tree higher than
// types::MAX_EXPR_DEPTH, so recursion over a parsed tree is bounded; this
// function itself does not recurse.
std::size_t height(const ExprAst& expr);

// "expression is too deep (maximum depth is 4096)".
std::string too_deep_message();

// A Syntax error with too_deep_message(), at byte `offset` of `src`.
errors::CompileError too_deep_error(std::string_view src, std::size_t offset);

}  // namespace verdane::parser::ast
