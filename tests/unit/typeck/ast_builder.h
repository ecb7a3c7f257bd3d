// Hand-built syntax trees for lowering tests that must not depend on the
// parser (trees it would refuse, or exact shapes). Each node takes the byte
// offset it starts at; tests pair them with a source of blanks so that an
// offset shows up as column offset + 1.
#pragma once

#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "parser/ast/ast.h"

namespace verdane::typeck::testing_ast {

namespace ast = parser::ast;

inline ast::Span at(std::size_t start, std::size_t len = 1) { return {start, start + len}; }

inline ast::ExprAst lit(ast::LiteralAst value, std::size_t start = 0) {
  return ast::ExprAst{ast::Literal{std::move(value)}, at(start)};
}
inline ast::ExprAst int_lit(std::int64_t v, std::size_t start = 0) {
  return lit(ast::LiteralAst(std::in_place_type<std::int64_t>, v), start);
}
inline ast::ExprAst bool_lit(bool v, std::size_t start = 0) {
  return lit(ast::LiteralAst(std::in_place_type<bool>, v), start);
}

inline ast::ExprAst field(ast::Namespace ns, std::string name, std::size_t start = 0) {
  return ast::ExprAst{ast::Field{ns, std::move(name), at(start)}, at(start)};
}
inline ast::ExprAst intent(std::string name, std::size_t start = 0) {
  return field(ast::Namespace::Intent, std::move(name), start);
}

inline std::unique_ptr<ast::ExprAst> box(ast::ExprAst e) {
  return std::make_unique<ast::ExprAst>(std::move(e));
}

inline ast::ExprAst not_(ast::ExprAst operand, std::size_t start = 0) {
  return ast::ExprAst{ast::Not{box(std::move(operand))}, at(start)};
}
inline ast::ExprAst paren(ast::ExprAst operand, std::size_t start = 0) {
  return ast::ExprAst{ast::Paren{box(std::move(operand))}, at(start)};
}
inline ast::ExprAst arith(ast::ArithOp op, ast::ExprAst lhs, ast::ExprAst rhs,
                          std::size_t op_start) {
  const std::size_t start = lhs.span.start;
  return ast::ExprAst{ast::Arith{op, box(std::move(lhs)), box(std::move(rhs)), at(op_start)},
                      at(start)};
}
// Operands and operators of a chain; `op_starts` holds one offset per operator.
inline ast::ExprAst chain(std::vector<ast::ExprAst> operands, std::vector<ast::CmpOp> ops,
                          std::vector<std::size_t> op_starts) {
  ast::Chain c;
  const std::size_t start = operands.front().span.start;
  c.operands = std::move(operands);
  c.ops = std::move(ops);
  for (std::size_t s : op_starts) c.op_spans.push_back(at(s));
  return ast::ExprAst{std::move(c), at(start)};
}
template <typename... Rest>
void push_all(std::vector<ast::ExprAst>& out, Rest&&... rest) {
  (out.push_back(std::forward<Rest>(rest)), ...);
}
// Expressions are move-only, so lists of them cannot come from braces.
template <typename... Items>
std::vector<ast::ExprAst> list(Items&&... items) {
  std::vector<ast::ExprAst> out;
  push_all(out, std::forward<Items>(items)...);
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
  f.name = "t";
  if (!intent.empty()) f.intent = schema(ast::SchemaKind::Intent, intent);
  f.evidence = schema(ast::SchemaKind::Evidence, evidence);
  const ast::Span span = at(constraint_start);
  f.constraints.push_back(ast::ConstraintAst{std::move(expr), span, optional});
  return f;
}

}  // namespace verdane::typeck::testing_ast
