#include "evaluator/validate.h"

namespace verdane::evaluator {

namespace {

using types::Type;

std::string unexpected(const char* side, std::string_view name) {
  return std::string(side) + " has unexpected field `" + std::string(name) + "`";
}

std::string mismatch(const char* side, const std::string& name, Type actual, Type declared) {
  return std::string(side) + " field `" + name + "` has type `" +
         std::string(types::type_text(actual)) + "`, expected `" +
         std::string(types::type_text(declared)) + "`";
}

std::string missing(const char* side, const std::string& name) {
  return std::string(side) + " is missing required field `" + name + "`";
}

// The first pass of one side: in name order, a name that no field declares
// or a present field of another type than declared.
template <typename Fields>
std::optional<std::string> unexpected_or_mistyped(const char* side, const Fields& fields,
                                                  const Plan::Side& declared, Slots values,
                                                  std::span<const std::string_view> undeclared) {
  auto next = undeclared.begin();
  std::size_t slot = 0;
  for (const auto& entry : fields) {
    if (next != undeclared.end() && *next < entry.first) return unexpected(side, *next);
    if (values[slot] && values[slot].type() != declared.types[slot]) {
      return mismatch(side, entry.first, values[slot].type(), declared.types[slot]);
    }
    ++slot;
  }
  if (next != undeclared.end()) return unexpected(side, *next);
  return std::nullopt;
}

// The second pass of one side: a required field that is absent.
template <typename Fields>
std::optional<std::string> missing_required(const char* side, const Fields& fields,
                                            const Plan::Side& declared, Slots values) {
  std::size_t slot = 0;
  for (const auto& entry : fields) {
    if (declared.required[slot] && !values[slot]) return missing(side, entry.first);
    ++slot;
  }
  return std::nullopt;
}

}  // namespace

std::optional<std::string> first_input_problem(
    const types::PolicyTemplate& tmpl, const Plan& plan, Slots intent, Slots evidence,
    std::span<const std::string_view> undeclared_intent,
    std::span<const std::string_view> undeclared_evidence) {
  const Plan::Side& is = plan.intent();
  const Plan::Side& es = plan.evidence();
  if (intent.size() != is.types.size() || evidence.size() != es.types.size()) {
    return "internal: inputs do not match the template's schemas";
  }
  if (undeclared_intent.empty() && undeclared_evidence.empty() &&
      inputs_fit(plan, intent, evidence)) {
    return std::nullopt;
  }
  const auto& intent_fields = tmpl.intent_schema.fields;
  const auto& evidence_fields = tmpl.evidence_schema.fields;
  if (auto problem =
          unexpected_or_mistyped("intent", intent_fields, is, intent, undeclared_intent)) {
    return problem;
  }
  if (auto problem = missing_required("intent", intent_fields, is, intent)) return problem;
  if (auto problem =
          unexpected_or_mistyped("evidence", evidence_fields, es, evidence, undeclared_evidence)) {
    return problem;
  }
  return missing_required("evidence", evidence_fields, es, evidence);
}

}  // namespace verdane::evaluator
