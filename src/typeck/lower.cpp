// Placeholder until type checking lands.
#include "typeck/lower.h"

namespace verdane::typeck {

Result<types::PolicyTemplate, errors::CompileError> lower(const parser::ast::File&,
                                                          std::string_view src) {
  return make_err(errors::CompileError::syntax(src, 0, "type checking is not built yet"));
}

}  // namespace verdane::typeck
