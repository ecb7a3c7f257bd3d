// Any pair of JSON texts (split at the first NUL byte: intent, then evidence)
// loaded and evaluated against a fixed set of templates; every constraint
// that does not pass is explained too, and its explanation must agree with
// its outcome.
#include <cstdint>
#include <cstdlib>
#include <string_view>
#include <vector>

#include "common/reference/load.h"
#include "evaluator/evaluate.h"
#include "explain/explain.h"
#include "parser/parse.h"
#include "support/utf8.h"
#include "typeck/lower.h"

namespace {

constexpr std::string_view kTemplates[] = {
    R"(name payments
intent {
  amount: int
  currency: string
  limit: optional int
  tags: optional set<string>
}
evidence {
  balance: int
  allowed: set<string>
  blocked: set<int>
  opened: date
  holidays: set<date>
}
requires {
  intent.amount + 1 <= evidence.balance * 2;
  intent.currency in evidence.allowed;
  intent.amount not in evidence.blocked;
  optional: intent.amount < intent.limit;
  optional: intent.tags subset of evidence.allowed or intent.tags == {};
  date(2020-01-01) <= evidence.opened < date(2030-12-31);
  evidence.opened not in evidence.holidays and not (evidence.balance - intent.amount < 0)
}
)",
    R"(name flags
evidence {
  ok: bool
  n: int
  s: set<int>
}
requires {
  evidence.ok == True;
  evidence.n * evidence.n * evidence.n > -9223372036854775807;
  evidence.s superset of {1, 2} or {} subset of evidence.s
}
)",
};

const std::vector<verdane::types::PolicyTemplate>& templates() {
  static const std::vector<verdane::types::PolicyTemplate> compiled = [] {
    std::vector<verdane::types::PolicyTemplate> out;
    for (std::string_view src : kTemplates) {
      auto file = verdane::parser::parse(src);
      if (!file) std::abort();
      auto tmpl = verdane::typeck::lower(*file, src);
      if (!tmpl) std::abort();
      out.push_back(std::move(tmpl).value());
    }
    return out;
  }();
  return compiled;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  const std::size_t split = input.find('\0');
  const std::string_view intent_text =
      split == std::string_view::npos ? "{}" : input.substr(0, split);
  const std::string_view evidence_text =
      split == std::string_view::npos ? input : input.substr(split + 1);
  // The driver only hands valid UTF-8 to the JSON parser.
  if (verdane::utf8::validate(intent_text) || verdane::utf8::validate(evidence_text)) return 0;
  auto intent_doc = verdane::runtime_input::parse_json(intent_text);
  auto evidence_doc = verdane::runtime_input::parse_json(evidence_text);
  if (!intent_doc || !evidence_doc) return 0;
  for (const auto& tmpl : templates()) {
    auto intent = verdane::runtime_input::load_intent(tmpl.intent_schema, *intent_doc);
    if (!intent) continue;
    auto evidence = verdane::runtime_input::load_evidence(tmpl.evidence_schema, *evidence_doc);
    if (!evidence) continue;
    const auto result = verdane::evaluator::evaluate(tmpl, *intent, *evidence);
    const auto* decision = std::get_if<verdane::evaluator::Decision>(&result);
    if (!decision) continue;
    for (const auto& outcome : decision->outcomes) {
      const auto lines =
          verdane::explain::explain(tmpl.constraints[outcome.index].expr, *intent, *evidence);
      // Only an errored constraint shows an error, and only on its last line.
      for (std::size_t i = 0; i < lines.size(); ++i) {
        const bool error = lines[i].second.rfind("error: ", 0) == 0;
        const bool errored = outcome.kind == verdane::errors::ConstraintOutcome::Kind::Errored;
        if (error && (!errored || i + 1 != lines.size())) std::abort();
      }
    }
  }
  return 0;
}
