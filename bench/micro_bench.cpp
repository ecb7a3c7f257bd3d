// Micro-benchmarks of each stage over in-memory inputs: lexing, parsing,
// lowering, encoding, decoding, hashing, JSON loading and evaluation.
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <span>
#include <string>

#include "common/reference/load.h"
#include "evaluator/evaluate.h"
#include "korvel_crypto/hash.h"
#include "korvel_serializers/bytes.h"
#include "parser/lexer/lexer.h"
#include "parser/parse.h"
#include "runtime_input/parse_load.h"
#include "typeck/lower.h"

namespace {

using namespace verdane;

// A template of `constraints` constraints over every type.
std::string make_template(int constraints) {
  std::string s =
      "name bench\nintent {\n  amount: int\n  currency: string\n  day: date\n"
      "  limit: optional int\n}\nevidence {\n  names: set<string>\n  ids: set<int>\n"
      "  days: set<date>\n  balance: int\n}\nrequires {\n";
  for (int i = 0; i < constraints; ++i) {
    s += "  (intent.amount + " + std::to_string(i) + " * 3 <= evidence.balance - " +
         std::to_string(i % 97) + " and intent.currency in {\"EUR\", \"USD\", \"C" +
         std::to_string(i) + "\"}) or intent.day not in evidence.days;\n";
  }
  s += "  optional: intent.amount < intent.limit\n}\n";
  return s;
}

std::string make_evidence(int elements) {
  std::string s = "{\"names\": [";
  for (int i = 0; i < elements; ++i) {
    if (i) s += ", ";
    s += "\"customer-" + std::to_string(static_cast<long>(i) * 7919 % 1000003) + "-account\"";
  }
  s += "], \"ids\": [";
  for (long i = 0; i < elements; ++i) {
    if (i) s += ", ";
    s += std::to_string((i * 2654435761L) % 100000000000L);
  }
  s += "], \"days\": [\"2026-01-01\", \"2026-12-25\"], \"balance\": 1000000}";
  return s;
}

const std::string kIntent =
    R"({"amount": 120, "currency": "EUR", "day": "2026-03-02", "limit": 500})";

types::PolicyTemplate compile(const std::string& src) {
  auto file = parser::parse(src);
  if (!file) std::abort();
  auto tmpl = typeck::lower(*file, src);
  if (!tmpl) std::abort();
  return std::move(tmpl).value();
}

void BM_Lex(benchmark::State& state) {
  const std::string src = make_template(static_cast<int>(state.range(0)));
  for (auto _ : state) benchmark::DoNotOptimize(parser::lexer::tokenize(src));
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * src.size()));
}
BENCHMARK(BM_Lex)->Arg(10)->Arg(1000);

// The parser pulls its tokens from the lexer as it goes: lexing included.
void BM_Parse(benchmark::State& state) {
  const std::string src = make_template(static_cast<int>(state.range(0)));
  for (auto _ : state) benchmark::DoNotOptimize(parser::parse(src));
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * src.size()));
}
BENCHMARK(BM_Parse)->Arg(10)->Arg(1000);

void BM_Lower(benchmark::State& state) {
  const std::string src = make_template(static_cast<int>(state.range(0)));
  auto file = parser::parse(src);
  for (auto _ : state) benchmark::DoNotOptimize(typeck::lower(*file, src));
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * src.size()));
}
BENCHMARK(BM_Lower)->Arg(10)->Arg(1000);

void BM_Encode(benchmark::State& state) {
  const auto tmpl = compile(make_template(static_cast<int>(state.range(0))));
  const korvel::serializers::BytesSerializer codec;
  for (auto _ : state) benchmark::DoNotOptimize(codec.serialize(tmpl));
}
BENCHMARK(BM_Encode)->Arg(10)->Arg(1000);

void BM_Decode(benchmark::State& state) {
  const auto tmpl = compile(make_template(static_cast<int>(state.range(0))));
  const korvel::serializers::BytesSerializer codec;
  const auto bytes = codec.serialize(tmpl);
  for (auto _ : state) benchmark::DoNotOptimize(codec.deserialize(*bytes));
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * bytes->size()));
}
BENCHMARK(BM_Decode)->Arg(10)->Arg(1000);

void BM_Hash(benchmark::State& state) {
  const auto tmpl = compile(make_template(static_cast<int>(state.range(0))));
  for (auto _ : state) {
    benchmark::DoNotOptimize(korvel::crypto::TryHash256::try_hash_sha256(tmpl));
  }
}
BENCHMARK(BM_Hash)->Arg(10)->Arg(1000);

void BM_JsonParse(benchmark::State& state) {
  const std::string text = make_evidence(static_cast<int>(state.range(0)));
  for (auto _ : state) benchmark::DoNotOptimize(runtime_input::parse_json(text));
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * text.size()));
}
BENCHMARK(BM_JsonParse)->Arg(100)->Arg(100000);

void BM_LoadEvidence(benchmark::State& state) {
  const auto tmpl = compile(make_template(1));
  const std::string text = make_evidence(static_cast<int>(state.range(0)));
  const auto doc = runtime_input::parse_json(text);
  for (auto _ : state) {
    benchmark::DoNotOptimize(runtime_input::load_evidence(tmpl.evidence_schema, *doc));
  }
}
BENCHMARK(BM_LoadEvidence)->Arg(100)->Arg(100000);

// Parsing and loading in one pass, as eval does: compare with BM_JsonParse
// plus BM_LoadEvidence.
void BM_ParseAndLoadEvidence(benchmark::State& state) {
  const auto tmpl = compile(make_template(1));
  const std::string text = make_evidence(static_cast<int>(state.range(0)));
  for (auto _ : state) {
    benchmark::DoNotOptimize(runtime_input::parse_and_load_evidence(
        tmpl.evidence_schema, runtime_input::JsonText::borrowed(text)));
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * text.size()));
}
BENCHMARK(BM_ParseAndLoadEvidence)->Arg(100)->Arg(100000);

void BM_Evaluate(benchmark::State& state) {
  const auto tmpl = compile(make_template(static_cast<int>(state.range(0))));
  const auto intent_doc = runtime_input::parse_json(kIntent);
  const auto evidence_doc = runtime_input::parse_json(make_evidence(1000));
  const auto intent = runtime_input::load_intent(tmpl.intent_schema, *intent_doc);
  const auto evidence = runtime_input::load_evidence(tmpl.evidence_schema, *evidence_doc);
  for (auto _ : state) benchmark::DoNotOptimize(evaluator::evaluate(tmpl, *intent, *evidence));
}
BENCHMARK(BM_Evaluate)->Arg(10)->Arg(1000);

}  // namespace
