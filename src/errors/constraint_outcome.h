// The result of evaluating one constraint.
#pragma once

#include <cstddef>
#include <string>

namespace verdane::errors {

struct ConstraintOutcome {
  enum class Kind { Passed, Failed, Errored };
  Kind kind = Kind::Passed;
  std::size_t index = 0;   // position in the template's constraints
  std::string expression;  // canonical one-line text of the constraint
  std::string reason;      // Failed and Errored only
};

}  // namespace verdane::errors
