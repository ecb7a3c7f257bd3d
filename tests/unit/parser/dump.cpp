#include "dump.h"

#include <vector>

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

std::string element_text(NodeRef el) {
  switch (el.element_kind()) {
    case ElementKind::Int:
      return std::to_string(el.int_value());
    case ElementKind::Str:
      return "\"" + std::string(el.str()) + "\"";
    case ElementKind::Date:
      return date_text(el.date());
  }
  return "?";
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

std::string dump_node(NodeRef n, std::size_t base) {
  std::string body;
  switch (n.kind()) {
    case NodeKind::Bool:
      body = n.bool_value() ? "true" : "false";
      break;
    case NodeKind::Int:
      body = std::to_string(n.int_value());
      break;
    case NodeKind::Str:
      body = "\"" + std::string(n.str()) + "\"";
      break;
    case NodeKind::Date:
      body = date_text(n.date());
      break;
    case NodeKind::Set:
      body = "{";
      for (std::size_t i = 0; i < n.count(); ++i) {
        if (i > 0) body += ",";
        body += element_text(n.element(i));
      }
      body += "}";
      break;
    case NodeKind::EmptySet:
      body = "{}";
      break;
    case NodeKind::Field:
      body = std::string(n.ns() == Namespace::Intent ? "intent." : "evidence.") +
             std::string(n.name()) + span_text(n.name_span(), base);
      break;
    case NodeKind::Not:
      body = "(not " + dump_node(n.operand(), base) + ")";
      break;
    case NodeKind::And:
    case NodeKind::Or: {
      body = n.kind() == NodeKind::And ? "(and" : "(or";
      std::vector<NodeRef> operands;
      n.operands(operands);
      for (NodeRef op : operands) body += " " + dump_node(op, base);
      body += ")";
      break;
    }
    case NodeKind::Chain: {
      std::vector<NodeRef> operands;
      n.operands(operands);
      body = "(chain " + dump_node(operands[0], base);
      for (std::size_t i = 1; i < operands.size(); ++i) {
        const NodeRef link = operands[i];
        body += std::string(" ") + cmp_text(link.cmp_op()) + span_text(link.op_span(), base) + " " +
                dump_node(link.operand(), base);
      }
      body += ")";
      break;
    }
    case NodeKind::SetOp:
      body = std::string("(") + set_op_text(n.set_op()) + span_text(n.op_span(), base) + " " +
             dump_node(n.lhs(), base) + " " + dump_node(n.rhs(), base) + ")";
      break;
    case NodeKind::Arith:
      body = std::string("(") + arith_text(n.arith_op()) + span_text(n.op_span(), base) + " " +
             dump_node(n.lhs(), base) + " " + dump_node(n.rhs(), base) + ")";
      break;
    case NodeKind::Paren:
      body = "(paren " + dump_node(n.operand(), base) + ")";
      break;
    case NodeKind::Element:
    case NodeKind::Link:
      body = "<part>";
      break;
  }
  return body + span_text(n.span(), base);
}

}  // namespace

std::string dump(const ExprAst& e, std::size_t base) { return dump_node(e.root(), base); }

}  // namespace verdane::parser::ast::testing
