// Loading JSON documents into typed runtime values against a schema.
//
// The loaders check only the members a document has: a declared field that
// is missing is left for the evaluator to report.
#pragma once

#include <string>
#include <string_view>

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

// Parses "YYYY-MM-DD" into a valid calendar date (year 0 to 9999, Gregorian
// leap years throughout). Each part may carry one leading "+". Checks run in
// this order, each failure naming the whole text `s`: "date `<s>` must be in
// YYYY-MM-DD format" (not exactly three "-"-separated parts of 4, 2 and 2
// bytes), "date `<s>` has non-numeric year" (month, day), "date `<s>` is not a
// valid calendar date".
Result<types::DateLit, std::string> parse_date(std::string_view text);

}  // namespace verdane::runtime_input
