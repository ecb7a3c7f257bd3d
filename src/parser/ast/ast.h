// Syntax tree of one template source, as the parser builds it and the type
// checker lowers it. Every node owns its children; spans are byte ranges into
// the source. Parentheses stay in the tree (Paren) so the type checker can see
// where they were; comparisons are always a Chain, and and/or are n-ary.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "errors/span.h"
#include "types/model.h"

namespace verdane::parser::ast {

using errors::Span;

enum class SchemaKind : std::uint8_t { Intent, Evidence };
enum class Namespace : std::uint8_t { Intent, Evidence };
enum class CmpOp : std::uint8_t { Eq, Lt, Le, Gt, Ge };
enum class SetOpAst : std::uint8_t { In, NotIn, SubsetOf, SupersetOf };
enum class ArithOp : std::uint8_t { Add, Sub, Mul };

// One element of a non-empty set literal; integers are already negated when
// written with '-'. Elements carry no span of their own.
using SetElement = std::variant<std::int64_t, std::string, types::DateLit>;

struct SetLiteral {
  std::vector<SetElement> elements;  // source order, duplicates and mixed kinds kept
};
struct EmptySet {};  // written {}

// Alternatives: Bool, Int, Str, Date, Set, EmptySet.
using LiteralAst =
    std::variant<bool, std::int64_t, std::string, types::DateLit, SetLiteral, EmptySet>;

struct ExprAst;

struct Literal {
  LiteralAst value;
};
struct Field {
  Namespace ns = Namespace::Intent;
  std::string name;  // bare name, without "intent." / "evidence."
  Span name_span;
};
struct Not {
  std::unique_ptr<ExprAst> operand;
};
struct And {
  std::vector<ExprAst> operands;  // at least 2
};
struct Or {
  std::vector<ExprAst> operands;  // at least 2
};
struct Chain {
  std::vector<ExprAst> operands;  // n >= 2
  std::vector<CmpOp> ops;         // n - 1
  std::vector<Span> op_spans;     // n - 1, the operator tokens
};
struct SetOp {
  SetOpAst op = SetOpAst::In;
  std::unique_ptr<ExprAst> lhs;
  std::unique_ptr<ExprAst> rhs;
  Span op_span;  // the operator's word or words
};
struct Arith {
  ArithOp op = ArithOp::Add;
  std::unique_ptr<ExprAst> lhs;
  std::unique_ptr<ExprAst> rhs;
  Span op_span;
};
struct Paren {
  std::unique_ptr<ExprAst> operand;
};

using ExprKind = std::variant<Literal, Field, Not, And, Or, Chain, SetOp, Arith, Paren>;

struct ExprAst {
  ExprKind kind;
  Span span;
};

struct SchemaField {
  std::string name;
  Span span;              // the name identifier
  bool optional = false;  // only ever set in an intent block
  types::Type ty = types::Type::Bool;
};

struct Schema {
  std::vector<SchemaField> fields;  // source order, duplicates kept
  Span span;                        // block keyword to closing }
  SchemaKind kind = SchemaKind::Intent;
};

struct ConstraintAst {
  ExprAst expr;
  Span span;  // first token (including a leading optional) to the end of expr
  bool optional = false;
};

struct File {
  std::string name;
  Span name_span;
  std::optional<Schema> intent;
  Schema evidence;
  std::vector<ConstraintAst> constraints;  // never empty
};

}  // namespace verdane::parser::ast
