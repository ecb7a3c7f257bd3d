// Type checking and lowering of a syntax tree into the policy model.
//
// Lowering gives every expression a static type, rejects ill-typed ones,
// removes the constructs the model has no node for (parentheses, comparison
// chains, `not in`), types `{}` from its context and enforces the rules that
// tie `optional:` constraints to optional intent fields. The first error ends
// the call; nothing partial is returned.
#pragma once

#include <cstddef>
#include <optional>
#include <string_view>
#include <vector>

#include "errors/compile_error.h"
#include "parser/ast/ast.h"
#include "support/result.h"
#include "types/model.h"

namespace verdane::typeck {

// The typed template, or the first compile error; `src` is the source the
// tree was parsed from, for error positions. Every expression of the result
// is at most types::MAX_EXPR_DEPTH deep.
Result<types::PolicyTemplate, errors::CompileError> lower(const parser::ast::File& file,
                                                          std::string_view src);

// What expression lowering reads: both finished schemas and the source text.
// `depth` counts the syntax nodes currently being lowered (parentheses
// excluded); it bounds the recursion even for trees the parser did not build.
// `operands` is scratch storage that lowering reuses from call to call.
struct LowerContext {
  const types::IntentSchema& intent;
  const types::EvidenceSchema& evidence;
  std::string_view src;
  std::size_t depth = 0;
  std::vector<parser::ast::NodeRef> operands = {};
};

// One lowered expression: the tree, its static type, and its height (a lone
// literal is 1, every enclosing node adds 1).
struct Lowered {
  types::Expr expr;
  types::Type type = types::Type::Bool;
  std::size_t height = 1;
};

// Lowers one expression. `expected` only affects `{}` literals, which take it
// as their type (it must be a set type); parentheses pass it through. Fails
// with a Syntax error "expression is too deep (maximum depth is 4096)" when a
// lowered node would be deeper than types::MAX_EXPR_DEPTH.
Result<Lowered, errors::CompileError> lower_expr(LowerContext& cx, const parser::ast::ExprAst& expr,
                                                 std::optional<types::Type> expected);

}  // namespace verdane::typeck
