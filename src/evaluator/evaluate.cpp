#include "evaluator/evaluate.h"

#include <algorithm>
#include <array>
#include <compare>
#include <cstdint>
#include <functional>
#include <optional>
#include <string_view>
#include <type_traits>
#include <utility>

#include "canonical/pretty.h"

namespace verdane::evaluator {

namespace {

using errors::ConstraintOutcome;
using types::Expr;
using types::Scalar;
using types::Type;
using types::Value;
using types::ValueMap;

Type type_of(const Scalar& data) { return static_cast<Type>(data.index()); }

std::string type_name(Type type) { return std::string(types::type_text(type)); }

// A value on a program's stack: a payload borrowed from an input value or a
// literal of the template (both outlive the evaluation), or a boolean or an
// integer computed by a step (the only values steps compute). Borrowing
// keeps field references and literals from copying sets of any size; holding
// computed values outside a Scalar keeps an operand small and trivial.
class Operand {
 public:
  // A slot of the stack before a step writes it: left uninitialised, so a
  // stack costs nothing to set up.
  Operand() = default;
  static Operand borrow(const Scalar& data) {
    Operand o(type_of(data), &data, 0);
    // Booleans and integers are copied out, so reading them never goes
    // back to the payload.
    if (const auto* b = std::get_if<bool>(&data)) o.number_ = *b ? 1 : 0;
    if (const auto* i = std::get_if<std::int64_t>(&data)) o.number_ = *i;
    return o;
  }
  static Operand boolean(bool b) { return Operand(Type::Bool, nullptr, b ? 1 : 0); }
  static Operand integer(std::int64_t i) { return Operand(Type::Int, nullptr, i); }

  Type type() const { return type_; }
  // Preconditions: type() is Bool, Int.
  bool as_bool() const { return number_ != 0; }
  std::int64_t as_int() const { return number_; }
  // The payload of any other type, which is always borrowed.
  const Scalar& payload() const { return *borrowed_; }

  // Values of different types are simply unequal.
  friend bool operator==(const Operand& a, const Operand& b) {
    if (a.type_ != b.type_) return false;
    if (a.type_ == Type::Bool || a.type_ == Type::Int) return a.number_ == b.number_;
    return a.payload() == b.payload();
  }

 private:
  Operand(Type type, const Scalar* borrowed, std::int64_t number)
      : type_(type), borrowed_(borrowed), number_(number) {}
  Type type_;
  const Scalar* borrowed_;  // nullptr for a computed value
  std::int64_t number_;     // a boolean (0 or 1) or an integer
};

static_assert(std::is_trivial_v<Operand>);

// Error texts are built out of line, away from the loop that runs programs.
[[gnu::noinline]] std::string absent_error(const char* side, const Expr& node) {
  const std::string& name = node.kind() == types::ExprKind::IntentField
                                ? std::get<types::IntentField>(node.node).name
                                : std::get<types::EvidenceField>(node.node).name;
  return std::string(side) + " field `" + name + "` is absent";
}

[[gnu::noinline]] std::string int_type_error(std::string_view op_text, Type l, Type r) {
  return "internal: `" + std::string(op_text) + "` on non-int operands `" + type_name(l) + "`, `" +
         type_name(r) + "`";
}

[[gnu::noinline]] std::string overflow_error(std::int64_t l, std::string_view op_text,
                                             std::int64_t r) {
  return "integer overflow in `" + std::to_string(l) + " " + std::string(op_text) + " " +
         std::to_string(r) + "`";
}

[[gnu::noinline]] std::string pair_error(const char* what, Type l, Type r) {
  return std::string(what) + type_name(l) + "` and `" + type_name(r) + "`";
}

[[gnu::noinline]] std::string connective_error(bool is_and, Type operand) {
  return std::string("internal: `") + (is_and ? "and" : "or") + "` operand is not bool (type " +
         type_name(operand) + ")";
}

[[gnu::noinline]] std::string not_error(Type operand) {
  return "internal: `not` applied to non-bool (type " + type_name(operand) + ")";
}

using Op = Plan::Step::Op;

// Add, Sub and Mul: the operand types, then the checked operation.
bool arithmetic(Op op, Operand l, Operand r, Operand& out, std::string& error) {
  const std::string_view text = op == Op::Add ? "+" : op == Op::Sub ? "-" : "*";
  if (l.type() != Type::Int || r.type() != Type::Int) {
    error = int_type_error(text, l.type(), r.type());
    return false;
  }
  const std::int64_t a = l.as_int();
  const std::int64_t b = r.as_int();
  std::int64_t result = 0;
  const bool overflow = op == Op::Add   ? __builtin_add_overflow(a, b, &result)
                        : op == Op::Sub ? __builtin_sub_overflow(a, b, &result)
                                        : __builtin_mul_overflow(a, b, &result);
  if (overflow) {
    error = overflow_error(a, text, b);
    return false;
  }
  out = Operand::integer(result);
  return true;
}

// Lt, Le, Gt and Ge: only integers and dates are ordered.
bool ordering(Op op, Operand l, Operand r, Operand& out, std::string& error) {
  std::strong_ordering order = std::strong_ordering::equal;
  if (l.type() == Type::Int && r.type() == Type::Int) {
    order = l.as_int() <=> r.as_int();
  } else if (l.type() == Type::Date && r.type() == Type::Date) {
    order = std::get<types::DateLit>(l.payload()) <=> std::get<types::DateLit>(r.payload());
  } else {
    error = pair_error("internal: ordering comparison of `", l.type(), r.type());
    return false;
  }
  const bool holds = op == Op::Lt   ? order < 0
                     : op == Op::Le ? order <= 0
                     : op == Op::Gt ? order > 0
                                    : order >= 0;
  out = Operand::boolean(holds);
  return true;
}

bool membership(Operand element, Operand set, Operand& out, std::string& error) {
  const Type e = element.type();
  const Type s = set.type();
  if (e == Type::Int && s == Type::IntSet) {
    out = Operand::boolean(std::get<types::IntSet>(set.payload()).contains(element.as_int()));
  } else if (e == Type::String && s == Type::StringSet) {
    out = Operand::boolean(std::get<types::StringSet>(set.payload())
                               .contains(std::get<std::string>(element.payload())));
  } else if (e == Type::Date && s == Type::DateSet) {
    out = Operand::boolean(std::get<types::DateSet>(set.payload())
                               .contains(std::get<types::DateLit>(element.payload())));
  } else {
    error = pair_error("internal: `in` operand types `", e, s);
    return false;
  }
  return true;
}

// Whether every element of `sub` is in `super`, for two sets of one kind;
// nullopt for any other pair of payloads.
std::optional<bool> subset(Operand sub, Operand super) {
  if (sub.type() != super.type() || !types::is_set_type(sub.type())) return std::nullopt;
  return std::visit(
      [&](const auto& a) -> std::optional<bool> {
        using A = std::decay_t<decltype(a)>;
        if constexpr (std::is_same_v<A, types::IntSet> || std::is_same_v<A, types::StringSet> ||
                      std::is_same_v<A, types::DateSet>) {
          return a.is_subset_of(std::get<A>(super.payload()));
        }
        return std::nullopt;
      },
      sub.payload());
}

// SubsetOf and SupersetOf.
bool set_relation(Op op, Operand l, Operand r, Operand& out, std::string& error) {
  const bool superset = op == Op::SupersetOf;
  const auto holds = superset ? subset(r, l) : subset(l, r);
  if (!holds) {
    error = pair_error(superset ? "internal: `superset of` operand types `"
                                : "internal: `subset of` operand types `",
                       l.type(), r.type());
    return false;
  }
  out = Operand::boolean(*holds);
  return true;
}

// Applies the operator `op` to the two values on top of the stack, leaving
// its result in their place.
bool binary(Op op, Operand*& top, std::string& error) {
  const Operand r = *--top;
  const Operand l = top[-1];
  Operand& out = top[-1];
  switch (op) {
    case Op::Add:
    case Op::Sub:
    case Op::Mul:
      return arithmetic(op, l, r, out, error);
    case Op::Eq:
      out = Operand::boolean(l == r);  // values of different types are unequal
      return true;
    case Op::In:
      return membership(l, r, out, error);
    case Op::SubsetOf:
    case Op::SupersetOf:
      return set_relation(op, l, r, out, error);
    default:
      return ordering(op, l, r, out, error);
  }
}

// The value of an operand, for a trace.
types::Scalar scalar_of(const Operand& value) {
  if (value.type() == Type::Bool) return types::Scalar(std::in_place_index<0>, value.as_bool());
  if (value.type() == Type::Int) return types::Scalar(std::in_place_index<1>, value.as_int());
  return value.payload();
}

// Tells `trace` of the error raised at step `at`: the node that raised it,
// then every node that encloses it, innermost first: those whose last step
// comes later and whose first step does not.
[[gnu::noinline]] void trace_error(Trace& trace, std::span<const Plan::Step> program,
                                   std::size_t at, const std::string& error) {
  const Expr* raising = program[at].node;
  trace.error(*raising, error);
  for (std::size_t e = at + 1; e < program.size(); ++e) {
    const Plan::Step& step = program[e];
    const bool leaf = step.op == Op::Literal || step.op == Op::Intent || step.op == Op::Evidence;
    if (step.completes && !leaf && step.node != raising && step.slot <= at) {
      trace.error(*step.node, error);
    }
  }
}

// Runs one program over `stack` (room for the plan's stack size): the value
// it computes, or false with the text of the first error raised. With
// kTraced, `trace` is told of every node's value or error as well.
template <bool kTraced>
bool run(std::span<const Plan::Step> program, Slots intent, Slots evidence, Operand* stack,
         Operand& result, std::string& error, Trace* trace) {
  Operand* top = stack;  // one past the topmost value
  for (std::size_t at = 0; at < program.size(); ++at) {
    const Plan::Step& step = program[at];
    bool ok = true;
    switch (step.op) {
      case Op::Literal:
        *top++ = Operand::borrow(std::get<types::Literal>(step.node->node).data);
        break;
      case Op::Intent:
      case Op::Evidence: {
        const bool is_intent = step.op == Op::Intent;
        const Slots values = is_intent ? intent : evidence;
        if (step.slot >= values.size() || values[step.slot] == nullptr) {
          error = absent_error(is_intent ? "intent" : "evidence", *step.node);
          ok = false;
          break;
        }
        *top++ = Operand::borrow(values[step.slot]->data);
        break;
      }
      case Op::Not: {
        Operand& operand = top[-1];
        if (operand.type() != Type::Bool) {
          error = not_error(operand.type());
          ok = false;
          break;
        }
        operand = Operand::boolean(!operand.as_bool());
        break;
      }
      case Op::Open:
        *top++ = Operand::boolean(step.is_and);
        break;
      case Op::Combine: {
        // Every operand is checked right after it was evaluated, whatever
        // the running result.
        const Operand operand = *--top;
        if (operand.type() != Type::Bool) {
          error = connective_error(step.is_and, operand.type());
          ok = false;
          break;
        }
        const bool so_far = top[-1].as_bool();
        top[-1] = Operand::boolean(step.is_and ? so_far && operand.as_bool()
                                               : so_far || operand.as_bool());
        break;
      }
      default:
        ok = binary(step.op, top, error);
        break;
    }
    if (!ok) {
      if constexpr (kTraced) trace_error(*trace, program, at, error);
      return false;
    }
    if constexpr (kTraced) {
      if (step.completes) trace->value(*step.node, scalar_of(top[-1]));
    }
  }
  result = stack[0];
  return true;
}

// Room for the values of any program of a plan: on the call stack when the
// programs are small, as they are for nearly every template.
template <typename T>
class Stack {
 public:
  explicit Stack(std::size_t size) {
    if (size > inline_.size()) heap_.resize(size);
  }
  Stack(const Stack&) = delete;
  Stack& operator=(const Stack&) = delete;
  T* data() { return heap_.empty() ? inline_.data() : heap_.data(); }

 private:
  std::array<T, 32> inline_;
  std::vector<T> heap_;
};

std::string mismatch(const char* side, const std::string& name, const Value& value, Type declared) {
  return std::string(side) + " field `" + name + "` has type `" +
         std::string(types::type_text(value.type())) + "`, expected `" +
         std::string(types::type_text(declared)) + "`";
}

// The first problem of the four validation passes, if any.
std::optional<std::string> validate_inputs(const types::PolicyTemplate& tmpl,
                                           const ValueMap& intent, const ValueMap& evidence) {
  const auto& intent_fields = tmpl.intent_schema.fields;
  for (const auto& [name, value] : intent) {
    const auto declared = intent_fields.find(name);
    if (declared == intent_fields.end()) return "intent has unexpected field `" + name + "`";
    if (value.type() != declared->second.type) {
      return mismatch("intent", name, value, declared->second.type);
    }
  }
  for (const auto& [name, shape] : intent_fields) {
    if (!shape.optional && !intent.contains(name)) {
      return "intent is missing required field `" + name + "`";
    }
  }
  const auto& evidence_fields = tmpl.evidence_schema.fields;
  for (const auto& [name, value] : evidence) {
    const auto declared = evidence_fields.find(name);
    if (declared == evidence_fields.end()) return "evidence has unexpected field `" + name + "`";
    if (value.type() != declared->second.type) {
      return mismatch("evidence", name, value, declared->second.type);
    }
  }
  for (const auto& [name, shape] : evidence_fields) {
    if (!evidence.contains(name)) return "evidence is missing required field `" + name + "`";
  }
  return std::nullopt;
}

// The name of the field in slot `slot` of `fields`, for an error text.
template <typename Fields>
const std::string& name_at(const Fields& fields, std::size_t slot) {
  return std::next(fields.begin(), static_cast<std::ptrdiff_t>(slot))->first;
}

// The validation passes over inputs by slot: slots hold declared fields only,
// so only types and presence are left to check, in the passes' order.
std::optional<std::string> validate_slots(const types::PolicyTemplate& tmpl, const Plan& plan,
                                          Slots intent, Slots evidence) {
  const auto& intent_fields = tmpl.intent_schema.fields;
  const auto& evidence_fields = tmpl.evidence_schema.fields;
  const Plan::Side& is = plan.intent();
  const Plan::Side& es = plan.evidence();
  if (intent.size() != is.types.size() || evidence.size() != es.types.size()) {
    return "internal: inputs do not match the template's schemas";
  }
  // Inputs nearly always fit: one pass finds that, and only a problem needs
  // the passes in their order.
  const auto fits = [](Slots values, const Plan::Side& side) {
    for (std::size_t slot = 0; slot < values.size(); ++slot) {
      if (values[slot] ? values[slot]->type() != side.types[slot] : side.required[slot]) {
        return false;
      }
    }
    return true;
  };
  if (fits(intent, is) && fits(evidence, es)) return std::nullopt;
  for (std::size_t slot = 0; slot < intent.size(); ++slot) {
    if (intent[slot] && intent[slot]->type() != is.types[slot]) {
      return mismatch("intent", name_at(intent_fields, slot), *intent[slot], is.types[slot]);
    }
  }
  for (std::size_t slot = 0; slot < intent.size(); ++slot) {
    if (is.required[slot] && !intent[slot]) {
      return "intent is missing required field `" + name_at(intent_fields, slot) + "`";
    }
  }
  for (std::size_t slot = 0; slot < evidence.size(); ++slot) {
    if (evidence[slot] && evidence[slot]->type() != es.types[slot]) {
      return mismatch("evidence", name_at(evidence_fields, slot), *evidence[slot], es.types[slot]);
    }
  }
  for (std::size_t slot = 0; slot < evidence.size(); ++slot) {
    if (!evidence[slot]) {
      return "evidence is missing required field `" + name_at(evidence_fields, slot) + "`";
    }
  }
  return std::nullopt;
}

// The outcome of one constraint that does not pass (nullopt when it passes
// or is skipped). Only such outcomes are carried into the decision, so only
// they get the canonical text: building it for every constraint was most of
// the cost of a passing evaluation.
std::optional<ConstraintOutcome> decide_constraint(std::size_t index,
                                                   const types::Constraint& constraint,
                                                   const Plan& plan, Slots intent, Slots evidence,
                                                   Word* words, Stack<Operand>& operands,
                                                   CanonicalTexts* texts) {
  if (constraint.optional) {
    for (const std::uint32_t slot : plan.optional_slots(index)) {
      if (!intent[slot]) return std::nullopt;  // skipped: passes
    }
  }
  const std::span<const TypedStep> typed = plan.typed_program(index);
  const TypedOutcome fast =
      typed.empty() ? TypedOutcome::Error : run_typed(typed, intent, evidence, words);
  if (fast == TypedOutcome::True) return std::nullopt;
  ConstraintOutcome outcome;
  outcome.index = index;
  if (fast == TypedOutcome::False) {
    outcome.kind = ConstraintOutcome::Kind::Failed;
    outcome.reason = "constraint evaluated to False";
  } else {
    // No typed program, or it raised an error: the generic program tells
    // the value or which error.
    Operand value;
    std::string error;
    const bool ok =
        run<false>(plan.program(index), intent, evidence, operands.data(), value, error, nullptr);
    if (ok && value.type() == Type::Bool && value.as_bool()) return std::nullopt;
    if (!ok) {
      outcome.kind = ConstraintOutcome::Kind::Errored;
      outcome.reason = std::move(error);
    } else if (value.type() == Type::Bool) {
      outcome.kind = ConstraintOutcome::Kind::Failed;
      outcome.reason = "constraint evaluated to False";
    } else {
      outcome.kind = ConstraintOutcome::Kind::Errored;
      outcome.reason = "internal: constraint did not return bool, got " + type_name(value.type());
    }
  }
  outcome.expression = texts ? texts->of(index) : canonical::pretty_expr(constraint.expr);
  return outcome;
}

std::uint32_t slot_of(std::span<const std::string_view> names, std::string_view name) {
  const auto it = std::lower_bound(names.begin(), names.end(), name);
  if (it == names.end() || *it != name) return Plan::kNoSlot;
  return static_cast<std::uint32_t>(it - names.begin());
}

template <typename Fields>
std::vector<std::string_view> names_of(const Fields& fields) {
  std::vector<std::string_view> names;
  names.reserve(fields.size());
  for (const auto& entry : fields) names.push_back(entry.first);
  return names;
}

// Pointers to the values of `values` by slot of `fields`.
template <typename Fields>
std::vector<const Value*> slots_of(const Fields& fields, const ValueMap& values) {
  std::vector<const Value*> slots;
  slots.reserve(fields.size());
  for (const auto& entry : fields) {
    const auto it = values.find(entry.first);
    slots.push_back(it == values.end() ? nullptr : &it->second);
  }
  return slots;
}

}  // namespace

Result<Value, std::string> eval_expr(const Expr& expr, const ValueMap& intent,
                                     const ValueMap& evidence, Trace* trace) {
  const std::vector<std::string_view> intent_names = names_of(intent);
  const std::vector<std::string_view> evidence_names = names_of(evidence);
  const Plan plan = Plan::for_expr(expr, intent_names, evidence_names);
  const std::vector<const Value*> intent_slots = slots_of(intent, intent);
  const std::vector<const Value*> evidence_slots = slots_of(evidence, evidence);
  Operand result;
  std::string error;
  Stack<Operand> stack(plan.stack_size(0));
  const bool ok = trace ? run<true>(plan.program(0), intent_slots, evidence_slots, stack.data(),
                                    result, error, trace)
                        : run<false>(plan.program(0), intent_slots, evidence_slots, stack.data(),
                                     result, error, nullptr);
  if (!ok) {
    return make_err(std::move(error));
  }
  switch (result.type()) {
    case Type::Bool:
      return Value{result.as_bool()};
    case Type::Int:
      return Value{result.as_int()};
    default:
      return Value{result.payload()};
  }
}

Plan::Plan(const types::PolicyTemplate& tmpl) {
  const std::vector<std::string_view> intent_names = names_of(tmpl.intent_schema.fields);
  const std::vector<std::string_view> evidence_names = names_of(tmpl.evidence_schema.fields);
  std::vector<bool> optional;
  for (const auto& [name, shape] : tmpl.intent_schema.fields) {
    optional.push_back(shape.optional);
    intent_.types.push_back(shape.type);
    intent_.required.push_back(!shape.optional);
  }
  for (const auto& [name, shape] : tmpl.evidence_schema.fields) {
    evidence_.types.push_back(shape.type);
    evidence_.required.push_back(true);
  }
  constraints_.reserve(tmpl.constraints.size());
  std::vector<Item> pending;
  for (const types::Constraint& c : tmpl.constraints) {
    add(c.expr, intent_names, evidence_names, c.optional ? &optional : nullptr, pending);
  }
  // A typed program has a step for every step of its generic one.
  typed_steps_.reserve(steps_.size());
  std::vector<Type> types;
  for (std::size_t index = 0; index < constraints_.size(); ++index) {
    Ranges& ranges = constraints_[index];
    ranges.typed_begin = typed_steps_.size();
    if (add_typed(program(index), types)) ranges.typed_end = typed_steps_.size();
  }
}

Plan Plan::for_expr(const Expr& expr, std::span<const std::string_view> intent_names,
                    std::span<const std::string_view> evidence_names) {
  Plan plan;
  std::vector<Item> pending;
  plan.add(expr, intent_names, evidence_names, nullptr, pending);
  return plan;
}

namespace {

Op op_of(types::ExprKind kind) {
  using K = types::ExprKind;
  switch (kind) {
    case K::Add:
      return Op::Add;
    case K::Sub:
      return Op::Sub;
    case K::Mul:
      return Op::Mul;
    case K::Eq:
      return Op::Eq;
    case K::Lt:
      return Op::Lt;
    case K::Le:
      return Op::Le;
    case K::Gt:
      return Op::Gt;
    case K::Ge:
      return Op::Ge;
    case K::In:
      return Op::In;
    case K::SubsetOf:
      return Op::SubsetOf;
    default:
      return Op::SupersetOf;
  }
}

}  // namespace

void Plan::add(const Expr& root, std::span<const std::string_view> intent_names,
               std::span<const std::string_view> evidence_names, const std::vector<bool>* optional,
               std::vector<Item>& pending) {
  Ranges ranges{steps_.size(), 0, static_cast<std::uint32_t>(optional_slots_.size()), 0, 0};
  // The last item is done first. An explicit stack: trees may be as deep as
  // MAX_EXPR_DEPTH.
  // A step that ends `node`, whose first step is at `begin`.
  const auto emit = [](Op op, const Expr& node, std::uint32_t begin, bool completes = true) {
    return Item{nullptr, Step{op, node.kind() == types::ExprKind::And, completes, begin, &node}};
  };
  pending.assign(1, Item{&root, {}});
  std::uint32_t depth = 0;  // values the program holds at this point
  while (!pending.empty()) {
    const Item item = pending.back();
    pending.pop_back();
    if (!item.expr) {
      steps_.push_back(item.step);
      // Operators take two values and leave one; Not leaves one for one;
      // Combine takes the operand into the connective's value.
      if (item.step.op != Op::Not) --depth;
      continue;
    }
    const Expr& expr = *item.expr;
    const auto begin = static_cast<std::uint32_t>(steps_.size() - ranges.steps_begin);
    switch (expr.kind()) {
      case types::ExprKind::Literal:
        steps_.push_back(Step{Op::Literal, false, true, kNoSlot, &expr});
        ++depth;
        break;
      case types::ExprKind::IntentField: {
        const std::uint32_t slot =
            slot_of(intent_names, std::get<types::IntentField>(expr.node).name);
        steps_.push_back(Step{Op::Intent, false, true, slot, &expr});
        ++depth;
        if (optional && slot != kNoSlot && (*optional)[slot]) optional_slots_.push_back(slot);
        break;
      }
      case types::ExprKind::EvidenceField:
        steps_.push_back(
            Step{Op::Evidence, false, true,
                 slot_of(evidence_names, std::get<types::EvidenceField>(expr.node).name), &expr});
        ++depth;
        break;
      case types::ExprKind::Not:
        pending.push_back(emit(Op::Not, expr, begin));
        pending.push_back(Item{std::get<types::Not>(expr.node).operand.get(), {}});
        break;
      case types::ExprKind::And:
      case types::ExprKind::Or: {
        const bool is_and = expr.kind() == types::ExprKind::And;
        const auto& operands = is_and ? std::get<types::And>(expr.node).operands
                                      : std::get<types::Or>(expr.node).operands;
        // Only the last Combine (or the Open of no operands) ends the node.
        for (auto it = operands.rbegin(); it != operands.rend(); ++it) {
          pending.push_back(emit(Op::Combine, expr, begin, it == operands.rbegin()));
          pending.push_back(Item{&*it, {}});
        }
        steps_.push_back(Step{Op::Open, is_and, operands.empty(), begin, &expr});
        ++depth;
        break;
      }
      default:
        pending.push_back(emit(op_of(expr.kind()), expr, begin));
        pending.push_back(Item{expr.binary()->right.get(), {}});
        pending.push_back(Item{expr.binary()->left.get(), {}});
        break;
    }
    ranges.stack = std::max(ranges.stack, depth);
  }
  max_stack_ = std::max(max_stack_, ranges.stack);
  ranges.steps_end = steps_.size();
  ranges.optional_end = static_cast<std::uint32_t>(optional_slots_.size());
  constraints_.push_back(ranges);
}

std::span<const Plan::Step> Plan::program(std::size_t index) const {
  const Ranges& r = constraints_[index];
  return std::span<const Step>(steps_).subspan(r.steps_begin, r.steps_end - r.steps_begin);
}

std::span<const TypedStep> Plan::typed_program(std::size_t index) const {
  const Ranges& r = constraints_[index];
  if (r.typed_end == 0) return {};
  return std::span<const TypedStep>(typed_steps_)
      .subspan(r.typed_begin, r.typed_end - r.typed_begin);
}

namespace {

// The typed step of a binary operator on operands of types `l` and `r`, and
// the type of its result; nullopt when the types do not fit it.
std::optional<std::pair<TypedStep::Op, Type>> typed_binary(Op op, Type l, Type r) {
  using T = TypedStep::Op;
  const auto of_set = [](Type set, T ints, T strings, T dates) -> std::optional<T> {
    if (set == Type::IntSet) return ints;
    if (set == Type::StringSet) return strings;
    if (set == Type::DateSet) return dates;
    return std::nullopt;
  };
  std::optional<T> typed;
  Type result = Type::Bool;
  switch (op) {
    case Op::Add:
    case Op::Sub:
    case Op::Mul:
      if (l == Type::Int && r == Type::Int) {
        typed = op == Op::Add ? T::Add : op == Op::Sub ? T::Sub : T::Mul;
        result = Type::Int;
      }
      break;
    case Op::Eq:
      if (l != r) break;
      typed = l == Type::String ? std::optional<T>(T::EqString)
                                : of_set(l, T::EqIntSet, T::EqStringSet, T::EqDateSet);
      if (!typed) typed = T::EqNumber;  // bool, int, date
      break;
    case Op::Lt:
    case Op::Le:
    case Op::Gt:
    case Op::Ge:
      if (l == r && (l == Type::Int || l == Type::Date)) {
        typed = op == Op::Lt ? T::Lt : op == Op::Le ? T::Le : op == Op::Gt ? T::Gt : T::Ge;
      }
      break;
    case Op::In:
      if (types::set_type_of(l) == r) typed = of_set(r, T::InInt, T::InString, T::InDate);
      break;
    case Op::SubsetOf:
      if (l == r) typed = of_set(l, T::SubsetInt, T::SubsetString, T::SubsetDate);
      break;
    case Op::SupersetOf:
      if (l == r) typed = of_set(l, T::SupersetInt, T::SupersetString, T::SupersetDate);
      break;
    default:
      break;
  }
  if (!typed) return std::nullopt;
  return std::pair{*typed, result};
}

TypedStep::Op load_op(Type type) {
  using T = TypedStep::Op;
  constexpr std::array<T, types::TYPE_COUNT> ops{T::LoadBool,   T::LoadInt,    T::LoadString,
                                                 T::LoadDate,   T::LoadIntSet, T::LoadStringSet,
                                                 T::LoadDateSet};
  return ops[static_cast<std::size_t>(type)];
}

// A literal as a typed program holds it.
Word word_of(const Scalar& data) {
  Word w{};
  std::visit(
      [&](const auto& v) {
        using V = std::decay_t<decltype(v)>;
        if constexpr (std::is_same_v<V, bool>) {
          w.number = v ? 1 : 0;
        } else if constexpr (std::is_same_v<V, std::int64_t>) {
          w.number = v;
        } else if constexpr (std::is_same_v<V, types::DateLit>) {
          w.number = pack_date(v);
        } else {
          w.object = &v;
        }
      },
      data);
  return w;
}

}  // namespace

bool Plan::add_typed(std::span<const Step> program, std::vector<Type>& stack) {
  using T = TypedStep::Op;
  const std::size_t begin = typed_steps_.size();
  stack.clear();  // the type of every value the program holds
  const auto fail = [&] {
    typed_steps_.resize(begin);
    return false;
  };
  for (const Step& step : program) {
    TypedStep typed{T::Push, false, 0, Word{}};
    switch (step.op) {
      case Op::Literal: {
        const Scalar& data = std::get<types::Literal>(step.node->node).data;
        typed.word = word_of(data);
        stack.push_back(type_of(data));
        break;
      }
      case Op::Intent:
      case Op::Evidence: {
        const Side& side = step.op == Op::Intent ? intent_ : evidence_;
        if (step.slot >= side.types.size()) return fail();  // an undeclared name
        typed = TypedStep{load_op(side.types[step.slot]), step.op == Op::Evidence, step.slot, {}};
        stack.push_back(side.types[step.slot]);
        break;
      }
      case Op::Not:
        if (stack.back() != Type::Bool) return fail();
        typed.op = T::Not;
        break;
      case Op::Open:
        typed.word.number = step.is_and ? 1 : 0;
        stack.push_back(Type::Bool);
        break;
      case Op::Combine:
        if (stack.back() != Type::Bool) return fail();
        stack.pop_back();
        typed.op = step.is_and ? T::And : T::Or;
        break;
      default: {
        const Type r = stack.back();
        stack.pop_back();
        const auto fits = typed_binary(step.op, stack.back(), r);
        if (!fits) return fail();
        typed.op = fits->first;
        stack.back() = fits->second;
        break;
      }
    }
    typed_steps_.push_back(typed);
  }
  if (stack.size() != 1 || stack.back() != Type::Bool) return fail();
  return true;
}

std::span<const std::uint32_t> Plan::optional_slots(std::size_t index) const {
  const Ranges& r = constraints_[index];
  return std::span<const std::uint32_t>(optional_slots_)
      .subspan(r.optional_begin, r.optional_end - r.optional_begin);
}

Evaluation evaluate(const types::PolicyTemplate& tmpl, const ValueMap& intent,
                    const ValueMap& evidence) {
  // Maps may hold any names, so the passes run on them by name first.
  if (auto problem = validate_inputs(tmpl, intent, evidence)) {
    return InputValidationFailure{std::move(*problem)};
  }
  const Plan plan(tmpl);
  const std::vector<const Value*> intent_slots = slots_of(tmpl.intent_schema.fields, intent);
  const std::vector<const Value*> evidence_slots = slots_of(tmpl.evidence_schema.fields, evidence);
  return evaluate(tmpl, plan, intent_slots, evidence_slots);
}

const std::string& CanonicalTexts::of(std::size_t index) {
  std::optional<std::string>& text = texts_[index];
  if (!text) text = canonical::pretty_expr(tmpl_.constraints[index].expr);
  return *text;
}

Evaluation evaluate(const types::PolicyTemplate& tmpl, const Plan& plan, Slots intent,
                    Slots evidence, CanonicalTexts* texts) {
  if (auto problem = validate_slots(tmpl, plan, intent, evidence)) {
    return InputValidationFailure{std::move(*problem)};
  }
  Decision decision;
  Stack<Word> words(plan.max_stack_size());
  Stack<Operand> operands(plan.max_stack_size());
  for (std::size_t index = 0; index < tmpl.constraints.size(); ++index) {
    // Passed outcomes carry nothing the report shows.
    if (auto outcome = decide_constraint(index, tmpl.constraints[index], plan, intent, evidence,
                                         words.data(), operands, texts)) {
      decision.outcomes.push_back(std::move(*outcome));
    }
  }
  decision.kind = decision.outcomes.empty() ? Decision::Kind::Pass : Decision::Kind::Fail;
  return decision;
}

}  // namespace verdane::evaluator
