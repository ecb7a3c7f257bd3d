// Deciding a template against loaded inputs.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory_resource>
#include <optional>
#include <set>
#include <span>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "errors/constraint_outcome.h"
#include "evaluator/typed.h"
#include "support/result.h"
#include "types/model.h"
#include "types/value.h"

namespace verdane::evaluator {

// The inputs as a whole do not fit the schemas; no constraint was evaluated.
struct InputValidationFailure {
  std::string message;
};

struct Decision {
  enum class Kind { Pass, Fail };
  Kind kind = Kind::Pass;
  // For Fail: the Failed and Errored outcomes in template order, never empty.
  std::vector<errors::ConstraintOutcome> outcomes;
};

using Evaluation = std::variant<InputValidationFailure, Decision>;

// Decides `tmpl` against the loaded inputs. First checks the maps against the
// schemas in four passes (unexpected or mistyped intent fields, missing
// required intent fields, then the same two for evidence), each in name order;
// the first problem is the InputValidationFailure and no constraint runs.
// Then evaluates every constraint in order: an optional constraint whose
// optional intent fields are not all present is skipped (it passes). A false
// constraint fails with "constraint evaluated to False"; an evaluation error
// (or a non-bool result) makes it errored with the error text. Every carried
// outcome has the constraint's position and canonical text. Reads its arguments
// only; never fails otherwise, whatever the template holds.
Evaluation evaluate(const types::PolicyTemplate& tmpl, const types::ValueMap& intent,
                    const types::ValueMap& evidence);

// What deciding a template by slot needs, computed once per template: every
// constraint as a program of steps in evaluation order (operands before
// their node, left to right, so that running it raises the errors the tree
// raises, in the same order), with each field reference resolved to its
// slot; for every optional constraint the slots of the optional intent
// fields it reads; and each side's declared types. Running a program needs
// no recursion, whatever the depth of the tree. A plan of a template also
// holds, for every constraint whose operand types all fit their operators
// (every constraint of a checked template), the same program typed. A plan
// refers to the nodes of the template it was made for, which must outlive
// it. Its literals are views of the template's (their sets of texts packed
// into the plan's own arena), which the typed steps point to: a plan moves
// but is never copied.
class Plan {
 public:
  explicit Plan(const types::PolicyTemplate& tmpl);
  Plan(Plan&&) noexcept = default;
  Plan& operator=(Plan&&) noexcept = default;
  Plan(const Plan&) = delete;
  Plan& operator=(const Plan&) = delete;
  // For one expression whose fields have the slots of their names in
  // `intent_names` and `evidence_names` (each in ascending byte order).
  static Plan for_expr(const types::Expr& expr, std::span<const std::string_view> intent_names,
                       std::span<const std::string_view> evidence_names);

  // One step: push a literal or a field's value, apply an operator to the
  // values on top, or open a connective (push its start value) and combine
  // one of its operands into it.
  struct Step {
    enum class Op : std::uint8_t {
      Literal,
      Intent,
      Evidence,
      Add,
      Sub,
      Mul,
      Eq,
      Lt,
      Le,
      Gt,
      Ge,
      In,
      SubsetOf,
      SupersetOf,
      Not,
      Open,
      Combine,
    };
    Op op;
    bool is_and;     // Open, Combine: `and` rather than `or`
    bool completes;  // the step's node has its value once the step is done
    // Intent, Evidence: the slot, kNoSlot for an undeclared name. Literal:
    // the index of its view in literals(). Other
    // steps that complete their node: the offset in the program of the
    // node's first step, for telling a trace which nodes an error ends.
    std::uint32_t slot;
    const types::Expr* node;  // the node the step belongs to
  };
  // Steps are kept small: a large template has one per node.
  static_assert(sizeof(Step) <= 16);
  static constexpr std::uint32_t kNoSlot = static_cast<std::uint32_t>(-1);

  // The program of constraint `index`, and the most values it holds at once.
  std::span<const Step> program(std::size_t index) const;
  std::size_t stack_size(std::size_t index) const { return constraints_[index].stack; }
  // The most of any program.
  std::size_t max_stack_size() const { return max_stack_; }
  // The literals of every program, in the order their steps come.
  std::span<const types::ValueView> literals() const { return literals_; }
  // The typed program of constraint `index`; empty when it has none.
  std::span<const TypedStep> typed_program(std::size_t index) const;
  // The slots of the optional intent fields that constraint `index` reads,
  // when it is an optional constraint; empty otherwise.
  std::span<const std::uint32_t> optional_slots(std::size_t index) const;

  // The declared type of each slot of one side, and whether it is required.
  struct Side {
    std::span<const types::Type> types;
    std::span<const std::uint8_t> required;  // 0 or 1, read per slot on every decision
  };
  const Side& intent() const { return intent_; }
  const Side& evidence() const { return evidence_; }

 private:
  Plan() = default;
  // Compiling works through a stack of items, reused from one constraint to
  // the next: an expression to compile, or a step to emit once the operands
  // compiled before it are done.
  struct Item {
    const types::Expr* expr;  // nullptr: emit `step`
    Step step;
  };
  void add(const types::Expr& expr, std::span<const std::string_view> intent_names,
           std::span<const std::string_view> evidence_names, const std::uint8_t* required,
           std::pmr::vector<Item>& pending);
  // Appends the typed form of `program` to typed_steps_; false, appending
  // nothing, when an operand's type does not fit its operator or the result
  // is not a bool. `stack` is room for the types of the values it holds.
  bool add_typed(std::span<const Step> program, std::pmr::vector<types::Type>& stack);

  struct Ranges {
    std::size_t steps_begin, steps_end;
    std::uint32_t optional_begin, optional_end, stack;
    std::size_t typed_begin = 0, typed_end = 0;
  };
  std::vector<Step> steps_;
  std::vector<TypedStep> typed_steps_;
  types::Arena literal_storage_{256};
  std::vector<types::ValueView> literals_;
  std::vector<std::uint32_t> optional_slots_;
  std::vector<Ranges> constraints_;
  std::uint32_t max_stack_ = 0;
  // Both sides' types and required flags, the intent's slots first; the
  // sides view them.
  std::vector<types::Type> slot_types_;
  std::vector<std::uint8_t> slot_required_;
  Side intent_;
  Side evidence_;
};

// The canonical texts of a template's constraints, for a caller that decides
// many requests against it: each text is built the first time an outcome
// carries it and copied after that. Belongs to that one caller; the
// template must outlive it.
class CanonicalTexts {
 public:
  explicit CanonicalTexts(const types::PolicyTemplate& tmpl)
      : tmpl_(tmpl), texts_(tmpl.constraints.size()) {}
  const std::string& of(std::size_t index);

 private:
  const types::PolicyTemplate& tmpl_;
  std::vector<std::optional<std::string>> texts_;
};

// evaluate for inputs by slot, with the plan of `tmpl`: the same decision as
// evaluate on maps holding the same values. Slots cannot hold undeclared
// fields, so the validation passes find only mistyped and missing fields.
// With `texts` (made for `tmpl`), outcomes take their canonical texts from
// there.
Evaluation evaluate(const types::PolicyTemplate& tmpl, const Plan& plan, Slots intent,
                    Slots evidence, CanonicalTexts* texts = nullptr);

// A constraint that did not pass, as evaluate_into tells it. `reason` is
// valid only during the call that tells it.
struct OutcomeRef {
  errors::ConstraintOutcome::Kind kind;  // Failed or Errored
  std::size_t index;
  std::string_view reason;
};

// Told each constraint that did not pass, in template order.
class OutcomeSink {
 public:
  virtual void outcome(const OutcomeRef& outcome) = 0;

 protected:
  ~OutcomeSink() = default;
};

// evaluate by slot for a caller that writes the decision out itself: tells
// `sink` every outcome evaluate would carry (none: the decision passes) and
// returns nullopt, or returns the input validation failure's message and
// tells nothing. Builds no outcome texts, so a failing decision costs no
// more memory than a passing one.
std::optional<std::string> evaluate_into(const types::PolicyTemplate& tmpl, const Plan& plan,
                                         Slots intent, Slots evidence, OutcomeSink& sink);

// Watches one evaluation: told the result of every node of the tree (the root
// and literals included) as soon as that node's evaluation ends, so operands
// come before their node, in evaluation order. An error is reported first for
// the node that raised it, then again for each enclosing node it ends.
class Trace {
 public:
  virtual void value(const types::Expr& node, const types::Scalar& value) = 0;
  virtual void error(const types::Expr& node, const std::string& reason) = 0;

 protected:
  ~Trace() = default;
};

// Evaluates `expr` strictly left to right, every operand of every node (no
// short-circuit, not even in `and` and `or`); the first error raised stops it
// and is returned. Absent fields and overflow are errors; operand types that a
// checked template cannot have give texts starting with "internal: ". Runs
// the expression's plan, without recursion. `trace`, when given, watches the
// evaluation; without one nothing is recorded.
Result<types::Value, std::string> eval_expr(const types::Expr& expr, const types::ValueMap& intent,
                                            const types::ValueMap& evidence,
                                            Trace* trace = nullptr);

}  // namespace verdane::evaluator
