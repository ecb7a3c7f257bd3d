// Deciding: the inputs are checked, then every constraint runs, typed where
// it can, generic where the typed program cannot tell the outcome.
#include "evaluator/evaluate.h"

#include <optional>
#include <string_view>
#include <utility>

#include "canonical/pretty.h"
#include "evaluator/by_name.h"
#include "evaluator/machine.h"
#include "evaluator/validate.h"

namespace verdane::evaluator {

namespace {

using errors::ConstraintOutcome;
using types::Type;
using types::Value;
using types::ValueMap;

// The outcome of one constraint that does not pass (nullopt when it passes
// or is skipped). Only such outcomes are carried into the decision, so only
// they get the canonical text: building it for every constraint was most of
// the cost of a passing evaluation.
std::optional<ConstraintOutcome> decide_constraint(std::size_t index,
                                                   const types::Constraint& constraint,
                                                   const Plan& plan, Slots intent, Slots evidence,
                                                   Word* words, Stack<Operand>& operands,
                                                   CanonicalTexts* texts) {
  if (constraint.optional) {
    for (const std::uint32_t slot : plan.optional_slots(index)) {
      if (!intent[slot]) return std::nullopt;  // skipped: passes
    }
  }
  const std::span<const TypedStep> typed = plan.typed_program(index);
  const TypedOutcome fast =
      typed.empty() ? TypedOutcome::Error : run_typed(typed, intent, evidence, words);
  if (fast == TypedOutcome::True) return std::nullopt;
  ConstraintOutcome outcome;
  outcome.index = index;
  if (fast == TypedOutcome::False) {
    outcome.kind = ConstraintOutcome::Kind::Failed;
    outcome.reason = "constraint evaluated to False";
  } else {
    // No typed program, or it raised an error: the generic program tells
    // the value or which error.
    Operand value;
    std::string error;
    const bool ok = run_program(plan, plan.program(index), intent, evidence, operands.data(), value,
                                error, nullptr);
    if (ok && value.type() == Type::Bool && value.as_bool()) return std::nullopt;
    if (!ok) {
      outcome.kind = ConstraintOutcome::Kind::Errored;
      outcome.reason = std::move(error);
    } else if (value.type() == Type::Bool) {
      outcome.kind = ConstraintOutcome::Kind::Failed;
      outcome.reason = "constraint evaluated to False";
    } else {
      outcome.kind = ConstraintOutcome::Kind::Errored;
      outcome.reason = "internal: constraint did not return bool, got " +
                       std::string(types::type_text(value.type()));
    }
  }
  outcome.expression = texts ? texts->of(index) : canonical::pretty_expr(constraint.expr);
  return outcome;
}

}  // namespace

Evaluation evaluate(const types::PolicyTemplate& tmpl, const ValueMap& intent,
                    const ValueMap& evidence) {
  const Plan plan(tmpl);
  const ViewSlots intent_views(tmpl.intent_schema.fields, intent);
  const ViewSlots evidence_views(tmpl.evidence_schema.fields, evidence);
  const Slots intent_slots = intent_views.slots;
  const Slots evidence_slots = evidence_views.slots;
  // Maps may hold any names: those no field declares are problems too.
  const auto undeclared = [](const auto& fields, const ValueMap& values) {
    std::vector<std::string_view> names;
    for (const auto& entry : values) {
      if (!fields.contains(entry.first)) names.push_back(entry.first);
    }
    return names;
  };
  const std::vector<std::string_view> undeclared_intent =
      undeclared(tmpl.intent_schema.fields, intent);
  const std::vector<std::string_view> undeclared_evidence =
      undeclared(tmpl.evidence_schema.fields, evidence);
  if (auto problem = first_input_problem(tmpl, plan, intent_slots, evidence_slots,
                                         undeclared_intent, undeclared_evidence)) {
    return InputValidationFailure{std::move(*problem)};
  }
  return evaluate(tmpl, plan, intent_slots, evidence_slots);
}

const std::string& CanonicalTexts::of(std::size_t index) {
  std::optional<std::string>& text = texts_[index];
  if (!text) text = canonical::pretty_expr(tmpl_.constraints[index].expr);
  return *text;
}

Evaluation evaluate(const types::PolicyTemplate& tmpl, const Plan& plan, Slots intent,
                    Slots evidence, CanonicalTexts* texts) {
  if (!inputs_fit(plan, intent, evidence)) {
    if (auto problem = first_input_problem(tmpl, plan, intent, evidence)) {
      return InputValidationFailure{std::move(*problem)};
    }
  }
  Decision decision;
  Stack<Word> words(plan.max_stack_size());
  Stack<Operand> operands(plan.max_stack_size());
  for (std::size_t index = 0; index < tmpl.constraints.size(); ++index) {
    // Passed outcomes carry nothing the report shows.
    if (auto outcome = decide_constraint(index, tmpl.constraints[index], plan, intent, evidence,
                                         words.data(), operands, texts)) {
      decision.outcomes.push_back(std::move(*outcome));
    }
  }
  decision.kind = decision.outcomes.empty() ? Decision::Kind::Pass : Decision::Kind::Fail;
  return decision;
}

}  // namespace verdane::evaluator
