#include "parser/parse.h"

#include "parser/grammar/grammar.h"

namespace verdane::parser {

Result<ast::File, errors::CompileError> parse(std::string_view src) { return grammar::parse(src); }

}  // namespace verdane::parser
