// Placeholder until the evaluator lands.
#include "evaluator/evaluate.h"

namespace verdane::evaluator {

Evaluation evaluate(const types::PolicyTemplate&, const types::ValueMap&, const types::ValueMap&) {
  return InputValidationFailure{"the evaluator is not built yet"};
}

}  // namespace verdane::evaluator
