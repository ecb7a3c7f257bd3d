// The planner: a template's constraints as programs of steps, generic and
// typed.
#include <algorithm>
#include <array>
#include <cstddef>
#include <memory_resource>
#include <optional>
#include <string_view>
#include <type_traits>
#include <utility>

#include "evaluator/by_name.h"
#include "evaluator/evaluate.h"
#include "evaluator/machine.h"
#include "types/operators.h"

namespace verdane::evaluator {

namespace {

using types::Expr;
using types::Type;
using Op = Plan::Step::Op;

std::uint32_t slot_of(std::span<const std::string_view> names, std::string_view name) {
  // A schema of a few fields is searched in a row, which compares lengths
  // before bytes: cheaper there than halving by byte order. Names are unique,
  // so both searches find the same slot.
  constexpr std::size_t kFewNames = 16;
  if (names.size() <= kFewNames) {
    for (std::size_t slot = 0; slot < names.size(); ++slot) {
      if (names[slot] == name) return static_cast<std::uint32_t>(slot);
    }
    return Plan::kNoSlot;
  }
  const auto it = std::lower_bound(names.begin(), names.end(), name);
  if (it == names.end() || *it != name) return Plan::kNoSlot;
  return static_cast<std::uint32_t>(it - names.begin());
}

// How many steps and literals the programs of `tmpl` take: a step per node,
// and one more per operand of a connective (its Combine). Walked with an
// explicit stack, as trees may be as deep as MAX_EXPR_DEPTH.
struct Counts {
  std::size_t steps = 0;
  std::size_t literals = 0;
};
Counts counts_of(const types::PolicyTemplate& tmpl, std::pmr::memory_resource* memory) {
  Counts count;
  std::pmr::vector<const Expr*> todo(memory);
  todo.reserve(16);
  for (const types::Constraint& c : tmpl.constraints) {
    todo.push_back(&c.expr);
    while (!todo.empty()) {
      const Expr& expr = *todo.back();
      todo.pop_back();
      ++count.steps;
      switch (expr.kind()) {
        case types::ExprKind::Literal:
          ++count.literals;
          break;
        case types::ExprKind::IntentField:
        case types::ExprKind::EvidenceField:
          break;
        case types::ExprKind::Not:
          todo.push_back(std::get<types::Not>(expr.node).operand.get());
          break;
        case types::ExprKind::And:
        case types::ExprKind::Or: {
          const auto& operands = expr.kind() == types::ExprKind::And
                                     ? std::get<types::And>(expr.node).operands
                                     : std::get<types::Or>(expr.node).operands;
          count.steps += operands.size();
          for (const Expr& operand : operands) todo.push_back(&operand);
          break;
        }
        default:
          todo.push_back(&expr.binary()->left());
          todo.push_back(&expr.binary()->right());
          break;
      }
    }
  }
  return count;
}

}  // namespace

Plan::Plan(const types::PolicyTemplate& tmpl) {
  // Every vector is sized before it is filled: start-up of a small `eval`
  // is mostly allocations, and each growth step is one more. The lists used
  // only while planning live in a block on the stack, which a small
  // template does not outgrow. Both sides' names share one list.
  std::array<std::byte, 2048> block;
  std::pmr::monotonic_buffer_resource memory(block.data(), block.size());
  const std::size_t intents = tmpl.intent_schema.fields.size();
  const std::size_t evidences = tmpl.evidence_schema.fields.size();
  std::pmr::vector<std::string_view> names(&memory);
  names.reserve(intents + evidences);
  slot_types_.reserve(intents + evidences);
  slot_required_.reserve(intents + evidences);
  for (const auto& [name, shape] : tmpl.intent_schema.fields) {
    names.push_back(name);
    slot_types_.push_back(shape.type);
    slot_required_.push_back(!shape.optional);
  }
  for (const auto& [name, shape] : tmpl.evidence_schema.fields) {
    names.push_back(name);
    slot_types_.push_back(shape.type);
    slot_required_.push_back(true);
  }
  intent_ = Side{std::span(slot_types_).first(intents), std::span(slot_required_).first(intents)};
  evidence_ =
      Side{std::span(slot_types_).subspan(intents), std::span(slot_required_).subspan(intents)};
  const std::span<const std::string_view> intent_names(names.data(), intents);
  const std::span<const std::string_view> evidence_names(names.data() + intents, evidences);
  const Counts counts = counts_of(tmpl, &memory);
  constraints_.reserve(tmpl.constraints.size());
  steps_.reserve(counts.steps);
  literals_.reserve(counts.literals);
  std::pmr::vector<Item> pending(&memory);
  pending.reserve(16);
  for (const types::Constraint& c : tmpl.constraints) {
    add(c.expr, intent_names, evidence_names, c.optional ? intent_.required.data() : nullptr,
        pending);
  }
  // A typed program has a step for every step of its generic one, and holds
  // no more values than the generic one.
  typed_steps_.reserve(steps_.size());
  std::pmr::vector<Type> types(&memory);
  types.reserve(max_stack_);
  for (std::size_t index = 0; index < constraints_.size(); ++index) {
    Ranges& ranges = constraints_[index];
    ranges.typed_begin = typed_steps_.size();
    if (add_typed(program(index), types)) ranges.typed_end = typed_steps_.size();
  }
}

Plan Plan::for_expr(const Expr& expr, std::span<const std::string_view> intent_names,
                    std::span<const std::string_view> evidence_names) {
  Plan plan;
  std::pmr::vector<Item> pending;
  plan.add(expr, intent_names, evidence_names, nullptr, pending);
  return plan;
}

namespace {

// Operator steps have the numbers of their kinds, so the table's row of a
// step is found by number.
constexpr bool same_number(Op op, types::ExprKind kind) {
  return static_cast<int>(op) == static_cast<int>(kind);
}
static_assert(
    same_number(Op::Add, types::ExprKind::Add) && same_number(Op::Sub, types::ExprKind::Sub) &&
    same_number(Op::Mul, types::ExprKind::Mul) && same_number(Op::Eq, types::ExprKind::Eq) &&
    same_number(Op::Lt, types::ExprKind::Lt) && same_number(Op::Le, types::ExprKind::Le) &&
    same_number(Op::Gt, types::ExprKind::Gt) && same_number(Op::Ge, types::ExprKind::Ge) &&
    same_number(Op::In, types::ExprKind::In) &&
    same_number(Op::SubsetOf, types::ExprKind::SubsetOf) &&
    same_number(Op::SupersetOf, types::ExprKind::SupersetOf) &&
    same_number(Op::Not, types::ExprKind::Not));

// The step of an operator other than a connective.
Op op_of(types::ExprKind kind) { return static_cast<Op>(kind); }
types::ExprKind kind_of(Op op) { return static_cast<types::ExprKind>(op); }

}  // namespace

void Plan::add(const Expr& root, std::span<const std::string_view> intent_names,
               std::span<const std::string_view> evidence_names, const std::uint8_t* required,
               std::pmr::vector<Item>& pending) {
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
        steps_.push_back(
            Step{Op::Literal, false, true, static_cast<std::uint32_t>(literals_.size()), &expr});
        literals_.push_back(
            types::view_of(std::get<types::Literal>(expr.node).data, literal_storage_));
        ++depth;
        break;
      case types::ExprKind::IntentField: {
        const std::uint32_t slot =
            slot_of(intent_names, std::get<types::IntentField>(expr.node).name);
        steps_.push_back(Step{Op::Intent, false, true, slot, &expr});
        ++depth;
        if (required && slot != kNoSlot && !required[slot]) optional_slots_.push_back(slot);
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
        pending.push_back(Item{&expr.binary()->right(), {}});
        pending.push_back(Item{&expr.binary()->left(), {}});
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
// the type of its result; nullopt when the types do not fit it. Which types
// fit and what the result is are the operator table's; only the choice of a
// typed step by operand type is made here.
std::optional<std::pair<TypedStep::Op, Type>> typed_binary(Op op, Type l, Type r) {
  using T = TypedStep::Op;
  const types::Operator& row = *types::operator_of(kind_of(op));
  if (!types::operands_fit(row.operands, l, r)) return std::nullopt;
  const auto of_set = [](Type set, T ints, T strings, T dates) -> std::optional<T> {
    if (set == Type::IntSet) return ints;
    if (set == Type::StringSet) return strings;
    if (set == Type::DateSet) return dates;
    return std::nullopt;
  };
  std::optional<T> typed;
  switch (op) {
    case Op::Add:
      typed = T::Add;
      break;
    case Op::Sub:
      typed = T::Sub;
      break;
    case Op::Mul:
      typed = T::Mul;
      break;
    case Op::Eq:
      typed = l == Type::String ? std::optional<T>(T::EqString)
                                : of_set(l, T::EqIntSet, T::EqStringSet, T::EqDateSet);
      if (!typed) typed = T::EqNumber;  // bool, int, date
      break;
    case Op::Lt:
      typed = T::Lt;
      break;
    case Op::Le:
      typed = T::Le;
      break;
    case Op::Gt:
      typed = T::Gt;
      break;
    case Op::Ge:
      typed = T::Ge;
      break;
    case Op::In:
      typed = of_set(r, T::InInt, T::InString, T::InDate);
      break;
    case Op::SubsetOf:
      typed = of_set(l, T::SubsetInt, T::SubsetString, T::SubsetDate);
      break;
    case Op::SupersetOf:
      typed = of_set(l, T::SupersetInt, T::SupersetString, T::SupersetDate);
      break;
    default:
      break;
  }
  if (!typed) return std::nullopt;
  return std::pair{*typed, row.result};
}

TypedStep::Op load_op(Type type) {
  using T = TypedStep::Op;
  constexpr std::array<T, types::TYPE_COUNT> ops{T::LoadBool,   T::LoadInt,    T::LoadString,
                                                 T::LoadDate,   T::LoadIntSet, T::LoadStringSet,
                                                 T::LoadDateSet};
  return ops[static_cast<std::size_t>(type)];
}

// A literal as a typed program holds it: numbers by value, texts and sets
// by a pointer to its view, which the plan keeps.
Word word_of(const types::ValueView& view) {
  Word w{};
  switch (view.type()) {
    case Type::Bool:
    case Type::Int:
      w.number = view.as_int();
      break;
    case Type::Date:
      w.number = pack_date(view.as_date());
      break;
    default:
      w.object = &view;
      break;
  }
  return w;
}

}  // namespace

bool Plan::add_typed(std::span<const Step> program, std::pmr::vector<Type>& stack) {
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
        const types::ValueView& literal = literals_[step.slot];
        typed.word = word_of(literal);
        stack.push_back(literal.type());
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

}  // namespace verdane::evaluator
