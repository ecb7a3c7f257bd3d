// Type checking and lowering of a syntax tree into the policy model.
#pragma once

#include <string_view>

#include "errors/compile_error.h"
#include "parser/ast/ast.h"
#include "support/result.h"
#include "types/model.h"

namespace verdane::typeck {

// The typed template, or the first compile error; `src` is the source the
// tree was parsed from, for error positions.
Result<types::PolicyTemplate, errors::CompileError> lower(const parser::ast::File& file,
                                                          std::string_view src);

}  // namespace verdane::typeck
