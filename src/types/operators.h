// The one table of operators (types/operators.def) and what is read from it.
#pragma once

#include <array>
#include <cstdint>
#include <string_view>

#include "types/model.h"

namespace verdane::types {

// How tightly a form binds, loosest first; operands of a looser form are
// parenthesised. Atom: literals and fields.
enum class Binding : std::uint8_t {
  Connective = 1,
  Relation = 2,
  Not = 3,
  Additive = 4,
  Multiplicative = 5,
  Atom = 6,
};

// What an operator's operands must be.
enum class Operands : std::uint8_t {
  Ints,           // two ints
  Same,           // two of one type
  Ordered,        // two ints or two dates
  ElementAndSet,  // a value and a set of its type
  Sets,           // two sets of one type
  Bools,          // bools, however many
};

// The operand fields a node holds: Binary's left and right, Not's operand,
// or the operand list of And and Or.
enum class Arity : std::uint8_t { Two, One, Many };

struct Operator {
  ExprKind kind;
  std::string_view spelling;
  Binding binding;
  Operands operands;
  Type result;
  Arity arity;
};

inline constexpr std::array kOperators{
#define OPERATOR(kind, spelling, binding, operands, result, arity) \
  Operator{ExprKind::kind,     spelling,     Binding::binding,     \
           Operands::operands, Type::result, Arity::arity},
#include "types/operators.def"
#undef OPERATOR
};

// Operators follow the three atoms in ExprKind, in the table's order.
inline constexpr std::size_t kFirstOperator = static_cast<std::size_t>(ExprKind::Add);
static_assert(kFirstOperator + kOperators.size() == EXPR_KIND_COUNT);
static_assert([] {
  for (std::size_t i = 0; i < kOperators.size(); ++i) {
    if (static_cast<std::size_t>(kOperators[i].kind) != kFirstOperator + i) return false;
  }
  return true;
}());

// The table's row for `kind`; nullptr for literals and fields.
constexpr const Operator* operator_of(ExprKind kind) {
  const auto i = static_cast<std::size_t>(kind);
  return i < kFirstOperator ? nullptr : &kOperators[i - kFirstOperator];
}

// How tightly `kind` binds: its row's binding, Atom for literals and fields.
constexpr Binding binding_of(ExprKind kind) {
  const Operator* op = operator_of(kind);
  return op ? op->binding : Binding::Atom;
}

// Whether operands of types `left` and `right` (for Bools, each operand is
// checked on its own as `left`) fit `rule`.
inline bool operands_fit(Operands rule, Type left, Type right) {
  switch (rule) {
    case Operands::Ints:
      return left == Type::Int && right == Type::Int;
    case Operands::Same:
      return left == right;
    case Operands::Ordered:
      return left == right && (left == Type::Int || left == Type::Date);
    case Operands::ElementAndSet:
      return set_type_of(left) == right;
    case Operands::Sets:
      return left == right && is_set_type(left);
    case Operands::Bools:
      return left == Type::Bool;
  }
  return false;
}

}  // namespace verdane::types
