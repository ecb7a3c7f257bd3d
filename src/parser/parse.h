// Entry point of the front end's syntax stage.
#pragma once

#include <string_view>

#include "errors/compile_error.h"
#include "parser/ast/ast.h"
#include "support/result.h"

namespace verdane::parser {

// Tokenizes and parses the whole template source: the syntax tree, or the
// first lexical or syntax error.
Result<ast::File, errors::CompileError> parse(std::string_view src);

}  // namespace verdane::parser
