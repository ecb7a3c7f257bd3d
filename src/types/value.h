// Runtime values: what the JSON loaders produce and the evaluator computes.
#pragma once

#include <map>
#include <string>

#include "types/model.h"

namespace verdane::types {

// Same seven alternatives as Literal, in the same order, so a value's type is
// read off its index. Values of different alternatives are never equal.
struct Value {
  Scalar data;

  Type type() const { return static_cast<Type>(data.index()); }
  static Value from_literal(const Literal& literal) { return Value{literal.data}; }
  friend bool operator==(const Value&, const Value&) = default;
};

// Field name to value, iterated in byte order of the names.
using ValueMap = std::map<std::string, Value>;

}  // namespace verdane::types
