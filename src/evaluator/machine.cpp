#include "evaluator/machine.h"

#include <algorithm>
#include <compare>
#include <optional>
#include <string_view>
#include <utility>

#include "evaluator/by_name.h"

namespace verdane::evaluator {

namespace {

using types::Expr;
using types::Scalar;
using types::Type;
using types::Value;
using types::ValueMap;

std::string type_name(Type type) { return std::string(types::type_text(type)); }

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
    order = l.payload().as_date() <=> r.payload().as_date();
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
    const auto items = set.payload().as_ints();
    out = Operand::boolean(std::binary_search(items.begin(), items.end(), element.as_int()));
  } else if (e == Type::String && s == Type::StringSet) {
    out = Operand::boolean(set.payload().as_texts().contains(element.payload().as_text()));
  } else if (e == Type::Date && s == Type::DateSet) {
    const auto items = set.payload().as_dates();
    out = Operand::boolean(
        std::binary_search(items.begin(), items.end(), element.payload().as_date()));
  } else {
    error = pair_error("internal: `in` operand types `", e, s);
    return false;
  }
  return true;
}

// Whether every element of `sub` is in `super`, for two sets of one kind;
// nullopt for any other pair of values.
std::optional<bool> subset(Operand sub, Operand super) {
  if (sub.type() != super.type() || !types::is_set_type(sub.type())) return std::nullopt;
  const types::ValueView& a = sub.payload();
  const types::ValueView& b = super.payload();
  switch (sub.type()) {
    case Type::IntSet:
      return std::includes(b.as_ints().begin(), b.as_ints().end(), a.as_ints().begin(),
                           a.as_ints().end());
    case Type::DateSet:
      return std::includes(b.as_dates().begin(), b.as_dates().end(), a.as_dates().begin(),
                           a.as_dates().end());
    default:
      return a.as_texts().is_subset_of(b.as_texts());
  }
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
  return types::to_scalar(value.payload());
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
bool run(std::span<const types::ValueView> literals, std::span<const Plan::Step> program,
         Slots intent, Slots evidence, Operand* stack, Operand& result, std::string& error,
         Trace* trace) {
  Operand* top = stack;  // one past the topmost value
  for (std::size_t at = 0; at < program.size(); ++at) {
    const Plan::Step& step = program[at];
    bool ok = true;
    switch (step.op) {
      case Op::Literal:
        *top++ = Operand::borrow(literals[step.slot]);
        break;
      case Op::Intent:
      case Op::Evidence: {
        const bool is_intent = step.op == Op::Intent;
        const Slots values = is_intent ? intent : evidence;
        if (step.slot >= values.size() || !values[step.slot].present()) {
          error = absent_error(is_intent ? "intent" : "evidence", *step.node);
          ok = false;
          break;
        }
        *top++ = Operand::borrow(values[step.slot]);
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

}  // namespace

bool run_program(const Plan& plan, std::span<const Plan::Step> program, Slots intent,
                 Slots evidence, Operand* stack, Operand& result, std::string& error,
                 Trace* trace) {
  return trace ? run<true>(plan.literals(), program, intent, evidence, stack, result, error, trace)
               : run<false>(plan.literals(), program, intent, evidence, stack, result, error,
                            nullptr);
}

Result<Value, std::string> eval_expr(const Expr& expr, const ValueMap& intent,
                                     const ValueMap& evidence, Trace* trace) {
  const std::vector<std::string_view> intent_names = names_of(intent);
  const std::vector<std::string_view> evidence_names = names_of(evidence);
  const Plan plan = Plan::for_expr(expr, intent_names, evidence_names);
  const ViewSlots intent_slots(intent, intent);
  const ViewSlots evidence_slots(evidence, evidence);
  Operand result;
  std::string error;
  Stack<Operand> stack(plan.stack_size(0));
  if (!run_program(plan, plan.program(0), intent_slots.slots, evidence_slots.slots, stack.data(),
                   result, error, trace)) {
    return make_err(std::move(error));
  }
  switch (result.type()) {
    case Type::Bool:
      return Value{result.as_bool()};
    case Type::Int:
      return Value{result.as_int()};
    default:
      return Value{types::to_scalar(result.payload())};
  }
}

}  // namespace verdane::evaluator
