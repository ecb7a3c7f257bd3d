// Hand-built syntax trees for lowering tests that must not depend on the
// parser (trees it would refuse, or exact shapes). Each node takes the byte
// offset it starts at; tests pair them with a source of blanks so that an
// offset shows up as column offset + 1.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "parser/ast/ast.h"

namespace verdane::typeck::testing_ast {

namespace ast = parser::ast;

inline ast::Span at(std::size_t start, std::size_t len = 1) { return {start, start + len}; }

inline ast::ExprAst int_lit(std::int64_t v, std::size_t start = 0) {
  ast::ExprAst e;
  e.add_int(v, at(start));
  return e;
}
inline ast::ExprAst bool_lit(bool v, std::size_t start = 0) {
  ast::ExprAst e;
  e.add_bool(v, at(start));
  return e;
}

inline ast::ExprAst field(ast::Namespace ns, const std::string& name, std::size_t start = 0) {
  ast::ExprAst e;
  e.add_field(ns, name, at(start));
  return e;
}
inline ast::ExprAst intent(const std::string& name, std::size_t start = 0) {
  return field(ast::Namespace::Intent, name, start);
}

inline ast::ExprAst not_(ast::ExprAst operand, std::size_t start = 0) {
  operand.add_not(start);
  return operand;
}
inline ast::ExprAst paren(ast::ExprAst operand, std::size_t start = 0) {
  operand.add_paren(at(start));
  return operand;
}
inline ast::ExprAst arith(ast::ArithOp op, ast::ExprAst lhs, const ast::ExprAst& rhs,
                          std::size_t op_start) {
  lhs.append(rhs);
  lhs.add_arith(op, at(op_start));
  return lhs;
}
// Operands and operators of a chain; `op_starts` holds one offset per operator.
inline ast::ExprAst chain(const std::vector<ast::ExprAst>& operands, std::vector<ast::CmpOp> ops,
                          std::vector<std::size_t> op_starts) {
  ast::ExprAst c = operands.front();
  for (std::size_t i = 1; i < operands.size(); ++i) {
    c.append(operands[i]);
    c.add_link(ops[i - 1], at(op_starts[i - 1]));
  }
  c.add_chain(operands.size());
  return c;
}
template <typename... Items>
std::vector<ast::ExprAst> list(Items&&... items) {
  std::vector<ast::ExprAst> out;
  (out.push_back(std::forward<Items>(items)), ...);
  return out;
}
// A file with the given fields and one constraint.
struct FieldDecl {
  std::string name;
  types::Type ty;
  bool optional = false;
  std::size_t start = 0;
};

inline ast::Schema schema(ast::SchemaKind kind, const std::vector<FieldDecl>& fields) {
  ast::Schema s;
  s.kind = kind;
  for (const FieldDecl& f : fields) s.fields.push_back({f.name, at(f.start), f.optional, f.ty});
  return s;
}

inline ast::File file(std::vector<FieldDecl> intent, std::vector<FieldDecl> evidence,
                      ast::ExprAst expr, bool optional = false, std::size_t constraint_start = 0) {
  ast::File f;
  f.name = std::string("t");  // not operator=(const char*): GCC 12 warns wrongly there
  if (!intent.empty()) f.intent = schema(ast::SchemaKind::Intent, intent);
  f.evidence = schema(ast::SchemaKind::Evidence, evidence);
  const ast::Span span = at(constraint_start);
  f.constraints.push_back(ast::ConstraintAst{std::move(expr), span, optional});
  return f;
}

}  // namespace verdane::typeck::testing_ast
