#include "parser/parse.h"

#include "parser/grammar/grammar.h"
#include "parser/lexer/lexer.h"

namespace verdane::parser {

Result<ast::File, errors::CompileError> parse(std::string_view src) {
  auto tokens = lexer::tokenize(src);
  if (!tokens) return make_err(std::move(tokens).error());
  // The token list is dropped on return; the tree owns copies of its texts.
  return grammar::parse(src, *tokens);
}

}  // namespace verdane::parser
