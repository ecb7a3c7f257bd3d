// What loading a JSON document against a schema reports, and the reading of
// dates, which every loader shares.
#pragma once

#include <string>
#include <string_view>

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

// Parses "YYYY-MM-DD" into a valid calendar date (year 0 to 9999, Gregorian
// leap years throughout). Each part may carry one leading "+". Checks run in
// this order, each failure naming the whole text `s`: "date `<s>` must be in
// YYYY-MM-DD format" (not exactly three "-"-separated parts of 4, 2 and 2
// bytes), "date `<s>` has non-numeric year" (month, day), "date `<s>` is not a
// valid calendar date".
Result<types::DateLit, std::string> parse_date(std::string_view text);

}  // namespace verdane::runtime_input
