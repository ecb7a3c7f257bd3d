// verdane as a library: compile policy templates, store and identify them as
// bytecode, render them back as source, and evaluate requests against them,
// all inside the calling process.
//
// Guarantees:
// - Errors are values. Every operation that can fail returns an Expected that
//   holds either its result or an Error; nothing here throws, short of the
//   allocator running out of memory (std::bad_alloc).
// - No global state. Every function reads only its arguments and returns a
//   new value; nothing is cached, registered or initialised behind the
//   caller's back, so calls never influence each other.
// - Templates, JSON documents and inputs are immutable once built. Copies
//   share the same data, so copying is cheap. Any number of threads may use
//   the same Template, JsonDocument or Input at once (evaluate, encode, id,
//   render) without locking; only assigning to one handle object while another thread reads
//   that same object needs the caller's synchronisation, as for any value.
// - Hostile input is bounded: sources and bytecode whose expressions nest
//   deeper than 4096 levels are rejected, JSON may nest without limit, and
//   no input can make a call recurse past that fixed depth.
// - The texts of errors and reports are the ones the `verdane` command line
//   prints, byte for byte.
//
// This header needs only the C++20 standard library.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

namespace verdane::api {

// What went wrong in a failed call.
struct Error {
  enum class Kind : std::uint8_t {
    Compile,   // the source text is not a valid template
    Bytecode,  // the bytes are not a template's bytecode (or cannot be written)
    Id,        // the text is not a template id
    Json,      // the text is not one JSON document
    Request,   // the JSON text is not a request object (evaluate_request)
  };

  Kind kind = Kind::Compile;
  // Compile: 1-based line and column of the problem in the source (columns
  // count characters, only line feeds start lines). Json: the same in the
  // JSON text. Bytecode and Id: 0.
  std::size_t line = 0;
  std::size_t column = 0;
  // The problem, without its position, e.g. "undeclared field `amount`".
  // Bytecode messages start with "bytecode: ".
  std::string message;

  // The error as the command line prints it: "error at <line>:<column>:
  // <message>" for Compile and Bytecode, "<message> at line <line> column
  // <column>" for Json (just the message if it has no position), the message
  // alone for Id and Request.
  std::string to_string() const;
};

// Either a value or an Error. Reading the side that is not there is a
// programming error; it throws std::bad_variant_access.
template <typename T>
class [[nodiscard]] Expected {
 public:
  Expected(T value) : data_(std::in_place_index<0>, std::move(value)) {}
  Expected(Error error) : data_(std::in_place_index<1>, std::move(error)) {}

  bool has_value() const noexcept { return data_.index() == 0; }
  explicit operator bool() const noexcept { return has_value(); }

  T& value() & { return std::get<0>(data_); }
  const T& value() const& { return std::get<0>(data_); }
  T&& value() && { return std::get<0>(std::move(data_)); }
  T& operator*() & { return value(); }
  const T& operator*() const& { return value(); }
  T&& operator*() && { return std::move(*this).value(); }
  T* operator->() { return &value(); }
  const T* operator->() const { return &value(); }

  const Error& error() const& { return std::get<1>(data_); }
  Error&& error() && { return std::get<1>(std::move(data_)); }

 private:
  std::variant<T, Error> data_;
};

namespace detail {
struct Access;
}

// A compiled (or decoded) policy template. Only compile and decode make one,
// so every Template is complete and valid. Copies share one immutable
// template; a moved-from Template still holds it.
class Template {
 public:
  Template(const Template&) = default;
  Template& operator=(const Template&) = default;
  ~Template() = default;

  // The template's name, as written after `name` in its source.
  const std::string& name() const;

 private:
  friend struct detail::Access;
  struct Data;
  explicit Template(std::shared_ptr<const Data> data) : data_(std::move(data)) {}
  std::shared_ptr<const Data> data_;
};

// A template's identity: the SHA-256 digest of its bytecode. Equal templates
// have equal ids.
struct TemplateId {
  std::array<std::uint8_t, 32> digest{};

  // The base58 text (Bitcoin alphabet, no checksum; 32 to 44 characters).
  std::string to_string() const;

  friend bool operator==(const TemplateId&, const TemplateId&) = default;
};

// One parsed JSON document (an intent or an evidence input). Copies share one
// immutable document; a moved-from JsonDocument still holds it.
class JsonDocument {
 public:
  JsonDocument(const JsonDocument&) = default;
  JsonDocument& operator=(const JsonDocument&) = default;
  ~JsonDocument() = default;

 private:
  friend struct detail::Access;
  struct Data;
  explicit JsonDocument(std::shared_ptr<const Data> data) : data_(std::move(data)) {}
  std::shared_ptr<const Data> data_;
};

// One side of a request (the intent or the evidence) parsed and checked
// against that side's schema of a template: the fields' values, or why the
// document does not fit. Copies share one immutable input; a moved-from Input
// still holds it.
class Input {
 public:
  Input(const Input&) = default;
  Input& operator=(const Input&) = default;
  ~Input() = default;

 private:
  friend struct detail::Access;
  struct Data;
  explicit Input(std::shared_ptr<const Data> data) : data_(std::move(data)) {}
  std::shared_ptr<const Data> data_;
};

// A constraint that did not pass.
struct Outcome {
  enum class Kind : std::uint8_t {
    Failed,   // it evaluated to false
    Errored,  // evaluating it raised an error (e.g. an absent field, overflow)
  };
  Kind kind = Kind::Failed;
  std::size_t index = 0;   // its position in the template's requires block, from 0
  std::string expression;  // its expression, fully parenthesised on one line
  std::string reason;      // "constraint evaluated to False" or the error text
  // Filled only when evaluating with EvalOptions::explain: what evaluating
  // the constraint computed, as (expression, value) pairs in evaluation
  // order, e.g. ("(intent.amount + evidence.fee)", "1105"). One pair per
  // field reference and operator node below the constraint's root, each
  // distinct expression once; literals are left out. Values are written as
  // the template language writes literals (True, 1200, "EUR",
  // date(2026-05-01), {"a", "b"}); a set of more than 10 elements shows its
  // first 10 and then "... (<n> elements)", a string of more than 200 bytes
  // its start and then "... (<n> bytes)", an expression of more than 1000
  // bytes likewise. The node whose evaluation raised the error has the value
  // "error: <reason>" and is the last pair. Both texts are final: control
  // characters from the inputs are escaped, so each stays within one line.
  std::vector<std::pair<std::string, std::string>> explanation;

  friend bool operator==(const Outcome&, const Outcome&) = default;
};

// The answer for one request.
struct Decision {
  bool pass = false;
  // Set when the inputs do not fit the template's schemas (an undeclared or
  // mistyped member, a missing required field); then no constraint was
  // evaluated, `pass` is false and `outcomes` is empty. E.g. "intent: field
  // `amount`: expected JSON integer".
  std::optional<std::string> input_error;
  // For a fail without input_error: every failed and errored constraint, in
  // template order; never empty then. Empty for a pass.
  std::vector<Outcome> outcomes;

  // The report the command line prints, every line ending in a line feed:
  // "decision=pass", or "decision=fail" followed by "input validation error:
  // <input_error>" or by one "constraint[<index>] failed: <expression>
  // (<reason>)" ("error:" for Errored) line per outcome, each followed by
  // one "    <expression> = <value>" line per pair of its explanation.
  // Control characters of input_error and reason (member names, date texts,
  // field names) are shown escaped (\n, \t, \u{1b}, ...), so each line
  // stays one line; the expression and the explanation are printed as they
  // are, already escaped.
  std::string report() const;

  // The decision as one JSON object on one line, without a line feed, as
  // `verdane eval --format json` prints it: {"decision":"pass"},
  // {"decision":"fail","input_error":"<input_error>"}, or
  // {"decision":"fail","outcomes":[{"index":<index>,"outcome":"failed",
  // "expression":"<expression>","reason":"<reason>"},...]} ("errored" for
  // Errored); an outcome with an explanation has one more member,
  // "explanation":[["<expression>","<value>"],...], its pairs in order. Texts are JSON strings of
  // the texts themselves, escaped only as JSON requires: `"`, `\` and the control characters U+0000
  // to U+001F
  // (\n, \t, ... or \u00XX); everything else, non-ASCII text included, is
  // written as UTF-8.
  std::string to_json() const;
  // Appends to_json() to `out`, for a caller that writes many decisions into
  // one text.
  void append_json(std::string& out) const;

  friend bool operator==(const Decision&, const Decision&) = default;
};

// What an evaluation does besides deciding.
struct EvalOptions {
  // Fill Outcome::explanation of every failed and errored constraint. Those
  // constraints are evaluated a second time, watched; without this option
  // evaluation does no extra work.
  bool explain = false;
};

// Checks and compiles template source text. The source must be UTF-8. The
// first problem is returned as a Compile error with its position; a source
// that is not valid UTF-8 fails at its first invalid byte.
Expected<Template> compile(std::string_view source);

// The canonical bytecode of `tmpl`: equal templates give equal bytes, and
// decode gives the same template back. Fails (Bytecode) only for a template
// that could not be read back, which compile and decode never produce.
Expected<std::vector<std::uint8_t>> encode(const Template& tmpl);

// Reads a template from bytecode that must span all of `bytecode`. Malformed,
// truncated, trailing or too deeply nested data gives a Bytecode error, e.g.
// "bytecode: Deserialization failed, using lib bincode: UnexpectedEnd {
// additional: 1 }"; the size of the input bounds the memory used.
Expected<Template> decode(std::span<const std::uint8_t> bytecode);

// The id of `tmpl` (the digest of its encoding); fails as encode does.
Expected<TemplateId> id(const Template& tmpl);
// The error encode and id would give for `tmpl`, if any, found by walking
// the template without producing bytes or hashing them.
std::optional<Error> check_encodable(const Template& tmpl);

// Parses the base58 text of an id, exactly, without trimming. Fails with an
// Id error: "Cannot parse hash digest from base58: <problem>" or "Wrong number
// of bytes for hash digest: could not convert slice to array".
Expected<TemplateId> parse_id(std::string_view text);

// The template as readable source text in the template language; compiling
// it gives an equal template. Every line ends in a line feed.
std::string render(const Template& tmpl);

// Parses one JSON document (RFC 8259; the whole text, no comments). Fails
// with a Json error and its position, e.g. "expected a JSON value" at line 1
// column 1.
Expected<JsonDocument> parse_json(std::string_view text);
// The error parse_json would give for `text`, if any, without building the
// document: its memory stays small however deeply the document nests.
std::optional<Error> check_json(std::string_view text);

// Decides `tmpl` for one request. Each document must be an object whose
// members are fields of the matching schema; everything that does not fit
// becomes Decision::input_error rather than an Error. Never fails.
Decision evaluate(const Template& tmpl, const JsonDocument& intent, const JsonDocument& evidence);
// The same, with options.
Decision evaluate(const Template& tmpl, const JsonDocument& intent, const JsonDocument& evidence,
                  const EvalOptions& options);

// Parses one intent document and checks it against the intent schema of
// `tmpl`, in one pass and without keeping the document itself: for large
// documents this is much faster and smaller than parse_json followed by
// evaluate. Fails exactly as parse_json does on the same text. A document
// that parses but does not fit the schema still gives an Input; evaluate
// reports the problem as Decision::input_error. The text is taken by value so
// that a caller who moves it in lets the call free it as soon as it has been
// read, which lowers the peak memory by the size of the text.
Expected<Input> parse_intent(const Template& tmpl, std::string json);
// The same for an evidence document and the evidence schema of `tmpl`.
Expected<Input> parse_evidence(const Template& tmpl, std::string json);

// Decides `tmpl` for inputs parsed for it: the same decision as evaluate on
// the JsonDocuments of the same texts. An input that does not fit its schema
// is reported as input_error (the intent's problem first). Inputs parsed for
// another template are checked again, as values, against the schemas of
// `tmpl`. Never fails.
Decision evaluate(const Template& tmpl, const Input& intent, const Input& evidence);
// The same, with options.
Decision evaluate(const Template& tmpl, const Input& intent, const Input& evidence,
                  const EvalOptions& options);

// parse_json on both texts, then evaluate. A JSON error's message is prefixed
// with "failed to parse intent JSON: " or "failed to parse evidence JSON: ";
// the intent is parsed first.
Expected<Decision> evaluate_json(const Template& tmpl, std::string_view intent_json,
                                 std::string_view evidence_json);
// The same, with options.
Expected<Decision> evaluate_json(const Template& tmpl, std::string_view intent_json,
                                 std::string_view evidence_json, const EvalOptions& options);

// Decides one request given as the text of one JSON object
// {"intent": {...}, "evidence": {...}}; "intent" may be left out and then
// stands for {}. Reads the text in one pass; the decision is the one
// evaluate_json gives for the two member texts. Fails with a Json error (the
// parser's message and position, or "invalid UTF-8" at the first invalid
// byte) for a text that is not JSON, and with a Request error for JSON that is
// not such an object, checked in this order: "a request must be a JSON
// object"; "unknown member `<name>` (a request has only `intent` and
// `evidence`)" for the least such name in byte order; "missing member
// `evidence`". A member given twice counts with its last value. Members that
// do not fit their schemas (including an `intent` or `evidence` that is not
// an object) give a Decision with input_error, as in evaluate_json.
Expected<Decision> evaluate_request(const Template& tmpl, std::string_view request_json);
// The same, with options.
Expected<Decision> evaluate_request(const Template& tmpl, std::string_view request_json,
                                    const EvalOptions& options);

// evaluate_request for every text of `requests`, in order: one result per
// request. Like every call here it reads only its arguments, so any number of
// threads may each decide their own batch against one template at the same
// time; splitting a large batch across threads is the caller's choice.
std::vector<Expected<Decision>> evaluate_batch(const Template& tmpl,
                                               std::span<const std::string_view> requests);
// The same, with options.
std::vector<Expected<Decision>> evaluate_batch(const Template& tmpl,
                                               std::span<const std::string_view> requests,
                                               const EvalOptions& options);

}  // namespace verdane::api
