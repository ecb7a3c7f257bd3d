// The public API over the internal modules. Each call converts the modules'
// own error records into api::Error at this boundary, keeping their texts.
#include "verdane/verdane.h"

#include <array>

#include "api/batch_lines.h"
#include "api/valid_utf8_input.h"
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
#include "support/json_text.h"
#include "support/line_text.h"
#include "support/utf8.h"
#include "typeck/lower.h"

namespace verdane::api {

namespace detail {

// The one place that builds handles and looks inside them.
struct Access {
  using TemplateData = Template::Data;
  using InputData = Input::Data;

  static Template make(types::PolicyTemplate tmpl);
  static const types::PolicyTemplate& get(const Template& t);
  static const std::shared_ptr<const TemplateData>& data(const Template& t) { return t.data_; }

  static JsonDocument make(std::string text);
  static std::string_view get(const JsonDocument& d);

  static Input make(InputData data);
  static const InputData& get(const Input& i) { return *i.data_; }
};

}  // namespace detail

using TemplateData = detail::Access::TemplateData;
using InputData = detail::Access::InputData;

// The template and what evaluating it needs, computed once when it is made:
// the plan that gives every field reference its slot, and both schemas'
// fields for the one-pass loader.
struct Template::Data {
  explicit Data(types::PolicyTemplate t)
      : tmpl(std::move(t)),
        plan(tmpl),
        intent_fields(runtime_input::declared_fields(tmpl.intent_schema)),
        evidence_fields(runtime_input::declared_fields(tmpl.evidence_schema)) {}
  Data(const Data&) = delete;
  Data& operator=(const Data&) = delete;

  const types::PolicyTemplate tmpl;
  const evaluator::Plan plan;  // refers to the nodes of tmpl
  const std::vector<runtime_input::DeclaredField> intent_fields;
  const std::vector<runtime_input::DeclaredField> evidence_fields;
};

// The text of a document, known to be JSON: each evaluation loads it with
// the template's own fields, as every other input is loaded.
struct JsonDocument::Data {
  std::string text;
};

struct Input::Data {
  // The template whose schema the values were loaded against, and that
  // schema's fields.
  std::shared_ptr<const TemplateData> made_for;
  const std::vector<runtime_input::DeclaredField>* fields;
  // The loaded document, which owns its text and the values by field of
  // the schema they were loaded against, or the problem with that schema
  // prefixed with its side ("intent: ..."), as Decision::input_error shows it.
  Result<runtime_input::LoadedDocument, std::string> values;
  evaluator::Slots slots() const { return values->values().value(); }
};

namespace detail {

Template Access::make(types::PolicyTemplate tmpl) {
  return Template(std::make_shared<const Template::Data>(std::move(tmpl)));
}
const types::PolicyTemplate& Access::get(const Template& t) { return t.data_->tmpl; }

JsonDocument Access::make(std::string text) {
  return JsonDocument(
      std::make_shared<const JsonDocument::Data>(JsonDocument::Data{std::move(text)}));
}
std::string_view Access::get(const JsonDocument& d) { return d.data_->text; }

Input Access::make(Input::Data data) {
  return Input(std::make_shared<const Input::Data>(std::move(data)));
}

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

Error json_error(runtime_input::JsonError e) {
  return Error{Error::Kind::Json, e.position.line, e.position.column, std::move(e.description)};
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
    case Kind::Request:
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

std::string Decision::to_json() const {
  std::string out;
  append_json(out);
  return out;
}

void Decision::append_json(std::string& out) const {
  out += "{\"decision\":";
  if (pass) {
    out += "\"pass\"}";
    return;
  }
  out += "\"fail\"";
  if (input_error) {
    out += ",\"input_error\":";
    append_json_string(out, *input_error);
    out += '}';
    return;
  }
  out += ",\"outcomes\":[";
  for (std::size_t i = 0; i < outcomes.size(); ++i) {
    const Outcome& o = outcomes[i];
    if (i > 0) out += ',';
    append_outcome_head(out, o.kind, o.index, o.expression);
    append_json_string(out, o.reason);
    if (!o.explanation.empty()) {
      out += ",\"explanation\":[";
      for (std::size_t k = 0; k < o.explanation.size(); ++k) {
        if (k > 0) out += ',';
        out += '[';
        append_json_string(out, o.explanation[k].first);
        out += ',';
        append_json_string(out, o.explanation[k].second);
        out += ']';
      }
      out += ']';
    }
    out += '}';
  }
  out += "]}";
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

std::optional<Error> check_encodable(const Template& tmpl) {
  auto checked = BytesSerializer{}.check_encodable(Access::get(tmpl));
  if (!checked) return from_serializer_error(std::move(checked).error());
  return std::nullopt;
}

Expected<TemplateId> parse_id(std::string_view text) {
  auto digest = HashDigest::parse(text);
  if (!digest) return Error{Error::Kind::Id, 0, 0, digest.error().to_string()};
  return TemplateId{digest->bytes};
}

std::string render(const Template& tmpl) { return readable::readable_print(Access::get(tmpl)); }

Expected<JsonDocument> parse_json(std::string_view text) {
  if (auto problem = runtime_input::check_json(text)) return json_error(std::move(*problem));
  return Access::make(std::string(text));
}

std::optional<Error> check_json(std::string_view text) {
  auto problem = runtime_input::check_json(text);
  if (!problem) return std::nullopt;
  return json_error(std::move(*problem));
}

namespace {

using runtime_input::DeclaredField;
using runtime_input::SlotsResult;

Decision from_evaluation(evaluator::Evaluation result) {
  if (auto* invalid = std::get_if<evaluator::InputValidationFailure>(&result)) {
    return invalid_input(std::move(invalid->message));
  }
  auto& decided = std::get<evaluator::Decision>(result);
  Decision decision;
  decision.pass = decided.kind == evaluator::Decision::Kind::Pass;
  decision.outcomes.reserve(decided.outcomes.size());
  for (errors::ConstraintOutcome& o : decided.outcomes) {
    if (o.kind != errors::ConstraintOutcome::Kind::Passed)
      decision.outcomes.push_back(to_outcome(std::move(o)));
  }
  return decision;
}

// Fills in the explanation of every outcome: explaining evaluates the few
// constraints that did not pass once more, watched, so the plain evaluation
// stays as cheap as without the option.
void explain_outcomes(Decision& decision, const types::PolicyTemplate& t,
                      const types::ValueMap& intent, const types::ValueMap& evidence) {
  for (Outcome& o : decision.outcomes) {
    o.explanation = explain::explain(t.constraints[o.index].expr, intent, evidence);
  }
}

Decision decide(const types::PolicyTemplate& t, const types::ValueMap& intent,
                const types::ValueMap& evidence, const EvalOptions& options) {
  Decision decision = from_evaluation(evaluator::evaluate(t, intent, evidence));
  if (options.explain) explain_outcomes(decision, t, intent, evidence);
  return decision;
}

// The values of one side by name, copied from its slots.
types::ValueMap by_name(const std::vector<DeclaredField>& fields, evaluator::Slots slots) {
  types::ValueMap values;
  for (std::size_t i = 0; i < slots.size(); ++i) {
    if (slots[i]) values.emplace(std::string(fields[i].name), types::Value{to_scalar(slots[i])});
  }
  return values;
}

Decision decide(const TemplateData& data, evaluator::Slots intent, evaluator::Slots evidence,
                const EvalOptions& options, evaluator::CanonicalTexts* texts = nullptr) {
  Decision decision =
      from_evaluation(evaluator::evaluate(data.tmpl, data.plan, intent, evidence, texts));
  if (options.explain && !decision.outcomes.empty()) {
    explain_outcomes(decision, data.tmpl, by_name(data.intent_fields, intent),
                     by_name(data.evidence_fields, evidence));
  }
  return decision;
}

// Both sides loaded against the template's own schemas: their problems
// first (the intent's before the evidence's), then the decision.
Decision decide(const TemplateData& data, const SlotsResult& intent, const SlotsResult& evidence,
                const EvalOptions& options, evaluator::CanonicalTexts* texts = nullptr) {
  if (!intent) return invalid_input("intent: " + intent.error().to_string());
  if (!evidence) return invalid_input("evidence: " + evidence.error().to_string());
  return decide(data, *intent, *evidence, options, texts);
}

// Why a text is not a request, as the API tells it.
Error request_error(runtime_input::RequestProblem& problem) {
  if (problem.kind == runtime_input::RequestProblem::Kind::Json) {
    return json_error(std::move(problem.json));
  }
  return Error{Error::Kind::Request, 0, 0, std::move(problem.message)};
}

// The request's values, which live in `storage` until the next call reuses
// it, or why the text is not a request.
Result<runtime_input::RequestSlots, runtime_input::RequestProblem> load_request(
    const TemplateData& data, std::string_view request_json,
    runtime_input::LoadedStorage& storage) {
  return runtime_input::parse_and_load_request_into(data.tmpl.intent_schema, data.intent_fields,
                                                    data.tmpl.evidence_schema, data.evidence_fields,
                                                    request_json, storage);
}

Expected<Decision> decide_request(const TemplateData& data, std::string_view request_json,
                                  const EvalOptions& options, evaluator::CanonicalTexts* texts,
                                  runtime_input::LoadedStorage& storage) {
  auto request = load_request(data, request_json, storage);
  if (!request) return request_error(request.error());
  return decide(data, request->intent, request->evidence, options, texts);
}

template <typename Schema>
Expected<Input> parse_input(const Template& tmpl, const Schema& schema,
                            const std::vector<DeclaredField>& fields, runtime_input::JsonText json,
                            const char* side,
                            Result<runtime_input::LoadedDocument, runtime_input::JsonError> (
                                *parse)(const Schema&, std::span<const DeclaredField>,
                                        runtime_input::JsonText)) {
  // The text is handed over: a large one is parsed where it lies and kept
  // by the document, whose values point into it.
  auto loaded = parse(schema, fields, std::move(json));
  if (!loaded) return json_error(std::move(loaded).error());
  InputData data{Access::data(tmpl), &fields, make_err(std::string())};
  if (loaded->values()) {
    data.values = std::move(loaded).value();
  } else {
    data.values = make_err(side + loaded->values().error().to_string());
  }
  return Access::make(std::move(data));
}

// The values of an input by name, for a template other than the one it was
// loaded for.
types::ValueMap by_name(const InputData& input) { return by_name(*input.fields, input.slots()); }

Error json_problem(runtime_input::JsonError error, const char* what) {
  Error e = json_error(std::move(error));
  e.message = std::string("failed to parse ") + what + " JSON: " + e.message;
  return e;
}

}  // namespace

Decision evaluate(const Template& tmpl, const JsonDocument& intent, const JsonDocument& evidence) {
  return evaluate(tmpl, intent, evidence, EvalOptions{});
}

Decision evaluate(const Template& tmpl, const JsonDocument& intent, const JsonDocument& evidence,
                  const EvalOptions& options) {
  // Both texts were checked by parse_json, so loading gives no JSON error.
  auto decided = evaluate_json(tmpl, Access::get(intent), Access::get(evidence), options);
  return decided ? *std::move(decided) : invalid_input(std::move(decided).error().message);
}

namespace {

Expected<Input> parse_intent_text(const Template& tmpl, runtime_input::JsonText json) {
  const TemplateData& data = *Access::data(tmpl);
  return parse_input(tmpl, data.tmpl.intent_schema, data.intent_fields, std::move(json),
                     "intent: ", runtime_input::parse_and_load_intent_fields);
}

Expected<Input> parse_evidence_text(const Template& tmpl, runtime_input::JsonText json) {
  const TemplateData& data = *Access::data(tmpl);
  return parse_input(tmpl, data.tmpl.evidence_schema, data.evidence_fields, std::move(json),
                     "evidence: ", runtime_input::parse_and_load_evidence_fields);
}

}  // namespace

Expected<Input> parse_intent(const Template& tmpl, std::string json) {
  return parse_intent_text(tmpl, runtime_input::JsonText::owned(std::move(json)));
}

Expected<Input> parse_evidence(const Template& tmpl, std::string json) {
  return parse_evidence_text(tmpl, runtime_input::JsonText::owned(std::move(json)));
}

Expected<Input> parse_valid_utf8_intent(const Template& tmpl, std::string json) {
  return parse_intent_text(tmpl, runtime_input::JsonText::owned_valid_utf8(std::move(json)));
}

Expected<Input> parse_valid_utf8_evidence(const Template& tmpl, std::string json) {
  return parse_evidence_text(tmpl, runtime_input::JsonText::owned_valid_utf8(std::move(json)));
}

Decision evaluate(const Template& tmpl, const Input& intent, const Input& evidence) {
  return evaluate(tmpl, intent, evidence, EvalOptions{});
}

Decision evaluate(const Template& tmpl, const Input& intent, const Input& evidence,
                  const EvalOptions& options) {
  const InputData& i = Access::get(intent);
  const InputData& e = Access::get(evidence);
  if (!i.values) return invalid_input(i.values.error());
  if (!e.values) return invalid_input(e.values.error());
  const auto& data = Access::data(tmpl);
  if (i.made_for == data && e.made_for == data) {
    return decide(*data, i.slots(), e.slots(), options);
  }
  // Loaded for another template: checked again, as values, by name.
  return decide(data->tmpl, by_name(i), by_name(e), options);
}

Expected<Decision> evaluate_json(const Template& tmpl, std::string_view intent_json,
                                 std::string_view evidence_json) {
  return evaluate_json(tmpl, intent_json, evidence_json, EvalOptions{});
}

Expected<Decision> evaluate_json(const Template& tmpl, std::string_view intent_json,
                                 std::string_view evidence_json, const EvalOptions& options) {
  const TemplateData& data = *Access::data(tmpl);
  // Both documents' values live in one storage for the call: one arena,
  // most often a single chunk.
  runtime_input::LoadedStorage storage;
  auto intent = runtime_input::parse_and_load_intent_into(data.intent_fields, intent_json, storage);
  if (!intent) return json_problem(std::move(intent).error(), "intent");
  auto evidence =
      runtime_input::parse_and_load_evidence_into(data.evidence_fields, evidence_json, storage);
  if (!evidence) return json_problem(std::move(evidence).error(), "evidence");
  return decide(data, *intent, *evidence, options);
}

Expected<Decision> evaluate_request(const Template& tmpl, std::string_view request_json) {
  return evaluate_request(tmpl, request_json, EvalOptions{});
}

Expected<Decision> evaluate_request(const Template& tmpl, std::string_view request_json,
                                    const EvalOptions& options) {
  runtime_input::LoadedStorage storage;
  return decide_request(*Access::data(tmpl), request_json, options, nullptr, storage);
}

std::vector<Expected<Decision>> evaluate_batch(const Template& tmpl,
                                               std::span<const std::string_view> requests) {
  return evaluate_batch(tmpl, requests, EvalOptions{});
}

std::vector<Expected<Decision>> evaluate_batch(const Template& tmpl,
                                               std::span<const std::string_view> requests,
                                               const EvalOptions& options) {
  const TemplateData& data = *Access::data(tmpl);
  // Failing requests of a batch mostly fail the same few constraints: their
  // texts are built once per call.
  evaluator::CanonicalTexts texts(data.tmpl);
  // One request's values at a time: their memory is reused for the next.
  runtime_input::LoadedStorage storage;
  std::vector<Expected<Decision>> decisions;
  decisions.reserve(requests.size());
  for (const std::string_view request : requests) {
    decisions.push_back(decide_request(data, request, options, &texts, storage));
  }
  return decisions;
}

namespace {

// Writes the outcomes of one line as the evaluation tells them: the line's
// start comes with the first, so a line that passes is written at once.
class OutcomeLine final : public evaluator::OutcomeSink {
 public:
  OutcomeLine(std::string& out, std::uint64_t line, OutcomeObjects& objects,
              evaluator::CanonicalTexts& texts)
      : out_(out), line_(line), objects_(objects), texts_(texts) {}
  void outcome(const evaluator::OutcomeRef& o) override {
    if (any) {
      out_ += ',';
    } else {
      append_line_start(out_, line_);
      out_ += R"(,"decision":"fail","outcomes":[)";
      any = true;
    }
    const Outcome::Kind kind = o.kind == errors::ConstraintOutcome::Kind::Failed
                                   ? Outcome::Kind::Failed
                                   : Outcome::Kind::Errored;
    objects_.append(out_, kind, o.index, o.reason,
                    [&]() -> const std::string& { return texts_.of(o.index); });
  }
  bool any = false;

 private:
  std::string& out_;
  const std::uint64_t line_;
  OutcomeObjects& objects_;
  evaluator::CanonicalTexts& texts_;
};

}  // namespace

struct BatchLines::State {
  State(const TemplateData& d, const EvalOptions& o)
      : data(d), options(o), texts(d.tmpl), objects(d.tmpl.constraints.size()) {}
  const TemplateData& data;
  const EvalOptions options;
  evaluator::CanonicalTexts texts;
  OutcomeObjects objects;
  // One request's values at a time: their memory is reused for the next.
  runtime_input::LoadedStorage storage;
};

BatchLines::BatchLines(const Template& tmpl, const EvalOptions& options)
    : state_(std::make_unique<State>(*Access::data(tmpl), options)) {}

BatchLines::~BatchLines() = default;

bool BatchLines::decide(std::uint64_t line, std::string_view request, std::string& out) {
  State& s = *state_;
  if (s.options.explain) {
    // Explaining evaluates again by name anyway: the decision is built.
    const auto decided = decide_request(s.data, request, s.options, &s.texts, s.storage);
    append_batch_line(out, line, decided);
    return decided && decided->pass;
  }
  auto loaded = load_request(s.data, request, s.storage);
  if (!loaded) {
    append_batch_line(out, line, request_error(loaded.error()));
    return false;
  }
  const runtime_input::SlotsResult& intent = loaded->intent;
  const runtime_input::SlotsResult& evidence = loaded->evidence;
  if (!intent || !evidence) {
    append_batch_line(out, line, api::decide(s.data, intent, evidence, s.options));
    return false;
  }
  OutcomeLine outcomes(out, line, s.objects, s.texts);
  if (auto problem =
          evaluator::evaluate_into(s.data.tmpl, s.data.plan, *intent, *evidence, outcomes)) {
    append_batch_line(out, line, invalid_input(std::move(*problem)));
    return false;
  }
  if (outcomes.any) {
    out += "]}\n";
    return false;
  }
  append_pass_line(out, line);
  return true;
}

}  // namespace verdane::api
