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

constexpr std::string_view kFalse = "constraint evaluated to False";

// The kind of one constraint that does not pass (nullopt when it passes or
// is skipped), with the text of its error in `error` when it errored.
std::optional<ConstraintOutcome::Kind> decide_constraint(
    std::size_t index, const types::Constraint& constraint, const Plan& plan, Slots intent,
    Slots evidence, Word* words, Stack<Operand>& operands, std::string& error) {
  if (constraint.optional) {
    for (const std::uint32_t slot : plan.optional_slots(index)) {
      if (!intent[slot]) return std::nullopt;  // skipped: passes
    }
  }
  const std::span<const TypedStep> typed = plan.typed_program(index);
  const TypedOutcome fast =
      typed.empty() ? TypedOutcome::Error : run_typed(typed, intent, evidence, words);
  if (fast == TypedOutcome::True) return std::nullopt;
  if (fast == TypedOutcome::False) return ConstraintOutcome::Kind::Failed;
  // No typed program, or it raised an error: the generic program tells
  // the value or which error.
  Operand value;
  const bool ok = run_program(plan, plan.program(index), intent, evidence, operands.data(), value,
                              error, nullptr);
  if (ok && value.type() == Type::Bool && value.as_bool()) return std::nullopt;
  if (ok && value.type() == Type::Bool) return ConstraintOutcome::Kind::Failed;
  if (ok) {
    error = "internal: constraint did not return bool, got " +
            std::string(types::type_text(value.type()));
  }
  return ConstraintOutcome::Kind::Errored;
}

// Collects the outcomes into a decision. Only outcomes that do not pass are
// carried, so only they get the canonical text: building it for every
// constraint was most of the cost of a passing evaluation.
class Collect final : public OutcomeSink {
 public:
  Collect(const types::PolicyTemplate& tmpl, CanonicalTexts* texts) : tmpl_(tmpl), texts_(texts) {}
  void outcome(const OutcomeRef& o) override {
    decision.outcomes.push_back(ConstraintOutcome{
        o.kind, o.index,
        texts_ ? texts_->of(o.index) : canonical::pretty_expr(tmpl_.constraints[o.index].expr),
        std::string(o.reason)});
  }
  Decision decision;

 private:
  const types::PolicyTemplate& tmpl_;
  CanonicalTexts* texts_;
};

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

std::optional<std::string> evaluate_into(const types::PolicyTemplate& tmpl, const Plan& plan,
                                         Slots intent, Slots evidence, OutcomeSink& sink) {
  if (!inputs_fit(plan, intent, evidence)) {
    if (auto problem = first_input_problem(tmpl, plan, intent, evidence)) return problem;
  }
  Stack<Word> words(plan.max_stack_size());
  Stack<Operand> operands(plan.max_stack_size());
  std::string error;
  for (std::size_t index = 0; index < tmpl.constraints.size(); ++index) {
    if (const auto kind = decide_constraint(index, tmpl.constraints[index], plan, intent, evidence,
                                            words.data(), operands, error)) {
      sink.outcome(
          OutcomeRef{*kind, index,
                     *kind == ConstraintOutcome::Kind::Failed ? kFalse : std::string_view(error)});
    }
  }
  return std::nullopt;
}

Evaluation evaluate(const types::PolicyTemplate& tmpl, const Plan& plan, Slots intent,
                    Slots evidence, CanonicalTexts* texts) {
  Collect collect(tmpl, texts);
  if (auto problem = evaluate_into(tmpl, plan, intent, evidence, collect)) {
    return InputValidationFailure{std::move(*problem)};
  }
  Decision& decision = collect.decision;
  decision.kind = decision.outcomes.empty() ? Decision::Kind::Pass : Decision::Kind::Fail;
  return std::move(decision);
}

}  // namespace verdane::evaluator
