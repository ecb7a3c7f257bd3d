// Benchmark (a): one decision through the public API on the payment policy
// (five constraints, a ~90-byte intent and a ~100-byte evidence), against the
// floor of parsing the same two texts into RapidJSON documents in the same
// process. scripts/bench.sh takes the ratios of the medians.
#include <benchmark/benchmark.h>
#include <rapidjson/document.h>

#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "verdane/verdane.h"

namespace {

namespace api = verdane::api;

const char* kPolicy = R"(name payment
intent {
  amount: int
  currency: string
  payee: string
  execute_on: date
  daily_limit: optional int
}
evidence {
  balance: int
  fee: int
  blocked_payees: set<string>
  cutoff: date
}
requires {
  0 < intent.amount <= evidence.balance - evidence.fee;
  intent.currency in {"CHF", "EUR", "USD"};
  intent.payee not in evidence.blocked_payees;
  date(2024-01-01) <= intent.execute_on <= evidence.cutoff;
  optional: intent.amount + evidence.fee <= intent.daily_limit
}
)";

const std::string kIntent =
    R"({"amount":250,"currency":"EUR","payee":"ACME Corp","execute_on":"2024-06-14","daily_limit":1000})";
const std::string kFailIntent =
    R"({"amount":1100,"currency":"EUR","payee":"Shady Ltd","execute_on":"2024-06-14","daily_limit":1000})";
const std::string kEvidence =
    R"({"balance":1200,"fee":5,"blocked_payees":["Shady Ltd","Unknown Holdings"],"cutoff":"2024-12-31"})";

api::Template payment() {
  auto tmpl = api::compile(kPolicy);
  if (!tmpl) std::abort();
  return *tmpl;
}

std::string request(const std::string& intent) {
  return R"({"intent":)" + intent + R"(,"evidence":)" + kEvidence + "}";
}

// The floor: both texts parsed into fresh RapidJSON documents.
void BM_Floor_RapidJsonTwoDocuments(benchmark::State& state) {
  for (auto _ : state) {
    rapidjson::Document intent;
    intent.Parse(kIntent.data(), kIntent.size());
    rapidjson::Document evidence;
    evidence.Parse(kEvidence.data(), kEvidence.size());
    benchmark::DoNotOptimize(intent.HasParseError() || evidence.HasParseError());
  }
}
BENCHMARK(BM_Floor_RapidJsonTwoDocuments);

// The same floor for one batch line: the request object parsed whole.
void BM_Floor_RapidJsonRequestLine(benchmark::State& state) {
  const std::string line = request(kIntent);
  for (auto _ : state) {
    rapidjson::Document doc;
    doc.Parse(line.data(), line.size());
    benchmark::DoNotOptimize(doc.HasParseError());
  }
}
BENCHMARK(BM_Floor_RapidJsonRequestLine);

void BM_EvaluateParsed(benchmark::State& state) {
  const api::Template tmpl = payment();
  const auto intent = api::parse_intent(tmpl, state.range(0) ? kFailIntent : kIntent);
  const auto evidence = api::parse_evidence(tmpl, kEvidence);
  for (auto _ : state) benchmark::DoNotOptimize(api::evaluate(tmpl, *intent, *evidence));
}
BENCHMARK(BM_EvaluateParsed)->Arg(0)->Arg(1)->ArgName("fail");

void BM_EvaluateJson(benchmark::State& state) {
  const api::Template tmpl = payment();
  const std::string& intent = state.range(0) ? kFailIntent : kIntent;
  for (auto _ : state) benchmark::DoNotOptimize(api::evaluate_json(tmpl, intent, kEvidence));
}
BENCHMARK(BM_EvaluateJson)->Arg(0)->Arg(1)->ArgName("fail");

// The failing request explained (`eval --explain`): its two failed
// constraints are evaluated once more, watched; against BM_EvaluateParsed.
void BM_EvaluateParsedExplained(benchmark::State& state) {
  const api::Template tmpl = payment();
  const auto intent = api::parse_intent(tmpl, kFailIntent);
  const auto evidence = api::parse_evidence(tmpl, kEvidence);
  const api::EvalOptions explain{true};
  for (auto _ : state) benchmark::DoNotOptimize(api::evaluate(tmpl, *intent, *evidence, explain));
}
BENCHMARK(BM_EvaluateParsedExplained);

}  // namespace
