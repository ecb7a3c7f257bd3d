// The reference way of deciding a request, kept for the tests: the generic
// JSON tree, its loaders and the evaluator on maps, with the decision or
// error described as one text. The production paths must give the same text.
#pragma once

#include <cstdlib>
#include <sstream>
#include <string>
#include <string_view>
#include <variant>

#include "common/reference/load.h"
#include "evaluator/evaluate.h"
#include "parser/parse.h"
#include "support/utf8.h"
#include "typeck/lower.h"
#include "types/model.h"
#include "verdane/verdane.h"

namespace verdane::test {

// Every type on both sides, optional intent fields, and constraints that
// often hold, so that random requests reach every outcome.
inline constexpr const char* kMixedTemplate = R"(name mixed

intent {
  b: bool
  d: date
  ds: optional set<date>
  i: int
  is: set<int>
  s: optional string
  ss: set<string>
}

evidence {
  b: bool
  d: date
  ds: set<date>
  i: int
  is: set<int>
  s: string
  ss: set<string>
}

requires {
  intent.b == evidence.b or intent.i < 3;
  intent.i * evidence.i <= 1000 and intent.i - evidence.i > -20;
  intent.d <= evidence.d or intent.b;
  optional: not (intent.s in evidence.ss) or intent.b;
  intent.is subset of evidence.is or evidence.b;
  not (intent.ss superset of {"b", "é"}) or evidence.s == "a";
  optional: intent.ds superset of {date(2024-01-01)} or intent.b;
  evidence.ds == {} or intent.d in evidence.ds or not evidence.b or intent.i < 0
}
)";

// The model of `source`, which must compile.
inline types::PolicyTemplate model_of(std::string_view source) {
  auto file = parser::parse(source);
  if (!file) std::abort();
  auto tmpl = typeck::lower(*file, source);
  if (!tmpl) std::abort();
  return std::move(tmpl).value();
}

inline std::string describe(const api::Decision& d) {
  std::ostringstream out;
  out << (d.pass ? "pass" : "fail");
  if (d.input_error) out << " input: " << *d.input_error;
  for (const api::Outcome& o : d.outcomes) {
    out << " | " << o.index << " " << static_cast<int>(o.kind) << " " << o.expression << " ("
        << o.reason << ")";
  }
  return out.str();
}

// A decision or an error, as text: what a reader of either would see.
inline std::string describe(const api::Expected<api::Decision>& result) {
  std::ostringstream out;
  if (!result) {
    const api::Error& e = result.error();
    out << "error kind=" << static_cast<int>(e.kind) << " " << e.line << ":" << e.column << " "
        << e.message;
    return out.str();
  }
  return describe(*result);
}

inline std::string describe_json_error(const runtime_input::JsonError& e, const char* what) {
  std::ostringstream out;
  out << "error kind=" << static_cast<int>(api::Error::Kind::Json) << " " << e.position.line << ":"
      << e.position.column << " ";
  if (what) out << "failed to parse " << what << " JSON: ";
  out << e.description;
  return out.str();
}

// The reference decision of loaded documents.
inline std::string reference_decision(const types::PolicyTemplate& t,
                                      const runtime_input::JsonValue& i,
                                      const runtime_input::JsonValue& e) {
  auto intent = runtime_input::load_intent(t.intent_schema, i);
  if (!intent) return "fail input: intent: " + intent.error().to_string();
  auto evidence = runtime_input::load_evidence(t.evidence_schema, e);
  if (!evidence) return "fail input: evidence: " + evidence.error().to_string();
  const evaluator::Evaluation result = evaluator::evaluate(t, *intent, *evidence);
  if (const auto* invalid = std::get_if<evaluator::InputValidationFailure>(&result)) {
    return "fail input: " + invalid->message;
  }
  api::Decision d;
  const auto& decided = std::get<evaluator::Decision>(result);
  d.pass = decided.kind == evaluator::Decision::Kind::Pass;
  for (const errors::ConstraintOutcome& o : decided.outcomes) {
    d.outcomes.push_back(api::Outcome{o.kind == errors::ConstraintOutcome::Kind::Failed
                                          ? api::Outcome::Kind::Failed
                                          : api::Outcome::Kind::Errored,
                                      o.index,
                                      o.expression,
                                      o.reason,
                                      {}});
  }
  return describe(d);
}

// The reference for a request line: one object with "evidence" and maybe
// "intent", nothing else.
inline std::string reference_request(const types::PolicyTemplate& t, std::string_view text) {
  // A request line is checked for UTF-8 as a whole first, wherever the bad
  // byte is; a lone document leaves that to the parser, which words it in
  // its own way.
  if (const auto bad = utf8::validate(text)) {
    return describe_json_error(
        runtime_input::JsonError::at("invalid UTF-8", text, bad->valid_up_to), nullptr);
  }
  auto document = runtime_input::parse_json(text);
  if (!document) return describe_json_error(document.error(), nullptr);
  const auto* members = document->as_object();
  const auto shape = [](const std::string& message) {
    return "error kind=" + std::to_string(static_cast<int>(api::Error::Kind::Request)) + " 0:0 " +
           message;
  };
  if (!members) return shape("a request must be a JSON object");
  const runtime_input::JsonValue empty = std::move(runtime_input::parse_json("{}")).value();
  const runtime_input::JsonValue* intent = &empty;
  const runtime_input::JsonValue* evidence = nullptr;
  for (const runtime_input::JsonMember& m : *members) {  // in name order, the last of each
    if (m.name == "intent") {
      intent = &m.value;
    } else if (m.name == "evidence") {
      evidence = &m.value;
    } else {
      return shape("unknown member `" + m.name + "` (a request has only `intent` and `evidence`)");
    }
  }
  if (!evidence) return shape("missing member `evidence`");
  return reference_decision(t, *intent, *evidence);
}

}  // namespace verdane::test
