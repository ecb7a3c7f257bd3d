// The public API over the internal modules. Each call converts the modules'
// own error records into api::Error at this boundary, keeping their texts.
#include "verdane/verdane.h"

#include <charconv>

#include "errors/compile_error.h"
#include "errors/span.h"
#include "evaluator/evaluate.h"
#include "explain/explain.h"
#include "korvel_crypto/hash.h"
#include "korvel_serializers/bytes.h"
#include "parser/parse.h"
#include "readable/readable_print.h"
#include "runtime_input/json.h"
#include "runtime_input/load.h"
#include "runtime_input/parse_load.h"
#include "support/line_text.h"
#include "support/utf8.h"
#include "typeck/lower.h"

namespace verdane::api {

struct Template::Data {
  types::PolicyTemplate tmpl;
};

struct JsonDocument::Data {
  runtime_input::JsonDocument doc;
};

struct Input::Data {
  // The values, or the problem with their schema prefixed with its side
  // ("intent: ..."), as Decision::input_error shows it.
  Result<types::ValueMap, std::string> values;
};

namespace detail {

// The one place that builds handles and looks inside them.
struct Access {
  static Template make(types::PolicyTemplate tmpl) {
    return Template(std::make_shared<const Template::Data>(Template::Data{std::move(tmpl)}));
  }
  static const types::PolicyTemplate& get(const Template& t) { return t.data_->tmpl; }

  static JsonDocument make(runtime_input::JsonDocument doc) {
    return JsonDocument(
        std::make_shared<const JsonDocument::Data>(JsonDocument::Data{std::move(doc)}));
  }
  static const runtime_input::JsonDocument& get(const JsonDocument& d) { return d.data_->doc; }

  static Input make(Result<types::ValueMap, std::string> values) {
    return Input(std::make_shared<const Input::Data>(Input::Data{std::move(values)}));
  }
  static const Result<types::ValueMap, std::string>& get(const Input& i) { return i.data_->values; }
};

}  // namespace detail

namespace {

using detail::Access;
using korvel::crypto::HashDigest;
using korvel::crypto::TryHash256;
using korvel::serializers::BytesSerializer;
using runtime_input::JsonText;

Error from_compile_error(const errors::CompileError& e) {
  const Error::Kind kind = e.kind() == errors::CompileError::Kind::Bytecode ? Error::Kind::Bytecode
                                                                            : Error::Kind::Compile;
  return Error{kind, e.line(), e.col(), e.message()};
}

Error from_serializer_error(korvel::serializers::SerializerError e) {
  return from_compile_error(errors::CompileError::bytecode(std::move(e)));
}

// Parses a whole decimal number; false for anything else.
bool parse_count(std::string_view text, std::size_t& out) {
  if (text.empty()) return false;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), out);
  return ec == std::errc() && end == text.data() + text.size();
}

// Splits the JSON parser's "<description> at line <n> column <m>" into its
// parts; a text of another shape is kept whole, without a position.
Error json_error(std::string text) {
  constexpr std::string_view kAtLine = " at line ";
  constexpr std::string_view kColumn = " column ";
  Error error{Error::Kind::Json, 0, 0, {}};
  const std::size_t at = text.rfind(kAtLine);
  if (at != std::string::npos) {
    const std::string_view rest = std::string_view(text).substr(at + kAtLine.size());
    const std::size_t col = rest.find(kColumn);
    if (col != std::string_view::npos && parse_count(rest.substr(0, col), error.line) &&
        parse_count(rest.substr(col + kColumn.size()), error.column)) {
      text.resize(at);
      error.message = std::move(text);
      return error;
    }
  }
  error.line = 0;
  error.column = 0;
  error.message = std::move(text);
  return error;
}

Outcome to_outcome(errors::ConstraintOutcome&& o) {
  const Outcome::Kind kind = o.kind == errors::ConstraintOutcome::Kind::Failed
                                 ? Outcome::Kind::Failed
                                 : Outcome::Kind::Errored;
  return Outcome{kind, o.index, std::move(o.expression), std::move(o.reason), {}};
}

Decision invalid_input(std::string message) {
  Decision d;
  d.input_error = std::move(message);
  return d;
}

}  // namespace

std::string Error::to_string() const {
  switch (kind) {
    case Kind::Compile:
    case Kind::Bytecode:
      return "error at " + std::to_string(line) + ":" + std::to_string(column) + ": " + message;
    case Kind::Json:
      if (line == 0) return message;
      return message + " at line " + std::to_string(line) + " column " + std::to_string(column);
    case Kind::Id:
      break;
  }
  return message;
}

const std::string& Template::name() const { return data_->tmpl.name; }

std::string TemplateId::to_string() const { return HashDigest{digest}.to_string(); }

std::string Decision::report() const {
  // Texts that come from the inputs (member names, date texts, field names
  // of crafted bytecode) show their control characters escaped; string
  // literals of the template keep the printer's own escapes, which already
  // keep the line one line.
  std::string out;
  if (pass) {
    out += "decision=pass\n";
    return out;
  }
  out += "decision=fail\n";
  if (input_error) {
    out += "input validation error: ";
    out += escape_controls(*input_error);
    out += '\n';
    return out;
  }
  for (const Outcome& o : outcomes) {
    out += "constraint[";
    out += std::to_string(o.index);
    out += o.kind == Outcome::Kind::Failed ? "] failed: " : "] error: ";
    out += o.expression;
    out += " (";
    out += escape_controls(o.reason);
    out += ")\n";
    for (const auto& [expression, value] : o.explanation) {
      out += "    ";
      out += expression;
      out += " = ";
      out += value;
      out += '\n';
    }
  }
  return out;
}

Expected<Template> compile(std::string_view source) {
  // The lexer copes with any bytes, but a string literal holding invalid
  // UTF-8 would compile into bytecode that decode rejects.
  if (const auto bad = utf8::validate(source)) {
    const errors::LineCol pos = errors::Span{bad->valid_up_to, bad->valid_up_to}.line_col(
        source.substr(0, bad->valid_up_to));
    return Error{Error::Kind::Compile, pos.line, pos.col, "the source is not valid UTF-8"};
  }
  auto file = parser::parse(source);
  if (!file) return from_compile_error(file.error());
  auto tmpl = typeck::lower(*file, source);
  if (!tmpl) return from_compile_error(tmpl.error());
  return Access::make(std::move(tmpl).value());
}

Expected<std::vector<std::uint8_t>> encode(const Template& tmpl) {
  auto bytes = BytesSerializer{}.serialize(Access::get(tmpl));
  if (!bytes) return from_serializer_error(std::move(bytes).error());
  return std::move(bytes).value();
}

Expected<Template> decode(std::span<const std::uint8_t> bytecode) {
  auto tmpl = BytesSerializer{}.deserialize(bytecode);
  if (!tmpl) return from_serializer_error(std::move(tmpl).error());
  return Access::make(std::move(tmpl).value());
}

Expected<TemplateId> id(const Template& tmpl) {
  auto digest = TryHash256::try_hash_sha256(Access::get(tmpl));
  if (!digest) return from_serializer_error(std::move(digest).error());
  return TemplateId{digest->bytes};
}

Expected<TemplateId> parse_id(std::string_view text) {
  auto digest = HashDigest::parse(text);
  if (!digest) return Error{Error::Kind::Id, 0, 0, digest.error().to_string()};
  return TemplateId{digest->bytes};
}

std::string render(const Template& tmpl) { return readable::readable_print(Access::get(tmpl)); }

Expected<JsonDocument> parse_json(std::string_view text) {
  auto doc = runtime_input::parse_json(text);
  if (!doc) return json_error(std::move(doc).error());
  return Access::make(std::move(doc).value());
}

namespace {

// The values of a loaded input, or its problem as input_error shows it.
Result<types::ValueMap, std::string> with_side(runtime_input::LoadResult loaded, const char* side) {
  if (!loaded) return make_err(side + loaded.error().to_string());
  return std::move(loaded).value();
}

template <typename Schema>
Expected<Input> parse_input(const Schema& schema, std::string json, const char* side,
                            Result<runtime_input::LoadResult, std::string> (*parse)(
                                const Schema&, runtime_input::JsonText)) {
  auto loaded = parse(schema, runtime_input::JsonText::owned(std::move(json)));
  if (!loaded) return json_error(std::move(loaded).error());
  return Access::make(with_side(std::move(loaded).value(), side));
}

Decision decide(const types::PolicyTemplate& t, const types::ValueMap& intent,
                const types::ValueMap& evidence, const EvalOptions& options) {
  evaluator::Evaluation result = evaluator::evaluate(t, intent, evidence);
  if (auto* invalid = std::get_if<evaluator::InputValidationFailure>(&result)) {
    return invalid_input(std::move(invalid->message));
  }
  auto& decided = std::get<evaluator::Decision>(result);
  Decision decision;
  decision.pass = decided.kind == evaluator::Decision::Kind::Pass;
  decision.outcomes.reserve(decided.outcomes.size());
  for (errors::ConstraintOutcome& o : decided.outcomes) {
    if (o.kind == errors::ConstraintOutcome::Kind::Passed) continue;
    const std::size_t index = o.index;
    decision.outcomes.push_back(to_outcome(std::move(o)));
    // Explaining evaluates the few constraints that did not pass once more,
    // so the plain evaluation stays as cheap as without the option.
    if (options.explain) {
      decision.outcomes.back().explanation =
          explain::explain(t.constraints[index].expr, intent, evidence);
    }
  }
  return decision;
}

Decision decide(const types::PolicyTemplate& t, const Result<types::ValueMap, std::string>& intent,
                const Result<types::ValueMap, std::string>& evidence, const EvalOptions& options) {
  if (!intent) return invalid_input(intent.error());
  if (!evidence) return invalid_input(evidence.error());
  return decide(t, *intent, *evidence, options);
}

}  // namespace

Decision evaluate(const Template& tmpl, const JsonDocument& intent, const JsonDocument& evidence) {
  return evaluate(tmpl, intent, evidence, EvalOptions{});
}

Decision evaluate(const Template& tmpl, const JsonDocument& intent, const JsonDocument& evidence,
                  const EvalOptions& options) {
  const types::PolicyTemplate& t = Access::get(tmpl);
  auto intent_values = runtime_input::load_intent(t.intent_schema, Access::get(intent));
  if (!intent_values) return invalid_input("intent: " + intent_values.error().to_string());
  auto evidence_values = runtime_input::load_evidence(t.evidence_schema, Access::get(evidence));
  if (!evidence_values) return invalid_input("evidence: " + evidence_values.error().to_string());
  return decide(t, *intent_values, *evidence_values, options);
}

Expected<Input> parse_intent(const Template& tmpl, std::string json) {
  return parse_input(Access::get(tmpl).intent_schema, std::move(json),
                     "intent: ", runtime_input::parse_and_load_intent);
}

Expected<Input> parse_evidence(const Template& tmpl, std::string json) {
  return parse_input(Access::get(tmpl).evidence_schema, std::move(json),
                     "evidence: ", runtime_input::parse_and_load_evidence);
}

Decision evaluate(const Template& tmpl, const Input& intent, const Input& evidence) {
  return evaluate(tmpl, intent, evidence, EvalOptions{});
}

Decision evaluate(const Template& tmpl, const Input& intent, const Input& evidence,
                  const EvalOptions& options) {
  return decide(Access::get(tmpl), Access::get(intent), Access::get(evidence), options);
}

Expected<Decision> evaluate_json(const Template& tmpl, std::string_view intent_json,
                                 std::string_view evidence_json) {
  return evaluate_json(tmpl, intent_json, evidence_json, EvalOptions{});
}

Expected<Decision> evaluate_json(const Template& tmpl, std::string_view intent_json,
                                 std::string_view evidence_json, const EvalOptions& options) {
  const types::PolicyTemplate& t = Access::get(tmpl);
  auto intent =
      runtime_input::parse_and_load_intent(t.intent_schema, JsonText::borrowed(intent_json));
  if (!intent) {
    Error e = json_error(std::move(intent).error());
    e.message = "failed to parse intent JSON: " + e.message;
    return e;
  }
  auto evidence =
      runtime_input::parse_and_load_evidence(t.evidence_schema, JsonText::borrowed(evidence_json));
  if (!evidence) {
    Error e = json_error(std::move(evidence).error());
    e.message = "failed to parse evidence JSON: " + e.message;
    return e;
  }
  return decide(t, with_side(std::move(intent).value(), "intent: "),
                with_side(std::move(evidence).value(), "evidence: "), options);
}

}  // namespace verdane::api
