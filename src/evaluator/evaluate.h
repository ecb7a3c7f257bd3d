// Deciding a template against loaded inputs.
#pragma once

#include <set>
#include <string>
#include <variant>
#include <vector>

#include "errors/constraint_outcome.h"
#include "support/result.h"
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

// Decides `tmpl` against the loaded inputs. First checks the maps against the
// schemas in four passes (unexpected or mistyped intent fields, missing
// required intent fields, then the same two for evidence), each in name order;
// the first problem is the InputValidationFailure and no constraint runs.
// Then evaluates every constraint in order: an optional constraint whose
// optional intent fields are not all present is skipped (it passes). A false
// constraint fails with "constraint evaluated to False"; an evaluation error
// (or a non-bool result) makes it errored with the error text. Every carried
// outcome has the constraint's position and canonical text. Reads its arguments
// only; never fails otherwise, whatever the template holds.
Evaluation evaluate(const types::PolicyTemplate& tmpl, const types::ValueMap& intent,
                    const types::ValueMap& evidence);

// Watches one evaluation: told the result of every node of the tree (the root
// and literals included) as soon as that node's evaluation ends, so operands
// come before their node, in evaluation order. An error is reported first for
// the node that raised it, then again for each enclosing node it ends.
class Trace {
 public:
  virtual void value(const types::Expr& node, const types::Scalar& value) = 0;
  virtual void error(const types::Expr& node, const std::string& reason) = 0;

 protected:
  ~Trace() = default;
};

// Evaluates `expr` strictly left to right, every operand of every node (no
// short-circuit, not even in `and` and `or`); the first error raised stops it
// and is returned. Absent fields and overflow are errors; operand types that a
// checked template cannot have give texts starting with "internal: ".
// Recursion is one level per tree level (trees respect MAX_EXPR_DEPTH).
// `trace`, when given, watches the evaluation; without one nothing is
// recorded.
Result<types::Value, std::string> eval_expr(const types::Expr& expr, const types::ValueMap& intent,
                                            const types::ValueMap& evidence,
                                            Trace* trace = nullptr);

// Adds to `names` every field of an IntentField in `expr` that the intent
// schema of `tmpl` declares optional; undeclared names add nothing.
void collect_optional_refs(const types::PolicyTemplate& tmpl, const types::Expr& expr,
                           std::set<std::string>& names);

}  // namespace verdane::evaluator
