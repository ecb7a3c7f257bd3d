// The problem texts of values that do not fit their declared type, shared by
// the loaders so that every path names a problem the same way.
#pragma once

#include <string>

#include "types/model.h"

namespace verdane::runtime_input::messages {

// For any value when `type` is none of the seven types.
inline constexpr const char* kUnknownType = "unknown declared type";

// For a value of the wrong JSON kind for `type`.
inline const char* wrong_value(types::Type type) {
  switch (type) {
    case types::Type::Bool:
      return "expected JSON boolean";
    case types::Type::Int:
      return "expected JSON integer";
    case types::Type::String:
      return "expected JSON string";
    case types::Type::Date:
      return "expected JSON string date (YYYY-MM-DD)";
    case types::Type::IntSet:
      return "expected JSON array of integers";
    case types::Type::StringSet:
      return "expected JSON array of strings";
    case types::Type::DateSet:
      return "expected JSON array of date strings";
  }
  return kUnknownType;
}

// For an array element of the wrong JSON kind in a value of set type `type`.
inline const char* wrong_element(types::Type type) {
  return type == types::Type::IntSet ? "expected JSON integer in array"
                                     : "expected JSON string in array";
}

// For a member the schema does not declare; `schema_kind` is "intent" or
// "evidence".
inline std::string undeclared(const char* schema_kind) {
  return std::string("is not declared in the ") + schema_kind + " schema";
}

}  // namespace verdane::runtime_input::messages
