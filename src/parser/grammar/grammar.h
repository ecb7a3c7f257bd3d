// The grammar: a recursive-descent parser that pulls tokens from the lexer.
#pragma once

#include <cstddef>
#include <string_view>

#include "errors/compile_error.h"
#include "parser/ast/ast.h"
#include "support/result.h"

namespace verdane::parser::grammar {

// Limit on nested entries into the six expression levels. Each parenthesis
// costs six and each prefix `not` one, so recursion stays shallow whatever
// the input.
inline constexpr std::size_t MAX_DEPTH = 256;

// Largest source the parser takes: syntax trees keep offsets in 32 bits.
// A longer one fails with a Syntax error at its first byte, "template source
// is too large (maximum is 2147483647 bytes)".
inline constexpr std::size_t MAX_SOURCE_SIZE = 0x7FFFFFFF;

// Tokenizes and parses a whole template: the syntax tree, or the first
// error. A lexical error anywhere in `src` comes before any syntax error, as
// if the whole source were tokenized first; only a few tokens are held at a
// time. Every expression tree it returns has a height (see ast::height) of
// at most types::MAX_EXPR_DEPTH; a higher one fails with a Syntax error at the
// operator that would cross the limit, before anything above it is built.
Result<ast::File, errors::CompileError> parse(std::string_view src);

}  // namespace verdane::parser::grammar
