// Checking inputs against a template's schemas before any constraint runs.
// Internal to the evaluator.
#pragma once

#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "evaluator/evaluate.h"

namespace verdane::evaluator {

// Whether the inputs by slot fit `plan`'s sides: every value of its declared
// type, every required field present. True for nearly every input, which
// then needs no pass in order; inline, as every decision asks it.
inline bool inputs_fit(const Plan& plan, Slots intent, Slots evidence) {
  const auto fits = [](Slots values, const Plan::Side& side) {
    if (values.size() != side.types.size()) return false;
    for (std::size_t slot = 0; slot < values.size(); ++slot) {
      if (values[slot] ? values[slot].type() != side.types[slot] : side.required[slot]) {
        return false;
      }
    }
    return true;
  };
  return fits(intent, plan.intent()) && fits(evidence, plan.evidence());
}

// The first problem of the four validation passes, if any: unexpected or
// mistyped intent fields, missing required intent fields, then the same two
// for evidence, each pass in name order. The inputs are the values by slot of
// the declared fields of `plan` (made for `tmpl`) and, for inputs that came by
// name, the names that no field declares, in ascending byte order (inputs
// loaded by slot have none).
std::optional<std::string> first_input_problem(
    const types::PolicyTemplate& tmpl, const Plan& plan, Slots intent, Slots evidence,
    std::span<const std::string_view> undeclared_intent = {},
    std::span<const std::string_view> undeclared_evidence = {});

}  // namespace verdane::evaluator
