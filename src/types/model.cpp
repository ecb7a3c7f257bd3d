#include "types/model.h"

#include <type_traits>

namespace verdane::types {

std::string_view type_text(Type type) {
  switch (type) {
    case Type::Bool:
      return "bool";
    case Type::Int:
      return "int";
    case Type::String:
      return "string";
    case Type::Date:
      return "date";
    case Type::IntSet:
      return "set<int>";
    case Type::StringSet:
      return "set<string>";
    case Type::DateSet:
      return "set<date>";
  }
  return "?";
}

bool is_set_type(Type type) {
  return type == Type::IntSet || type == Type::StringSet || type == Type::DateSet;
}

std::optional<Type> element_type(Type type) {
  switch (type) {
    case Type::IntSet:
      return Type::Int;
    case Type::StringSet:
      return Type::String;
    case Type::DateSet:
      return Type::Date;
    default:
      return std::nullopt;
  }
}

std::optional<Type> set_type_of(Type type) {
  switch (type) {
    case Type::Int:
      return Type::IntSet;
    case Type::String:
      return Type::StringSet;
    case Type::Date:
      return Type::DateSet;
    default:
      return std::nullopt;
  }
}

const Binary* Expr::binary() const {
  return std::visit(
      [](const auto& n) -> const Binary* {
        using N = std::decay_t<decltype(n)>;
        if constexpr (std::is_base_of_v<Binary, N>) {
          return &n;
        } else {
          return nullptr;
        }
      },
      node);
}

Expr make_not(Expr operand) { return Expr{Not{std::make_unique<Expr>(std::move(operand))}}; }

Expr make_literal(Scalar value) { return Expr{Literal{std::move(value)}}; }

// deep_copy and operator== recurse once per tree level; trees are bounded by
// MAX_EXPR_DEPTH, which keeps the recursion well inside the stack.
Expr deep_copy(const Expr& expr) {
  return std::visit(
      [](const auto& n) -> Expr {
        using N = std::decay_t<decltype(n)>;
        if constexpr (std::is_base_of_v<Binary, N>) {
          N copy;
          copy.pair =
              std::make_unique<OperandPair>(OperandPair{deep_copy(n.left()), deep_copy(n.right())});
          return Expr{std::move(copy)};
        } else if constexpr (std::is_same_v<N, Not>) {
          return make_not(deep_copy(*n.operand));
        } else if constexpr (std::is_same_v<N, And> || std::is_same_v<N, Or>) {
          N copy;
          copy.operands.reserve(n.operands.size());
          for (const Expr& op : n.operands) copy.operands.push_back(deep_copy(op));
          return Expr{std::move(copy)};
        } else {
          return Expr{n};  // Literal, IntentField, EvidenceField copy by value
        }
      },
      expr.node);
}

bool operator==(const Expr& a, const Expr& b) {
  if (a.node.index() != b.node.index()) return false;
  return std::visit(
      [&b](const auto& x) -> bool {
        using N = std::decay_t<decltype(x)>;
        const N& y = std::get<N>(b.node);
        if constexpr (std::is_base_of_v<Binary, N>) {
          return x.left() == y.left() && x.right() == y.right();
        } else if constexpr (std::is_same_v<N, Not>) {
          return *x.operand == *y.operand;
        } else if constexpr (std::is_same_v<N, And> || std::is_same_v<N, Or>) {
          return x.operands == y.operands;
        } else if constexpr (std::is_same_v<N, Literal>) {
          return x == y;
        } else {
          return x.name == y.name;
        }
      },
      a.node);
}

bool operator==(const Constraint& a, const Constraint& b) {
  return a.optional == b.optional && a.expr == b.expr;
}

bool operator==(const PolicyTemplate& a, const PolicyTemplate& b) {
  return a.name == b.name && a.intent_schema == b.intent_schema &&
         a.evidence_schema == b.evidence_schema && a.constraints == b.constraints;
}

}  // namespace verdane::types
