// The output lines of a batch of requests, as `eval --batch` and the server
// write them. Internal to verdane's own programs: not part of the public API.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "verdane/verdane.h"

namespace verdane::api {

// The output line for the request on line `line` (1-based, counting every
// physical line): {"line":<n>,"decision":...} as Decision::to_json with the
// line first, or {"line":<n>,"error":"<problem>"} for a line that is not a
// request. Ends in a line feed. Appended to `out`.
void append_batch_line(std::string& out, std::uint64_t line, const Expected<Decision>& result);
// The start of every such line: {"line":<n>
void append_line_start(std::string& out, std::uint64_t line);
// The whole line of a request that passed.
void append_pass_line(std::string& out, std::uint64_t line);

// The start of one outcome's JSON object, up to where its reason's text
// goes: {"index":<i>,"outcome":"<kind>","expression":"<text>","reason":
// Decision::append_json and the batch lines both write outcomes through it,
// so they write the same bytes.
void append_outcome_head(std::string& out, Outcome::Kind kind, std::size_t index,
                         std::string_view expression);

// The JSON objects of the outcomes of one template's constraints, each built
// the first time a line needs it: a constraint that fails always writes the
// same object, and one that errs differs only in its reason.
class OutcomeObjects {
 public:
  explicit OutcomeObjects(std::size_t constraints) : objects_(constraints) {}
  // Appends the object of constraint `index` with `kind` and `reason`;
  // `expression()` gives the constraint's text when it is first needed.
  template <typename Expression>
  void append(std::string& out, Outcome::Kind kind, std::size_t index, std::string_view reason,
              Expression expression) {
    Object& object = objects_[index];
    std::optional<std::string>& cached =
        kind == Outcome::Kind::Failed ? object.failed : object.errored_head;
    if (!cached) cached = build(kind, index, expression(), reason);
    out += *cached;
    if (kind == Outcome::Kind::Errored) finish(out, reason);
  }

 private:
  struct Object {
    std::optional<std::string> failed;        // the whole object: its reason never changes
    std::optional<std::string> errored_head;  // up to the reason's text
  };
  static std::string build(Outcome::Kind kind, std::size_t index, std::string_view expression,
                           std::string_view reason);
  // The reason and the closing brace.
  static void finish(std::string& out, std::string_view reason);
  std::vector<Object> objects_;
};

// Decides the requests of one batch, one after another, and writes each
// one's output line: the bytes evaluate_batch and append_batch_line give,
// without building a decision per request. The template must outlive it.
// Belongs to one thread; every window of a batch may have its own.
class BatchLines {
 public:
  BatchLines(const Template& tmpl, const EvalOptions& options);
  ~BatchLines();
  BatchLines(const BatchLines&) = delete;
  BatchLines& operator=(const BatchLines&) = delete;

  // Decides `request`, the text of line `line`, and appends its output line
  // to `out`; whether it passed.
  bool decide(std::uint64_t line, std::string_view request, std::string& out);

 private:
  struct State;
  std::unique_ptr<State> state_;
};

}  // namespace verdane::api
