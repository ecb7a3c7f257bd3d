#include "dump.h"

#include <type_traits>
#include <variant>

namespace verdane::parser::ast::testing {

namespace {

std::string date_text(const types::DateLit& d) {
  std::string out = "date(";
  out += std::to_string(d.year);
  out += '-';
  out += std::to_string(d.month);
  out += '-';
  out += std::to_string(d.day);
  out += ')';
  return out;
}

std::string literal_text(const LiteralAst& lit) {
  return std::visit(
      [](const auto& v) -> std::string {
        using T = std::decay_t<decltype(v)>;
        if constexpr (std::is_same_v<T, bool>) {
          return v ? "true" : "false";
        } else if constexpr (std::is_same_v<T, std::int64_t>) {
          return std::to_string(v);
        } else if constexpr (std::is_same_v<T, std::string>) {
          return "\"" + v + "\"";
        } else if constexpr (std::is_same_v<T, types::DateLit>) {
          return date_text(v);
        } else if constexpr (std::is_same_v<T, SetLiteral>) {
          std::string out = "{";
          for (std::size_t i = 0; i < v.elements.size(); ++i) {
            if (i > 0) out += ",";
            out += std::visit(
                [](const auto& el) -> std::string {
                  using E = std::decay_t<decltype(el)>;
                  if constexpr (std::is_same_v<E, std::int64_t>) {
                    return std::to_string(el);
                  } else if constexpr (std::is_same_v<E, std::string>) {
                    return "\"" + el + "\"";
                  } else {
                    return date_text(el);
                  }
                },
                v.elements[i]);
          }
          return out + "}";
        } else {
          return "{}";
        }
      },
      lit);
}

const char* cmp_text(CmpOp op) {
  switch (op) {
    case CmpOp::Eq:
      return "==";
    case CmpOp::Lt:
      return "<";
    case CmpOp::Le:
      return "<=";
    case CmpOp::Gt:
      return ">";
    case CmpOp::Ge:
      return ">=";
  }
  return "?";
}

const char* set_op_text(SetOpAst op) {
  switch (op) {
    case SetOpAst::In:
      return "in";
    case SetOpAst::NotIn:
      return "not-in";
    case SetOpAst::SubsetOf:
      return "subset-of";
    case SetOpAst::SupersetOf:
      return "superset-of";
  }
  return "?";
}

const char* arith_text(ArithOp op) {
  switch (op) {
    case ArithOp::Add:
      return "+";
    case ArithOp::Sub:
      return "-";
    case ArithOp::Mul:
      return "*";
  }
  return "?";
}

std::string span_text(Span s, std::size_t base) {
  if (base == SIZE_MAX) return "";
  std::string out = "@";
  out += std::to_string(s.start - base);
  out += '-';
  out += std::to_string(s.end - base);
  return out;
}

}  // namespace

std::string dump(const ExprAst& e, std::size_t base) {
  std::string body = std::visit(
      [&](const auto& n) -> std::string {
        using T = std::decay_t<decltype(n)>;
        if constexpr (std::is_same_v<T, Literal>) {
          return literal_text(n.value);
        } else if constexpr (std::is_same_v<T, Field>) {
          return std::string(n.ns == Namespace::Intent ? "intent." : "evidence.") + n.name +
                 span_text(n.name_span, base);
        } else if constexpr (std::is_same_v<T, Not>) {
          std::string out = "(not ";
          out += dump(*n.operand, base);
          out += ')';
          return out;
        } else if constexpr (std::is_same_v<T, And> || std::is_same_v<T, Or>) {
          std::string out = std::is_same_v<T, And> ? "(and" : "(or";
          for (const auto& op : n.operands) {
            out += ' ';
            out += dump(op, base);
          }
          return out + ")";
        } else if constexpr (std::is_same_v<T, Chain>) {
          std::string out = "(chain " + dump(n.operands[0], base);
          for (std::size_t i = 0; i < n.ops.size(); ++i) {
            out += std::string(" ") + cmp_text(n.ops[i]) + span_text(n.op_spans[i], base) + " " +
                   dump(n.operands[i + 1], base);
          }
          return out + ")";
        } else if constexpr (std::is_same_v<T, SetOp>) {
          return std::string("(") + set_op_text(n.op) + span_text(n.op_span, base) + " " +
                 dump(*n.lhs, base) + " " + dump(*n.rhs, base) + ")";
        } else if constexpr (std::is_same_v<T, Arith>) {
          return std::string("(") + arith_text(n.op) + span_text(n.op_span, base) + " " +
                 dump(*n.lhs, base) + " " + dump(*n.rhs, base) + ")";
        } else {
          std::string out = "(paren ";
          out += dump(*n.operand, base);
          out += ')';
          return out;
        }
      },
      e.kind);
  return body + span_text(e.span, base);
}

}  // namespace verdane::parser::ast::testing
