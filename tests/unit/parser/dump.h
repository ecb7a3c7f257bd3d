// Compact text forms of syntax trees, for comparing shapes in tests.
#pragma once

#include <string>

#include "parser/ast/ast.h"

namespace verdane::parser::ast::testing {

// S-expression of `e`, e.g. "(chain 1 < (+ 2 3))". With `base` set, each node
// is followed by "@start-end", its span relative to `base`.
std::string dump(const ExprAst& e, std::size_t base = SIZE_MAX);

}  // namespace verdane::parser::ast::testing
