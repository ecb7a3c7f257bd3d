// Placeholder until JSON loading lands.
#include "runtime_input/load.h"

namespace verdane::runtime_input {

std::string InputError::to_string() const {
  if (kind == Kind::NotAnObject) return "input JSON must be an object";
  return "field `" + field + "`: " + message;
}

Result<types::ValueMap, InputError> load_intent(const types::IntentSchema&, const JsonDocument&) {
  return make_err(InputError{});
}

Result<types::ValueMap, InputError> load_evidence(const types::EvidenceSchema&,
                                                  const JsonDocument&) {
  return make_err(InputError{});
}

}  // namespace verdane::runtime_input
