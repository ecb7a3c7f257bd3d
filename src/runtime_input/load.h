// Loading JSON documents into typed runtime values against a schema.
#pragma once

#include <string>

#include "runtime_input/json.h"
#include "support/result.h"
#include "types/model.h"
#include "types/value.h"

namespace verdane::runtime_input {

struct InputError {
  enum class Kind { NotAnObject, Field };
  Kind kind = Kind::NotAnObject;
  std::string field;    // member name as written in the document
  std::string message;  // the problem

  // "input JSON must be an object" or "field `<field>`: <message>".
  std::string to_string() const;
};

Result<types::ValueMap, InputError> load_intent(const types::IntentSchema& schema,
                                                const JsonDocument& document);
Result<types::ValueMap, InputError> load_evidence(const types::EvidenceSchema& schema,
                                                  const JsonDocument& document);

}  // namespace verdane::runtime_input
