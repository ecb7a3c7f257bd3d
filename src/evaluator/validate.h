// Checking inputs against a template's schemas before any constraint runs.
// Internal to the evaluator.
#pragma once

#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "evaluator/evaluate.h"

namespace verdane::evaluator {

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
