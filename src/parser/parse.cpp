// Placeholder until the parser lands.
#include "parser/parse.h"

namespace verdane::parser {

Result<ast::File, errors::CompileError> parse(std::string_view) {
  return make_err(errors::CompileError::bytecode(korvel::serializers::SerializerError{
      korvel::serializers::SerializerError::Kind::Serialization, "bincode",
      "Other(\"the parser is not built yet\")"}));
}

}  // namespace verdane::parser
