// What loading a JSON document against a schema reports, and the reading of
// dates, which every loader shares.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "support/result.h"
#include "types/model.h"
#include "types/value.h"

namespace verdane::runtime_input {

// Why a JSON document does not fit its schema, as data; to_string() is the
// one place its text is made.
struct InputError {
  enum class Kind {
    NotAnObject,   // the document is not an object
    Undeclared,    // a member the schema does not declare
    WrongValue,    // a value of the wrong JSON kind for `type`
    WrongElement,  // an array element of the wrong JSON kind for set type `type`
    BadDate,       // a text that is not a date: `detail` is parse_date's text
    UnknownType,   // `type` is none of the seven types
  };
  Kind kind = Kind::NotAnObject;
  // The byte of the text where the value that does not fit starts (the
  // element, for one of a set's elements), or the member's name for an
  // undeclared member; for a document that is not an object, its value.
  std::size_t offset = 0;
  std::string field;                     // the member's name as written; empty for NotAnObject
  types::Type type = types::Type::Bool;  // WrongValue, WrongElement, UnknownType
  const char* schema_kind = "";          // Undeclared: "intent" or "evidence"
  std::string detail;                    // BadDate

  // "input JSON must be an object" or "field `<field>`: <problem>".
  std::string to_string() const;
};

// Parses "YYYY-MM-DD" into a valid calendar date (year 0 to 9999, Gregorian
// leap years throughout). Each part may carry one leading "+". Checks run in
// this order, each failure naming the whole text `s`: "date `<s>` must be in
// YYYY-MM-DD format" (not exactly three "-"-separated parts of 4, 2 and 2
// bytes), "date `<s>` has non-numeric year" (month, day), "date `<s>` is not a
// valid calendar date".
Result<types::DateLit, std::string> parse_date(std::string_view text);

}  // namespace verdane::runtime_input
