#include "analysis/check.h"

#include "analysis/walk.h"
#include "types/operators.h"
#include "types/optional_reads.h"

namespace verdane::analysis {

namespace {

using types::Expr;
using types::ExprKind;
using types::Type;

std::string text(Type t) {
  // Appended piece by piece: `"`" + std::string(...)` draws a false
  // -Wrestrict warning from g++ 12.
  std::string out = "`";
  out.append(types::type_text(t)).append("`");
  return out;
}

std::string pair_text(Type a, Type b) { return text(a) + " and " + text(b); }

// The type of `expr` given its operands' types, or the problem.
Result<Type, std::string> node_type(const types::PolicyTemplate& tmpl, const Expr& expr,
                                    const NodeTypes& known) {
  const auto type_of = [&](const Expr* e) { return known.at(e); };
  switch (expr.kind()) {
    case ExprKind::Literal:
      return std::get<types::Literal>(expr.node).type();
    case ExprKind::IntentField: {
      const auto& name = std::get<types::IntentField>(expr.node).name;
      const auto it = tmpl.intent_schema.fields.find(name);
      if (it == tmpl.intent_schema.fields.end()) {
        return make_err("reads intent field `" + name +
                        "`, which the intent schema does not declare");
      }
      return it->second.type;
    }
    case ExprKind::EvidenceField: {
      const auto& name = std::get<types::EvidenceField>(expr.node).name;
      const auto it = tmpl.evidence_schema.fields.find(name);
      if (it == tmpl.evidence_schema.fields.end()) {
        return make_err("reads evidence field `" + name +
                        "`, which the evidence schema does not declare");
      }
      return it->second.type;
    }
    default:
      break;
  }
  const types::Operator* row = types::operator_of(expr.kind());
  if (row == nullptr) return make_err("holds an expression of unknown kind");
  std::string op = "`";
  op.append(row->spelling).append("`");
  if (row->arity == types::Arity::Two) {
    const Type l = type_of(&expr.binary()->left());
    const Type r = type_of(&expr.binary()->right());
    if (types::operands_fit(row->operands, l, r)) return row->result;
    switch (row->operands) {
      case types::Operands::Ints:
        return make_err(op + " needs two int operands, not " + pair_text(l, r));
      case types::Operands::Same:
        return make_err(op + " compares operands of different types, " + pair_text(l, r));
      case types::Operands::Ordered:
        return make_err(op + " needs two ints or two dates, not " + pair_text(l, r));
      case types::Operands::ElementAndSet:
        return make_err(op + " needs an element and a set of its type, not " + pair_text(l, r));
      case types::Operands::Sets:
        return make_err(op + " needs two sets of one type, not " + pair_text(l, r));
      case types::Operands::Bools:
        break;
    }
    return make_err(op + " needs bool operands, not " + pair_text(l, r));
  }
  if (row->arity == types::Arity::One) {
    const Type t = type_of(std::get<types::Not>(expr.node).operand.get());
    if (!types::operands_fit(row->operands, t, t)) {
      return make_err(op + " needs a bool operand, not " + text(t));
    }
    return row->result;
  }
  const auto& operands = expr.kind() == ExprKind::And ? std::get<types::And>(expr.node).operands
                                                      : std::get<types::Or>(expr.node).operands;
  for (const Expr& e : operands) {
    if (!types::operands_fit(row->operands, type_of(&e), type_of(&e))) {
      return make_err(op + " needs bool operands, not " + text(type_of(&e)));
    }
  }
  return row->result;
}

}  // namespace

Result<NodeTypes, std::string> check_template(const types::PolicyTemplate& tmpl) {
  NodeTypes node_types;
  for (std::size_t i = 0; i < tmpl.constraints.size(); ++i) {
    const types::Constraint& c = tmpl.constraints[i];
    const std::string where = "constraint[" + std::to_string(i) + "]: ";
    std::string problem;
    post_order(c.expr, [&](const Expr& e) {
      auto t = node_type(tmpl, e, node_types);
      if (!t) {
        problem = std::move(t).error();
        return false;
      }
      node_types.emplace(&e, *t);
      return true;
    });
    if (!problem.empty()) return make_err(where + problem);
    if (node_types.at(&c.expr) != Type::Bool) {
      return make_err(where + "is not a bool expression (type " +
                      std::string(types::type_text(node_types.at(&c.expr))) + ")");
    }
    const auto refs = types::optional_fields_read(tmpl.intent_schema, c.expr);
    if (c.optional && refs.empty()) {
      return make_err(where + "is marked optional but reads no optional intent field");
    }
    if (!c.optional && !refs.empty()) {
      return make_err(where + "reads the optional intent field `" + refs.front() +
                      "` but is not marked optional");
    }
  }
  return node_types;
}

}  // namespace verdane::analysis
