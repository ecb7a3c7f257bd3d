// Deciding a template against loaded inputs.
#pragma once

#include <string>
#include <variant>
#include <vector>

#include "errors/constraint_outcome.h"
#include "types/model.h"
#include "types/value.h"

namespace verdane::evaluator {

// The inputs as a whole do not fit the schemas; no constraint was evaluated.
struct InputValidationFailure {
  std::string message;
};

struct Decision {
  enum class Kind { Pass, Fail };
  Kind kind = Kind::Pass;
  // For Fail: the Failed and Errored outcomes in template order, never empty.
  std::vector<errors::ConstraintOutcome> outcomes;
};

using Evaluation = std::variant<InputValidationFailure, Decision>;

Evaluation evaluate(const types::PolicyTemplate& tmpl, const types::ValueMap& intent,
                    const types::ValueMap& evidence);

}  // namespace verdane::evaluator
