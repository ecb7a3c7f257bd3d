// Placeholder until type checking lands.
#include "typeck/lower.h"

namespace verdane::typeck {

Result<types::PolicyTemplate, errors::CompileError> lower(const parser::ast::File&,
                                                          std::string_view) {
  return make_err(errors::CompileError::bytecode(korvel::serializers::SerializerError{
      korvel::serializers::SerializerError::Kind::Serialization, "bincode",
      "Other(\"type checking is not built yet\")"}));
}

}  // namespace verdane::typeck
