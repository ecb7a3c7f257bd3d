#include "driver/run.h"

#include <span>

#include "canonical/pretty.h"
#include "errors/compile_error.h"
#include "evaluator/evaluate.h"
#include "korvel_crypto/hash.h"
#include "korvel_serializers/bytes.h"
#include "parser/parse.h"
#include "readable/readable_print.h"
#include "runtime_input/json.h"
#include "runtime_input/load.h"
#include "support/line_text.h"
#include "typeck/lower.h"

namespace verdane::driver {

namespace {

using korvel::crypto::HashDigest;
using korvel::crypto::TryHash256;
using korvel::serializers::BytesSerializer;
using korvel::serializers::SerializerError;

std::string bytecode_error(SerializerError error) {
  return errors::CompileError::bytecode(std::move(error)).to_string();
}

std::span<const std::uint8_t> as_bytes(const std::string& data) {
  return {reinterpret_cast<const std::uint8_t*>(data.data()), data.size()};
}

Result<types::PolicyTemplate, std::string> load_bytecode(const std::string& path) {
  auto data = read_file_bytes(path);
  if (!data) {
    return make_err("failed to read bytecode `" + display_path(path) + "`: " + data.error());
  }
  auto tmpl = BytesSerializer{}.deserialize(as_bytes(*data));
  if (!tmpl) return make_err(bytecode_error(std::move(tmpl).error()));
  return std::move(tmpl).value();
}

Result<int, std::string> flushed(Stdout& out, int status) {
  auto done = out.flush();
  if (!done) return make_err("failed to write stdout: " + done.error());
  return status;
}

// Reads and parses one JSON input; `what` is "intent" or "evidence".
Result<runtime_input::JsonDocument, std::string> load_json(const std::string& path,
                                                           const char* what) {
  auto text = read_file_text(path);
  if (!text) {
    return make_err("failed to read " + std::string(what) + " `" + display_path(path) +
                    "`: " + text.error());
  }
  auto doc = runtime_input::parse_json(*text);
  if (!doc) return make_err("failed to parse " + std::string(what) + " JSON: " + doc.error());
  return std::move(doc).value();
}

// Writes one line of the evaluation report. Report lines embed texts taken
// from the inputs (JSON member names, date texts, field names and string
// literals from bytecode); their control characters are made visible so that
// each line stays one line and cannot steer a terminal. The fixed parts of
// the lines hold no control characters, so the whole line is escaped.
void write_report_line(Stdout& out, std::string_view line) {
  out.write(escape_controls(line) + "\n");
}

}  // namespace

Result<int, std::string> run_compile(const CompileCommand& args, Stdout& out) {
  auto source = read_file_text(args.template_path);
  if (!source) {
    return make_err("failed to read template `" + display_path(args.template_path) +
                    "`: " + source.error());
  }
  auto file = parser::parse(*source);
  if (!file) return make_err(file.error().to_string());
  auto tmpl = typeck::lower(*file, *source);
  if (!tmpl) return make_err(tmpl.error().to_string());

  auto bytes = BytesSerializer{}.serialize(*tmpl);
  if (!bytes) return make_err(bytecode_error(std::move(bytes).error()));
  auto digest = TryHash256::try_hash_sha256(*tmpl);
  if (!digest) return make_err(bytecode_error(std::move(digest).error()));

  const std::string path = args.out.value_or("out.bin");
  const std::string_view contents(reinterpret_cast<const char*>(bytes->data()), bytes->size());
  auto written = write_file(path, contents);
  if (!written) {
    return make_err("failed to write `" + display_path(path) + "`: " + written.error());
  }
  out.write("policy_template_id=" + digest->to_string() + "\n");
  return flushed(out, 0);
}

Result<int, std::string> run_print(const PrintCommand& args, Stdout& out) {
  auto tmpl = load_bytecode(args.bytecode);
  if (!tmpl) return make_err(std::move(tmpl).error());
  out.write(readable::readable_print(*tmpl));
  return flushed(out, 0);
}

Result<int, std::string> run_eval(const EvalCommand& args, Stdout& out) {
  auto tmpl = load_bytecode(args.bytecode);
  if (!tmpl) return make_err(std::move(tmpl).error());

  auto computed = TryHash256::try_hash_sha256(*tmpl);
  if (!computed) return make_err(bytecode_error(std::move(computed).error()));
  if (args.check_hash) {
    auto expected = HashDigest::parse(*args.check_hash);
    if (!expected) return make_err("invalid --check-hash: " + expected.error().to_string());
    if (!(*expected == *computed)) {
      return make_err("bytecode hash mismatch: expected " + expected->to_string() + ", got " +
                      computed->to_string());
    }
  }

  Result<runtime_input::JsonDocument, std::string> intent_doc =
      args.intent ? load_json(*args.intent, "intent") : runtime_input::parse_json("{}");
  if (!intent_doc) return make_err(std::move(intent_doc).error());
  auto evidence_doc = load_json(args.evidence, "evidence");
  if (!evidence_doc) return make_err(std::move(evidence_doc).error());

  // From here on every outcome is a decision on standard output.
  auto intent = runtime_input::load_intent(tmpl->intent_schema, *intent_doc);
  if (!intent) {
    write_report_line(out, "decision=fail");
    write_report_line(out, "input validation error: intent: " + intent.error().to_string());
    return flushed(out, 1);
  }
  auto evidence = runtime_input::load_evidence(tmpl->evidence_schema, *evidence_doc);
  if (!evidence) {
    write_report_line(out, "decision=fail");
    write_report_line(out, "input validation error: evidence: " + evidence.error().to_string());
    return flushed(out, 1);
  }

  const evaluator::Evaluation result = evaluator::evaluate(*tmpl, *intent, *evidence);
  if (const auto* invalid = std::get_if<evaluator::InputValidationFailure>(&result)) {
    write_report_line(out, "decision=fail");
    write_report_line(out, "input validation error: " + invalid->message);
    return flushed(out, 1);
  }
  const auto& decision = std::get<evaluator::Decision>(result);
  if (decision.kind == evaluator::Decision::Kind::Pass) {
    write_report_line(out, "decision=pass");
    return flushed(out, 0);
  }
  write_report_line(out, "decision=fail");
  for (const errors::ConstraintOutcome& outcome : decision.outcomes) {
    using Kind = errors::ConstraintOutcome::Kind;
    if (outcome.kind == Kind::Passed) continue;
    const char* verb = outcome.kind == Kind::Failed ? "] failed: " : "] error: ";
    write_report_line(out, "constraint[" + std::to_string(outcome.index) + verb +
                               outcome.expression + " (" + outcome.reason + ")");
  }
  return flushed(out, 1);
}

}  // namespace verdane::driver
