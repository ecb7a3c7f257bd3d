// Placeholder until the parser lands.
#include "parser/parse.h"

namespace verdane::parser {

Result<ast::File, errors::CompileError> parse(std::string_view src) {
  return make_err(errors::CompileError::syntax(src, 0, "the parser is not built yet"));
}

}  // namespace verdane::parser
