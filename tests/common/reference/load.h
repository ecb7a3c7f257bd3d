// The generic loaders, kept with the tests as the reference: a JSON tree
// converted to typed runtime values against a schema.
//
// The loaders check only the members a document has: a declared field that
// is missing is left for the evaluator to report.
#pragma once

#include <string>

#include "common/reference/json_tree.h"
#include "runtime_input/load.h"
#include "support/result.h"
#include "types/model.h"
#include "types/value.h"

namespace verdane::runtime_input {

// Converts every member of `document` (which must be an object) to the type
// its schema entry declares. Members are checked in ascending byte order of
// their names and the first bad one decides the error: an undeclared name
// ("is not declared in the intent schema") or a value that does not convert
// (the text of json_to_value). A JSON null is a value like any other, not an
// absent field.
Result<types::ValueMap, InputError> load_intent(const types::IntentSchema& schema,
                                                const JsonDocument& document);
// The same against an evidence schema ("is not declared in the evidence
// schema").
Result<types::ValueMap, InputError> load_evidence(const types::EvidenceSchema& schema,
                                                  const JsonDocument& document);

// Converts one JSON value to `type`, or returns the problem text: "expected
// JSON boolean", "expected JSON integer", "expected JSON string", "expected
// JSON string date (YYYY-MM-DD)", "expected JSON array of integers" (of
// strings, of date strings), "expected JSON integer in array", "expected JSON
// string in array", or a parse_date text. Integers must fit the signed 64-bit
// range and be written without fraction or exponent. Arrays become sets in
// which repeated elements collapse; the first bad element in array order
// decides the message.
Result<types::Value, std::string> json_to_value(const JsonValue& json, types::Type type);

}  // namespace verdane::runtime_input
