// Expression lowering: one function per syntax form, each writing the typed
// tree with its type and height into a caller-provided slot.
//
// Recursion follows the syntax tree, whose height the parser bounds (a long
// `1 + 1 + ... + 1` is a left-nested tree thousands of levels deep); the
// depth counter in the context keeps the bound for hand-built trees too. To
// fit the deepest accepted tree on the default stack, also in sanitizer
// builds where every temporary gets its own guarded slot, the recursive
// functions hold no error values: the first error is stored in the Lowering
// object and the functions return false. Building errors and nodes happens in
// out-of-line helpers whose frames are not part of the recursion.
#include <algorithm>
#include <string>
#include <utility>
#include <variant>
#include <vector>

#include "typeck/lower.h"
#include "types/operators.h"

namespace verdane::typeck {

namespace {

namespace ast = parser::ast;
using ast::NodeKind;
using ast::NodeRef;
using errors::CompileError;
using Kind = errors::CompileError::Kind;
using types::Expr;
using types::ExprKind;
using types::Type;

bool is_bare_empty_set(NodeRef node) { return node.kind() == NodeKind::EmptySet; }

// The offset of the first token at or after `offset`: skips blanks, line
// feeds and comments. Places errors on an `and`/`or` word, whose position
// the syntax tree does not keep.
std::size_t next_token_offset(std::string_view src, std::size_t offset) {
  while (offset < src.size()) {
    const char c = src[offset];
    if (c == ' ' || c == '\t' || c == '\r' || c == '\n') {
      ++offset;
    } else if (c == '#') {
      while (offset < src.size() && src[offset] != '\n') ++offset;
    } else {
      break;
    }
  }
  return offset;
}

// Makes `out` the literal `value`, in place.
template <typename T>
void assign_literal(Expr& out, T value) {
  out.node.emplace<types::Literal>().data.template emplace<T>(std::move(value));
}

// The value of a set literal element as T.
template <typename T>
T element_value(NodeRef element) {
  if constexpr (std::is_same_v<T, std::int64_t>) {
    return element.int_value();
  } else if constexpr (std::is_same_v<T, std::string>) {
    return std::string(element.str());
  } else {
    return element.date();
  }
}

// Makes `out` the set of the elements of `set` (all of kind T); false when
// two are equal. Sorting once keeps large literals linearithmic where one
// insertion at a time would be quadratic.
template <typename T>
[[gnu::noinline]] bool set_of(NodeRef set, Expr& out) {
  std::vector<T> items;
  items.reserve(set.count());
  for (std::size_t i = 0; i < set.count(); ++i) items.push_back(element_value<T>(set.element(i)));
  // The set sorts its items and drops repeated ones: it is smaller exactly
  // when two elements are equal.
  types::OrderedSet<T> unique(std::move(items));
  if (unique.size() != set.count()) return false;
  assign_literal(out, std::move(unique));
  return true;
}

// Makes `out` the binary node `Node(left, right)`, in place.
template <typename Node>
void set_binary(Expr& out, Expr& left, Expr& right) {
  auto operands =
      std::make_unique<types::OperandPair>(types::OperandPair{std::move(left), std::move(right)});
  out.node.emplace<Node>().pair = std::move(operands);
}

// Whether operands of these types fit the operator `kind`, as the table of
// operators says.
bool fits(ExprKind kind, Type left, Type right) {
  return types::operands_fit(types::operator_of(kind)->operands, left, right);
}

ExprKind kind_of(ast::CmpOp op) {
  switch (op) {
    case ast::CmpOp::Eq:
      return ExprKind::Eq;
    case ast::CmpOp::Lt:
      return ExprKind::Lt;
    case ast::CmpOp::Le:
      return ExprKind::Le;
    case ast::CmpOp::Gt:
      return ExprKind::Gt;
    case ast::CmpOp::Ge:
      break;
  }
  return ExprKind::Ge;
}

ExprKind kind_of(ast::ArithOp op) {
  switch (op) {
    case ast::ArithOp::Add:
      return ExprKind::Add;
    case ast::ArithOp::Sub:
      return ExprKind::Sub;
    case ast::ArithOp::Mul:
      break;
  }
  return ExprKind::Mul;
}

// Makes `out` the comparison `op` of `left` and `right` (moved from).
[[gnu::noinline]] void make_comparison(ast::CmpOp op, Expr& left, Expr& right, Expr& out) {
  switch (op) {
    case ast::CmpOp::Eq:
      return set_binary<types::Eq>(out, left, right);
    case ast::CmpOp::Lt:
      return set_binary<types::Lt>(out, left, right);
    case ast::CmpOp::Le:
      return set_binary<types::Le>(out, left, right);
    case ast::CmpOp::Gt:
      return set_binary<types::Gt>(out, left, right);
    case ast::CmpOp::Ge:
      return set_binary<types::Ge>(out, left, right);
  }
}

// Replaces `out.expr` (the left operand) by `Node(left, right)`.
template <typename Node>
[[gnu::noinline]] void wrap_binary(Lowered& out, Lowered& right) {
  set_binary<Node>(out.expr, out.expr, right.expr);
}

[[gnu::noinline]] void wrap_arith(ast::ArithOp op, Lowered& out, Lowered& right) {
  switch (op) {
    case ast::ArithOp::Add:
      return wrap_binary<types::Add>(out, right);
    case ast::ArithOp::Sub:
      return wrap_binary<types::Sub>(out, right);
    case ast::ArithOp::Mul:
      return wrap_binary<types::Mul>(out, right);
  }
}

[[gnu::noinline]] void wrap_not(Lowered& out) {
  auto operand = std::make_unique<Expr>(std::move(out.expr));
  out.expr.node.emplace<types::Not>().operand = std::move(operand);
}

// The field reference of kind Node named `name`, in place.
template <typename Node>
[[gnu::noinline]] void set_field(std::string name, Expr& out) {
  out.node.emplace<Node>().name = std::move(name);
}

class Lowering {
 public:
  explicit Lowering(LowerContext& cx) : cx_(cx) {}

  // On false, error() holds the first error.
  bool expr(NodeRef expr, std::optional<Type> expected, Lowered& out);
  CompileError take_error() { return std::move(*error_); }

 private:
  bool literal(NodeRef node, std::optional<Type> expected, Lowered& out);
  bool set_literal(NodeRef node, Lowered& out);
  bool field(NodeRef node, Lowered& out);
  bool not_op(NodeRef node, Lowered& out);
  template <typename Node>
  bool bool_chain(NodeRef node, Lowered& out);
  bool chain(NodeRef node, Lowered& out);
  bool comparisons(std::size_t base, std::size_t count, Lowered* lowered, Lowered& out);
  bool membership(bool negated, std::size_t op_start, NodeRef lhs, NodeRef rhs, Lowered& out);
  bool inclusion(ast::SetOpAst op, std::size_t op_start, NodeRef lhs, NodeRef rhs, Lowered& out);
  bool arith(NodeRef node, Lowered& out);

  // The operands of an And, Or or Chain node, pushed onto cx_.operands
  // (which nested nodes share, so they are reached by index); returns the
  // index of the first one.
  std::size_t push_operands(NodeRef node) {
    const std::size_t base = cx_.operands.size();
    node.operands(cx_.operands);
    return base;
  }
  void pop_operands(std::size_t base) {
    cx_.operands.erase(cx_.operands.begin() + static_cast<std::ptrdiff_t>(base),
                       cx_.operands.end());
  }

  // Record the first error; always false, for `return fail(...)`.
  [[gnu::noinline, gnu::cold]] bool fail(Kind kind, std::size_t offset,
                                         errors::Detail detail = errors::detail::None{});
  [[gnu::noinline, gnu::cold]] bool too_deep(std::size_t offset);
  // Fails with too_deep at `offset` when `height` is over the limit.
  bool check_height(std::size_t height, std::size_t offset) {
    return height <= types::MAX_EXPR_DEPTH || too_deep(offset);
  }

  LowerContext& cx_;
  std::optional<CompileError> error_;
};

bool Lowering::fail(Kind kind, std::size_t offset, errors::Detail detail) {
  error_ = CompileError::at(kind, cx_.src, offset, std::move(detail));
  return false;
}

bool Lowering::too_deep(std::size_t offset) {
  error_ = CompileError::syntax(
      cx_.src, offset,
      "expression is too deep (maximum depth is " + std::to_string(types::MAX_EXPR_DEPTH) + ")");
  return false;
}

bool Lowering::set_literal(NodeRef node, Lowered& out) {
  // Homogeneity is checked over the whole literal before any duplicate.
  const ast::ElementKind kind = node.element(0).element_kind();
  for (std::size_t i = 1; i < node.count(); ++i) {
    if (node.element(i).element_kind() != kind) {
      return fail(Kind::MixedSetLiteral, node.span().start);
    }
  }
  bool unique = false;
  switch (kind) {
    case ast::ElementKind::Int:
      unique = set_of<std::int64_t>(node, out.expr);
      out.type = Type::IntSet;
      break;
    case ast::ElementKind::Str:
      unique = set_of<std::string>(node, out.expr);
      out.type = Type::StringSet;
      break;
    case ast::ElementKind::Date:
      unique = set_of<types::DateLit>(node, out.expr);
      out.type = Type::DateSet;
      break;
  }
  if (!unique) return fail(Kind::DuplicateSetElement, node.span().start);
  out.height = 1;
  return true;
}

bool Lowering::literal(NodeRef node, std::optional<Type> expected, Lowered& out) {
  out.height = 1;
  switch (node.kind()) {
    case NodeKind::Set:
      return set_literal(node, out);
    case NodeKind::Bool:
      assign_literal(out.expr, node.bool_value());
      out.type = Type::Bool;
      return true;
    case NodeKind::Int:
      assign_literal(out.expr, node.int_value());
      out.type = Type::Int;
      return true;
    case NodeKind::Str:
      assign_literal(out.expr, std::string(node.str()));
      out.type = Type::String;
      return true;
    case NodeKind::Date:
      assign_literal(out.expr, node.date());
      out.type = Type::Date;
      return true;
    default:
      break;
  }
  // `{}`: its type comes only from the expectation.
  switch (expected.value_or(Type::Bool)) {
    case Type::IntSet:
      assign_literal(out.expr, types::IntSet{});
      break;
    case Type::StringSet:
      assign_literal(out.expr, types::StringSet{});
      break;
    case Type::DateSet:
      assign_literal(out.expr, types::DateSet{});
      break;
    default:
      return fail(Kind::UntypedEmptySetChain, node.span().start);
  }
  out.type = *expected;
  return true;
}

bool Lowering::field(NodeRef node, Lowered& out) {
  out.height = 1;
  std::string name(node.name());
  if (node.ns() == ast::Namespace::Intent) {
    const auto it = cx_.intent.fields.find(name);
    if (it == cx_.intent.fields.end()) {
      return fail(Kind::UndeclaredField, node.span().start, errors::detail::Name{std::move(name)});
    }
    out.type = it->second.type;
    set_field<types::IntentField>(std::move(name), out.expr);
    return true;
  }
  const auto it = cx_.evidence.fields.find(name);
  if (it == cx_.evidence.fields.end()) {
    return fail(Kind::UndeclaredField, node.span().start, errors::detail::Name{std::move(name)});
  }
  out.type = it->second.type;
  set_field<types::EvidenceField>(std::move(name), out.expr);
  return true;
}

bool Lowering::not_op(NodeRef node, Lowered& out) {
  const NodeRef operand = node.operand();
  if (!expr(operand, std::nullopt, out)) return false;
  if (!check_height(out.height + 1, node.span().start)) return false;
  if (!fits(ExprKind::Not, out.type, out.type)) {
    return fail(Kind::ExpectedBool, operand.span().start, errors::detail::Found{out.type});
  }
  wrap_not(out);
  out.height += 1;
  return true;
}

// `and` / `or`: each operand must be bool, checked right after it is lowered.
template <typename Node>
bool Lowering::bool_chain(NodeRef node, Lowered& out) {
  const std::size_t base = push_operands(node);
  const std::size_t count = node.count();
  Expr result;
  std::vector<Expr>& list = result.node.emplace<Node>().operands;
  list.reserve(count);
  std::size_t height = 0;
  for (std::size_t i = 0; i < count; ++i) {
    const NodeRef operand = cx_.operands[base + i];
    if (!expr(operand, std::nullopt, out)) return false;
    // Too deep: at the connective that joins this operand (the first
    // connective for the first operand).
    const std::size_t joined_after = i == 0 ? 0 : i - 1;
    if (out.height + 1 > types::MAX_EXPR_DEPTH) {
      return too_deep(next_token_offset(cx_.src, cx_.operands[base + joined_after].span().end));
    }
    if (!fits(result.kind(), out.type, out.type)) {
      return fail(Kind::ExpectedBool, operand.span().start, errors::detail::Found{out.type});
    }
    height = std::max(height, out.height + 1);
    list.push_back(std::move(out.expr));
  }
  pop_operands(base);
  out.expr = std::move(result);
  out.type = Type::Bool;
  out.height = height;
  return true;
}

// A comparison chain: every operand is lowered first (bare `{}` operands
// last, typed from the first other operand), then each adjacent pair is
// checked and becomes one comparison of the two operands; several
// comparisons are joined by `And`, so inner operands occur twice (as
// copies). The operands sit at cx_.operands[base...]: the first operand,
// then one Link per operator.
bool Lowering::chain(NodeRef node, Lowered& out) {
  const std::size_t base = push_operands(node);
  const std::size_t count = node.count();
  bool ok = false;
  if (count == 2) {
    // The usual single comparison needs no heap storage.
    Lowered pair[2];
    ok = comparisons(base, count, pair, out);
  } else {
    std::vector<Lowered> lowered(count);
    ok = comparisons(base, count, lowered.data(), out);
  }
  pop_operands(base);
  return ok;
}

bool Lowering::comparisons(std::size_t base, std::size_t count, Lowered* lowered, Lowered& out) {
  const auto operand = [this, base](std::size_t i) {
    const NodeRef r = cx_.operands[base + i];
    return i == 0 ? r : r.operand();
  };
  // The start of the i-th operator (1-based, before operand i).
  const auto op_start = [this, base](std::size_t i) {
    return cx_.operands[base + i].op_span().start;
  };
  bool all_bare = true;
  for (std::size_t i = 0; i < count; ++i) all_bare = all_bare && is_bare_empty_set(operand(i));
  if (all_bare) return fail(Kind::UntypedEmptySetChain, op_start(1));

  std::optional<Type> chain_type;
  for (std::size_t i = 0; i < count; ++i) {
    if (is_bare_empty_set(operand(i))) continue;
    if (!expr(operand(i), std::nullopt, lowered[i])) return false;
    if (!chain_type) chain_type = lowered[i].type;
  }
  for (std::size_t i = 0; i < count; ++i) {
    if (is_bare_empty_set(operand(i)) && !expr(operand(i), chain_type, lowered[i])) return false;
  }

  // A single comparison is the result itself; more are joined by `And`.
  const bool single = count == 2;
  types::And all;
  if (!single) all.operands.reserve(count - 1);
  std::size_t height = 0;
  for (std::size_t i = 1; i < count; ++i) {
    const Lowered& left = lowered[i - 1];
    const Lowered& right = lowered[i];
    const std::size_t cmp_height = std::max(left.height, right.height) + 1;
    if (!check_height(cmp_height, op_start(i))) return false;
    if (left.type != right.type) return fail(Kind::ChainTypeMismatch, operand(i).span().start);
    const ast::CmpOp op = cx_.operands[base + i].cmp_op();
    if (!fits(kind_of(op), left.type, right.type)) {
      return fail(Kind::OrderingNotAllowed, op_start(i), errors::detail::Found{left.type});
    }
    // The left operand is used for the last time here; the right one is
    // used again, as the next left operand, unless it is the last.
    Expr copy;
    if (i + 1 < count) copy = types::deep_copy(lowered[i].expr);
    make_comparison(op, lowered[i - 1].expr, i + 1 < count ? copy : lowered[i].expr,
                    single ? out.expr : all.operands.emplace_back());
    height = std::max(height, cmp_height);
  }
  out.type = Type::Bool;
  if (single) {
    out.height = height;
    return true;
  }
  if (!check_height(height + 1, op_start(1))) return false;
  out.expr.node = std::move(all);
  out.height = height + 1;
  return true;
}

// `in` and `not in`: the set side is expected to be the set type of the
// element side, so `x in {}` types its `{}` from `x`.
bool Lowering::membership(bool negated, std::size_t op_start, NodeRef lhs, NodeRef rhs,
                          Lowered& out) {
  if (!expr(lhs, std::nullopt, out)) return false;
  Lowered right;
  if (!expr(rhs, types::set_type_of(out.type), right)) return false;
  // `not in` puts a Not above the In; both sit at the operator's first word.
  const std::size_t height = std::max(out.height, right.height) + (negated ? 2 : 1);
  if (!check_height(height, op_start)) return false;
  const std::optional<Type> element = types::element_type(right.type);
  if (!element)
    return fail(Kind::InRightNotSet, rhs.span().start, errors::detail::Found{right.type});
  if (*element != out.type) {
    return fail(Kind::InElementTypeMismatch, lhs.span().start,
                errors::detail::Element{*element, out.type});
  }
  wrap_binary<types::In>(out, right);
  if (negated) wrap_not(out);
  out.type = Type::Bool;
  out.height = height;
  return true;
}

// `subset of` / `superset of`: a bare `{}` on one side takes the other
// side's type, so a `{}` on the left makes the right side go first.
bool Lowering::inclusion(ast::SetOpAst op, std::size_t op_start, NodeRef lhs, NodeRef rhs,
                         Lowered& out) {
  const bool bare_lhs = is_bare_empty_set(lhs);
  const bool bare_rhs = is_bare_empty_set(rhs);
  if (bare_lhs && bare_rhs) return fail(Kind::UntypedEmptySetChain, op_start);
  Lowered right;
  if (bare_lhs) {
    if (!expr(rhs, std::nullopt, right)) return false;
    if (!expr(lhs, right.type, out)) return false;
  } else {
    if (!expr(lhs, std::nullopt, out)) return false;
    if (!expr(rhs, bare_rhs ? std::optional<Type>(out.type) : std::nullopt, right)) return false;
  }
  const std::size_t height = std::max(out.height, right.height) + 1;
  if (!check_height(height, op_start)) return false;
  if (!fits(op == ast::SetOpAst::SubsetOf ? ExprKind::SubsetOf : ExprKind::SupersetOf, out.type,
            right.type)) {
    return fail(Kind::OperandTypeMismatch, rhs.span().start);
  }
  if (op == ast::SetOpAst::SubsetOf) {
    wrap_binary<types::SubsetOf>(out, right);
  } else {
    wrap_binary<types::SupersetOf>(out, right);
  }
  out.type = Type::Bool;
  out.height = height;
  return true;
}

bool Lowering::arith(NodeRef node, Lowered& out) {
  if (!expr(node.lhs(), std::nullopt, out)) return false;
  Lowered right;
  if (!expr(node.rhs(), std::nullopt, right)) return false;
  const std::size_t op_start = node.op_span().start;
  const std::size_t height = std::max(out.height, right.height) + 1;
  if (!check_height(height, op_start)) return false;
  if (!fits(kind_of(node.arith_op()), out.type, right.type)) {
    return fail(Kind::ArithmeticNotInt, op_start);
  }
  wrap_arith(node.arith_op(), out, right);
  out.height = height;
  return true;
}

bool Lowering::expr(NodeRef expr, std::optional<Type> expected, Lowered& out) {
  // Parentheses leave no trace in the model; the expectation passes through.
  NodeRef node = expr;
  while (node.kind() == NodeKind::Paren) node = node.operand();

  // Every syntax node other than Paren adds at least one level to the
  // lowered tree, so recursing deeper than the limit could only produce a
  // tree that is rejected anyway.
  if (cx_.depth >= types::MAX_EXPR_DEPTH) return too_deep(node.span().start);
  ++cx_.depth;
  bool ok = false;
  switch (node.kind()) {
    case NodeKind::Bool:
    case NodeKind::Int:
    case NodeKind::Str:
    case NodeKind::Date:
    case NodeKind::Set:
    case NodeKind::EmptySet:
      ok = literal(node, expected, out);
      break;
    case NodeKind::Field:
      ok = field(node, out);
      break;
    case NodeKind::Not:
      ok = not_op(node, out);
      break;
    case NodeKind::And:
      ok = bool_chain<types::And>(node, out);
      break;
    case NodeKind::Or:
      ok = bool_chain<types::Or>(node, out);
      break;
    case NodeKind::Chain:
      ok = chain(node, out);
      break;
    case NodeKind::SetOp: {
      const ast::SetOpAst op = node.set_op();
      const std::size_t op_start = node.op_span().start;
      if (op == ast::SetOpAst::In || op == ast::SetOpAst::NotIn) {
        ok = membership(op == ast::SetOpAst::NotIn, op_start, node.lhs(), node.rhs(), out);
      } else {
        ok = inclusion(op, op_start, node.lhs(), node.rhs(), out);
      }
      break;
    }
    case NodeKind::Arith:
      ok = arith(node, out);
      break;
    case NodeKind::Paren:
    case NodeKind::Element:
    case NodeKind::Link:
      // Never an operand of its own in a tree built through ExprAst.
      ok = fail(Kind::Syntax, node.span().start, errors::detail::Text{"malformed syntax tree"});
      break;
  }
  --cx_.depth;
  return ok;
}

}  // namespace

Result<Lowered, CompileError> lower_expr(LowerContext& cx, const ast::ExprAst& expr,
                                         std::optional<Type> expected) {
  Lowering lowering(cx);
  Lowered out;
  if (!lowering.expr(expr.root(), expected, out)) {
    cx.operands.clear();
    return make_err(lowering.take_error());
  }
  return out;
}

}  // namespace verdane::typeck
