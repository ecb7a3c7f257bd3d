// The questions `verdane analyze` answers, each decided by the solver and,
// when the answer comes with a witness request, confirmed by the evaluator.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "analysis/encoding.h"
#include "support/result.h"
#include "types/model.h"
#include "verdane/verdane.h"

namespace verdane::analysis {

enum class Verdict { Yes, No, Unknown };

struct Witness {
  std::string name;  // "can_pass", "c2_error", "widens", ...
  Request request;
};

// One answered question, printed as "<subject>: <question>: <verdict>"
// followed by " (<note>; example <name>)" with the parts it has.
struct Finding {
  std::string subject;   // "template", "constraint[<i>]" or "change"
  std::string question;  // "can pass", "can fail", "can error", "redundant", "widens", "narrows"
  Verdict verdict = Verdict::Unknown;
  std::string note;  // the kind of error, or why the answer is unknown
  std::optional<Witness> witness;

  std::string line() const;
};

// A template to analyse: its model and the same template as eval loads it,
// which confirms witnesses; `label` names it in errors (its path).
struct Target {
  const types::PolicyTemplate* model;
  const api::Template* tmpl;
  std::string label;
};

struct Options {
  std::uint32_t timeout_ms = 10'000;  // per question, building its terms included
  const Domain* domain = nullptr;     // for cross-checks only
  // What the solver library may allocate; a question that needs more is
  // unknown. It counts for the whole process.
  std::uint32_t max_memory_mib = 4096;
};

// Receives each finding as soon as it is decided, in the fixed order; an
// error it returns ends the analysis with that error.
using Emit = std::function<Status<std::string>(const Finding&)>;

// The template's questions (can pass, can fail), then per constraint in
// order: can fail, can error, redundant. Fails with one line when the
// template breaks the model's invariants ("cannot analyse `<label>`: ...") or
// when the evaluator disagrees with a witness ("internal error: ...").
Status<std::string> analyze_template(const Target& target, const Options& options,
                                     const Emit& emit);

// Whether the change from `old` to `next` widens (next passes a request old
// fails) and whether it narrows what passes; a request that one of them
// cannot load fails for it. Errors as for analyze_template.
Status<std::string> analyze_change(const Target& next, const Target& old, const Options& options,
                                   const Emit& emit);

}  // namespace verdane::analysis
