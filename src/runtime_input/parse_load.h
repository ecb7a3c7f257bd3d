// Parsing an input document and loading it against a schema in one pass:
// the one way intent, evidence and requests are read. Each value is
// converted straight from the parser's events into its declared type, as
// views kept by the document's own storage, so that no text is copied that
// need not be. A text that is not JSON gets check_json's error.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "runtime_input/json.h"
#include "runtime_input/load.h"
#include "support/result.h"
#include "types/arena.h"
#include "types/model.h"
#include "types/value.h"
#include "types/value_view.h"

namespace verdane::runtime_input {

// The text of a document, either borrowed from the caller or handed over:
// then a large text is parsed where it lies and kept by the loaded document,
// whose values point into it, and any other is freed once it has been read.
class JsonText {
 public:
  static JsonText borrowed(std::string_view text) { return JsonText(text, {}, false); }
  static JsonText owned(std::string text) { return JsonText({}, std::move(text), true); }
  // An owned text its caller has found to be valid UTF-8 (reading a file
  // checks it), which need not be checked again.
  static JsonText owned_valid_utf8(std::string text) {
    JsonText json({}, std::move(text), true);
    json.valid_utf8_ = true;
    return json;
  }
  bool known_valid_utf8() const { return valid_utf8_; }

  std::string_view view() const { return owns_ ? std::string_view(owned_) : borrowed_; }
  // The owned text's bytes, followed by a NUL byte, for parsing in place;
  // nullptr for borrowed text, which is never written.
  char* writable() { return owns_ ? owned_.data() : nullptr; }
  // Frees owned text; the view is empty afterwards.
  void release() {
    borrowed_ = {};
    owns_ = false;
    valid_utf8_ = false;
    std::string().swap(owned_);
  }
  // Hands the owned text over; the view is empty afterwards.
  std::string take() {
    std::string text = std::move(owned_);
    release();
    return text;
  }

 private:
  JsonText(std::string_view borrowed, std::string owned, bool owns)
      : borrowed_(borrowed), owned_(std::move(owned)), owns_(owns) {}
  std::string_view borrowed_;
  std::string owned_;
  bool owns_;
  bool valid_utf8_ = false;
};

// Loading a parsed document gives its values or why it does not fit.
using LoadResult = Result<types::ValueMap, InputError>;

// The JSON error of `text`, or the outcome of loading it: its members
// converted to their declared types in ascending byte order of their names,
// the first bad one deciding the error (an undeclared name, "is not declared
// in the intent schema", or a value that does not convert). A JSON null is a
// value like any other, not an absent field; a declared field that is
// missing is left for the evaluator to report. Integers must fit the signed
// 64-bit range and be written without fraction or exponent; arrays become
// sets in which repeated elements collapse, the first bad element in array
// order deciding the message.
Result<LoadResult, JsonError> parse_and_load_intent(const types::IntentSchema& schema,
                                                    JsonText text);
// The same against the evidence schema.
Result<LoadResult, JsonError> parse_and_load_evidence(const types::EvidenceSchema& schema,
                                                      JsonText text);

// The first eight bytes of `name` as a number, zero bytes past its end.
// Shorter names are read in two overlapping loads (their shared bytes are
// the same), not in a copy of variable length, which costs a call.
inline std::uint64_t name_head(std::string_view name) {
  const auto* p = reinterpret_cast<const unsigned char*>(name.data());
  const std::size_t n = name.size();
  std::uint64_t head = 0;
  if (n >= 8) {
    std::memcpy(&head, p, 8);
  } else if (n >= 4) {
    std::uint32_t low;
    std::uint32_t high;
    std::memcpy(&low, p, 4);
    std::memcpy(&high, p + n - 4, 4);
    head = std::uint64_t{low} | std::uint64_t{high} << (8 * (n - 4));
  } else if (n > 0) {
    head = std::uint64_t{p[0]} | std::uint64_t{p[n / 2]} << (8 * (n / 2)) |
           std::uint64_t{p[n - 1]} << (8 * (n - 1));
  }
  return head;
}

// One field of a schema, as the one-pass loader reads it. Member names are
// matched by length and first bytes as numbers, and only longer names
// compare the rest of their bytes.
struct DeclaredField {
  DeclaredField(std::string_view n, types::Type t)
      : name(n),
        type(t),
        head(name_head(n)),
        tail(name_head(n.substr(std::min<std::size_t>(n.size(), 8)))) {}

  // Whether `other`, whose name_head is `other_head`, is this field's name.
  // Names of up to sixteen bytes compare their next eight as a number too.
  bool matches(std::string_view other, std::uint64_t other_head) const {
    if (other_head != head || other.size() != name.size()) return false;
    if (name.size() <= sizeof head) return true;
    if (name.size() <= 2 * sizeof head) return name_head(other.substr(sizeof head)) == tail;
    return std::memcmp(name.data() + sizeof head, other.data() + sizeof head,
                       name.size() - sizeof head) == 0;
  }

  std::string_view name;
  types::Type type;
  std::uint64_t head;
  std::uint64_t tail;  // name_head of the bytes after the first eight
};

// The fields of a schema in name order; the names are views of the schema's.
std::vector<DeclaredField> declared_fields(const types::IntentSchema& schema);
std::vector<DeclaredField> declared_fields(const types::EvidenceSchema& schema);

// What the values of a loaded document or request point into: its arena
// (the decoded texts, the sets, the slots) and, when a large document was
// parsed where it lay, its text. Moving it keeps every view valid: the
// arena's chunks never move, and a kept text is longer than any inline
// buffer of a string, so its bytes stay where they are. Views die with it.
class LoadedStorage {
 public:
  LoadedStorage() = default;
  LoadedStorage(LoadedStorage&&) noexcept = default;
  LoadedStorage& operator=(LoadedStorage&&) noexcept = default;
  LoadedStorage(const LoadedStorage&) = delete;
  LoadedStorage& operator=(const LoadedStorage&) = delete;

  types::Arena& arena() { return arena_; }
  // Keeps `text`, whose bytes views point into (it must be longer than 1 KiB).
  void keep(std::string text) { text_ = std::move(text); }
  // Empties the storage for other values, keeping a little of its memory;
  // every view into it dies.
  void clear() {
    arena_.reset();
    if (text_.capacity() != 0) std::string().swap(text_);
  }

 private:
  types::Arena arena_;
  std::string text_;
};

// The values of a document by field: parallel to the schema's fields in name
// order, no value where the document has no such member. They live in a
// LoadedStorage.
using SlotsResult = Result<std::span<const types::ValueView>, InputError>;

// A document loaded against a schema: its values (or why they do not fit)
// with what they point into. Move-only; its views die with it.
class LoadedDocument {
 public:
  LoadedDocument(LoadedStorage storage, SlotsResult values)
      : storage_(std::move(storage)), values_(std::move(values)) {}
  LoadedDocument(LoadedDocument&&) noexcept = default;
  LoadedDocument& operator=(LoadedDocument&&) noexcept = default;

  const SlotsResult& values() const { return values_; }
  explicit operator bool() const { return values_.ok(); }

 private:
  LoadedStorage storage_;
  SlotsResult values_;
};
using FieldsResult = LoadedDocument;

// parse_and_load_intent with the values by field; `fields` are the
// declared_fields of `schema`.
Result<FieldsResult, JsonError> parse_and_load_intent_fields(const types::IntentSchema& schema,
                                                             std::span<const DeclaredField> fields,
                                                             JsonText text);
// The same for evidence.
Result<FieldsResult, JsonError> parse_and_load_evidence_fields(
    const types::EvidenceSchema& schema, std::span<const DeclaredField> fields, JsonText text);

// The same for a borrowed text, loaded into `storage`, which several
// documents may share: their values die with it.
Result<SlotsResult, JsonError> parse_and_load_intent_into(std::span<const DeclaredField> fields,
                                                          std::string_view text,
                                                          LoadedStorage& storage);
Result<SlotsResult, JsonError> parse_and_load_evidence_into(std::span<const DeclaredField> fields,
                                                            std::string_view text,
                                                            LoadedStorage& storage);

// A request: one JSON object with the members "intent" (optional, meaning
// {}) and "evidence", each a document for its schema. The values of both
// live in `storage`; they die with it.
struct RequestFields {
  LoadedStorage storage;
  SlotsResult intent;
  SlotsResult evidence;
};
// Why a text is not a request: it is not JSON (kind Json, the parser's error,
// or "invalid UTF-8" where the first invalid byte is), or not an object with
// exactly those members (kind Shape, with its message).
struct RequestProblem {
  enum class Kind { Json, Shape };
  Kind kind = Kind::Json;
  std::string message;  // Shape
  JsonError json;       // Json
};

// Parses a request and loads both documents in one pass, with the same
// values and input errors as loading each document on its own. Problems of
// shape, in this order: "a request must be a JSON object", "unknown member
// `<name>` (a request has only `intent` and `evidence`)" for the least such
// name in byte order, "missing member `evidence`". A member given twice
// counts once, with its last value, as in every JSON object read here.
Result<RequestFields, RequestProblem> parse_and_load_request(
    const types::IntentSchema& intent_schema, std::span<const DeclaredField> intent_fields,
    const types::EvidenceSchema& evidence_schema, std::span<const DeclaredField> evidence_fields,
    std::string_view text);

// The values of a request read into storage of the caller's.
struct RequestSlots {
  SlotsResult intent;
  SlotsResult evidence;
};
// parse_and_load_request into `storage`, which is cleared first: one request
// after another then reuses its memory. The values point into `storage` and
// die when it is cleared again, by the next call.
Result<RequestSlots, RequestProblem> parse_and_load_request_into(
    const types::IntentSchema& intent_schema, std::span<const DeclaredField> intent_fields,
    const types::EvidenceSchema& evidence_schema, std::span<const DeclaredField> evidence_fields,
    std::string_view text, LoadedStorage& storage);

namespace detail {

using runtime_input::DeclaredField;

// The single pass alone, over `fields` in byte order of their names;
// `schema_kind` is "intent" or "evidence". Releases `text` once the document
// has been read, before the sets are built; a text that is not JSON is left
// as it is, and its error is check_json's.
Result<LoadResult, JsonError> load_in_one_pass(const std::vector<DeclaredField>& fields,
                                               JsonText& text, const char* schema_kind);
// The same with the values by field, kept by `storage`.
Result<SlotsResult, JsonError> load_fields_in_one_pass(std::span<const DeclaredField> fields,
                                                       JsonText& text, const char* schema_kind,
                                                       LoadedStorage& storage);

}  // namespace detail

}  // namespace verdane::runtime_input
