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
#include <type_traits>
#include <utility>
#include <variant>
#include <vector>

#include "typeck/lower.h"

namespace verdane::typeck {

namespace {

namespace ast = parser::ast;
using errors::CompileError;
using Kind = errors::CompileError::Kind;
using types::Expr;
using types::Type;

bool is_bare_empty_set(const ast::ExprAst& expr) {
  const auto* lit = std::get_if<ast::Literal>(&expr.kind);
  return lit != nullptr && std::holds_alternative<ast::EmptySet>(lit->value);
}

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

template <typename T>
Expr literal_of(T value) {
  return types::make_literal(types::Scalar(std::in_place_type<T>, std::move(value)));
}

// The ordered set of `items`, or nullopt when two are equal. Sorting once
// keeps large literals linearithmic where one insertion at a time would be
// quadratic.
template <typename T>
std::optional<types::OrderedSet<T>> unique_set(std::vector<T> items) {
  std::sort(items.begin(), items.end());
  if (std::adjacent_find(items.begin(), items.end()) != items.end()) return std::nullopt;
  return types::OrderedSet<T>(std::move(items));
}

template <typename T>
std::optional<Expr> set_literal_of(const std::vector<ast::SetElement>& elements) {
  std::vector<T> items;
  items.reserve(elements.size());
  for (const ast::SetElement& el : elements) items.push_back(std::get<T>(el));
  auto set = unique_set(std::move(items));
  if (!set) return std::nullopt;
  return literal_of(std::move(*set));
}

[[gnu::noinline]] Expr make_comparison(ast::CmpOp op, const Expr& left, const Expr& right) {
  Expr l = types::deep_copy(left);
  Expr r = types::deep_copy(right);
  switch (op) {
    case ast::CmpOp::Eq:
      return types::make_binary<types::Eq>(std::move(l), std::move(r));
    case ast::CmpOp::Lt:
      return types::make_binary<types::Lt>(std::move(l), std::move(r));
    case ast::CmpOp::Le:
      return types::make_binary<types::Le>(std::move(l), std::move(r));
    case ast::CmpOp::Gt:
      return types::make_binary<types::Gt>(std::move(l), std::move(r));
    case ast::CmpOp::Ge:
      break;
  }
  return types::make_binary<types::Ge>(std::move(l), std::move(r));
}

// Replaces `out.expr` (the left operand) by `Node(left, right)`.
template <typename Node>
[[gnu::noinline]] void wrap_binary(Lowered& out, Lowered& right) {
  out.expr = types::make_binary<Node>(std::move(out.expr), std::move(right.expr));
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

[[gnu::noinline]] void wrap_not(Lowered& out) { out.expr = types::make_not(std::move(out.expr)); }

class Lowering {
 public:
  explicit Lowering(LowerContext& cx) : cx_(cx) {}

  // On false, error() holds the first error.
  bool expr(const ast::ExprAst& expr, std::optional<Type> expected, Lowered& out);
  CompileError take_error() { return std::move(*error_); }

 private:
  bool literal(const ast::ExprAst& node, const ast::Literal& lit, std::optional<Type> expected,
               Lowered& out);
  bool set_literal(const ast::ExprAst& node, const ast::SetLiteral& set, Lowered& out);
  bool field(const ast::ExprAst& node, const ast::Field& field, Lowered& out);
  bool not_op(const ast::ExprAst& node, const ast::Not& n, Lowered& out);
  template <typename Node>
  bool bool_chain(const std::vector<ast::ExprAst>& operands, Lowered& out);
  bool chain(const ast::Chain& chain, Lowered& out);
  bool membership(bool negated, std::size_t op_start, const ast::ExprAst& lhs,
                  const ast::ExprAst& rhs, Lowered& out);
  bool inclusion(ast::SetOpAst op, std::size_t op_start, const ast::ExprAst& lhs,
                 const ast::ExprAst& rhs, Lowered& out);
  bool arith(const ast::Arith& arith, Lowered& out);

  // Record the first error; always false, for `return fail(...)`.
  [[gnu::noinline, gnu::cold]] bool fail(Kind kind, std::size_t offset);
  [[gnu::noinline, gnu::cold]] bool fail(Kind kind, std::size_t offset, std::string text,
                                         std::string text2 = {});
  [[gnu::noinline, gnu::cold]] bool fail_type(Kind kind, std::size_t offset, Type type);
  [[gnu::noinline, gnu::cold]] bool too_deep(std::size_t offset);
  // Fails with too_deep at `offset` when `height` is over the limit.
  bool check_height(std::size_t height, std::size_t offset) {
    return height <= types::MAX_EXPR_DEPTH || too_deep(offset);
  }

  LowerContext& cx_;
  std::optional<CompileError> error_;
};

bool Lowering::fail(Kind kind, std::size_t offset) {
  error_ = CompileError::at(kind, cx_.src, offset);
  return false;
}

bool Lowering::fail(Kind kind, std::size_t offset, std::string text, std::string text2) {
  error_ = CompileError::at(kind, cx_.src, offset, std::move(text), std::move(text2));
  return false;
}

bool Lowering::fail_type(Kind kind, std::size_t offset, Type type) {
  return fail(kind, offset, std::string(types::type_text(type)));
}

bool Lowering::too_deep(std::size_t offset) {
  error_ = CompileError::syntax(
      cx_.src, offset,
      "expression is too deep (maximum depth is " + std::to_string(types::MAX_EXPR_DEPTH) + ")");
  return false;
}

bool Lowering::set_literal(const ast::ExprAst& node, const ast::SetLiteral& set, Lowered& out) {
  // Homogeneity is checked over the whole literal before any duplicate.
  const std::size_t kind = set.elements.front().index();
  for (const ast::SetElement& el : set.elements) {
    if (el.index() != kind) return fail(Kind::MixedSetLiteral, node.span.start);
  }
  std::optional<Expr> lit;
  switch (kind) {
    case 0:
      lit = set_literal_of<std::int64_t>(set.elements);
      out.type = Type::IntSet;
      break;
    case 1:
      lit = set_literal_of<std::string>(set.elements);
      out.type = Type::StringSet;
      break;
    default:
      lit = set_literal_of<types::DateLit>(set.elements);
      out.type = Type::DateSet;
      break;
  }
  if (!lit) return fail(Kind::DuplicateSetElement, node.span.start);
  out.expr = std::move(*lit);
  out.height = 1;
  return true;
}

bool Lowering::literal(const ast::ExprAst& node, const ast::Literal& lit,
                       std::optional<Type> expected, Lowered& out) {
  const ast::LiteralAst& v = lit.value;
  out.height = 1;
  if (const auto* set = std::get_if<ast::SetLiteral>(&v)) return set_literal(node, *set, out);
  if (const auto* b = std::get_if<bool>(&v)) {
    out.expr = literal_of(*b);
    out.type = Type::Bool;
  } else if (const auto* i = std::get_if<std::int64_t>(&v)) {
    out.expr = literal_of(*i);
    out.type = Type::Int;
  } else if (const auto* s = std::get_if<std::string>(&v)) {
    out.expr = literal_of(*s);
    out.type = Type::String;
  } else if (const auto* d = std::get_if<types::DateLit>(&v)) {
    out.expr = literal_of(*d);
    out.type = Type::Date;
  } else {
    // `{}`: its type comes only from the expectation.
    switch (expected.value_or(Type::Bool)) {
      case Type::IntSet:
        out.expr = literal_of(types::IntSet{});
        break;
      case Type::StringSet:
        out.expr = literal_of(types::StringSet{});
        break;
      case Type::DateSet:
        out.expr = literal_of(types::DateSet{});
        break;
      default:
        return fail(Kind::UntypedEmptySetChain, node.span.start);
    }
    out.type = *expected;
  }
  return true;
}

bool Lowering::field(const ast::ExprAst& node, const ast::Field& field, Lowered& out) {
  out.height = 1;
  if (field.ns == ast::Namespace::Intent) {
    const auto it = cx_.intent.fields.find(field.name);
    if (it == cx_.intent.fields.end()) {
      return fail(Kind::UndeclaredField, node.span.start, field.name);
    }
    out.expr = Expr{types::IntentField{field.name}};
    out.type = it->second.type;
    return true;
  }
  const auto it = cx_.evidence.fields.find(field.name);
  if (it == cx_.evidence.fields.end()) {
    return fail(Kind::UndeclaredField, node.span.start, field.name);
  }
  out.expr = Expr{types::EvidenceField{field.name}};
  out.type = it->second.type;
  return true;
}

bool Lowering::not_op(const ast::ExprAst& node, const ast::Not& n, Lowered& out) {
  if (!expr(*n.operand, std::nullopt, out)) return false;
  if (!check_height(out.height + 1, node.span.start)) return false;
  if (out.type != Type::Bool) return fail_type(Kind::ExpectedBool, n.operand->span.start, out.type);
  wrap_not(out);
  out.height += 1;
  return true;
}

// `and` / `or`: each operand must be bool, checked right after it is lowered.
template <typename Node>
bool Lowering::bool_chain(const std::vector<ast::ExprAst>& operands, Lowered& out) {
  Node node;
  node.operands.reserve(operands.size());
  std::size_t height = 0;
  for (std::size_t i = 0; i < operands.size(); ++i) {
    if (!expr(operands[i], std::nullopt, out)) return false;
    // Too deep: at the connective that joins this operand (the first
    // connective for the first operand).
    const std::size_t joined_after = i == 0 ? 0 : i - 1;
    if (out.height + 1 > types::MAX_EXPR_DEPTH) {
      return too_deep(next_token_offset(cx_.src, operands[joined_after].span.end));
    }
    if (out.type != Type::Bool) {
      return fail_type(Kind::ExpectedBool, operands[i].span.start, out.type);
    }
    height = std::max(height, out.height + 1);
    node.operands.push_back(std::move(out.expr));
  }
  out.expr = Expr{std::move(node)};
  out.type = Type::Bool;
  out.height = height;
  return true;
}

// A comparison chain: every operand is lowered first (bare `{}` operands
// last, typed from the first other operand), then each adjacent pair is
// checked and becomes one comparison of copies of the two operands; several
// comparisons are joined by `And`, so inner operands occur twice.
bool Lowering::chain(const ast::Chain& chain, Lowered& out) {
  const std::vector<ast::ExprAst>& operands = chain.operands;
  if (std::all_of(operands.begin(), operands.end(), is_bare_empty_set)) {
    return fail(Kind::UntypedEmptySetChain, chain.op_spans.front().start);
  }
  std::vector<Lowered> lowered(operands.size());
  std::optional<Type> chain_type;
  for (std::size_t i = 0; i < operands.size(); ++i) {
    if (is_bare_empty_set(operands[i])) continue;
    if (!expr(operands[i], std::nullopt, lowered[i])) return false;
    if (!chain_type) chain_type = lowered[i].type;
  }
  for (std::size_t i = 0; i < operands.size(); ++i) {
    if (is_bare_empty_set(operands[i]) && !expr(operands[i], chain_type, lowered[i])) return false;
  }

  types::And all;
  all.operands.reserve(chain.ops.size());
  std::size_t height = 0;
  for (std::size_t i = 1; i < operands.size(); ++i) {
    const Lowered& left = lowered[i - 1];
    const Lowered& right = lowered[i];
    const std::size_t op_start = chain.op_spans[i - 1].start;
    const std::size_t cmp_height = std::max(left.height, right.height) + 1;
    if (!check_height(cmp_height, op_start)) return false;
    if (left.type != right.type) return fail(Kind::ChainTypeMismatch, operands[i].span.start);
    if (chain.ops[i - 1] != ast::CmpOp::Eq && left.type != Type::Int && left.type != Type::Date) {
      return fail_type(Kind::OrderingNotAllowed, op_start, left.type);
    }
    all.operands.push_back(make_comparison(chain.ops[i - 1], left.expr, right.expr));
    height = std::max(height, cmp_height);
  }
  out.type = Type::Bool;
  if (all.operands.size() == 1) {
    out.expr = std::move(all.operands.front());
    out.height = height;
    return true;
  }
  if (!check_height(height + 1, chain.op_spans.front().start)) return false;
  out.expr = Expr{std::move(all)};
  out.height = height + 1;
  return true;
}

// `in` and `not in`: the set side is expected to be the set type of the
// element side, so `x in {}` types its `{}` from `x`.
bool Lowering::membership(bool negated, std::size_t op_start, const ast::ExprAst& lhs,
                          const ast::ExprAst& rhs, Lowered& out) {
  if (!expr(lhs, std::nullopt, out)) return false;
  Lowered right;
  if (!expr(rhs, types::set_type_of(out.type), right)) return false;
  // `not in` puts a Not above the In; both sit at the operator's first word.
  const std::size_t height = std::max(out.height, right.height) + (negated ? 2 : 1);
  if (!check_height(height, op_start)) return false;
  const std::optional<Type> element = types::element_type(right.type);
  if (!element) return fail_type(Kind::InRightNotSet, rhs.span.start, right.type);
  if (*element != out.type) {
    return fail(Kind::InElementTypeMismatch, lhs.span.start,
                std::string(types::type_text(*element)), std::string(types::type_text(out.type)));
  }
  wrap_binary<types::In>(out, right);
  if (negated) wrap_not(out);
  out.type = Type::Bool;
  out.height = height;
  return true;
}

// `subset of` / `superset of`: a bare `{}` on one side takes the other
// side's type, so a `{}` on the left makes the right side go first.
bool Lowering::inclusion(ast::SetOpAst op, std::size_t op_start, const ast::ExprAst& lhs,
                         const ast::ExprAst& rhs, Lowered& out) {
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
  if (out.type != right.type || !types::is_set_type(out.type)) {
    return fail(Kind::OperandTypeMismatch, rhs.span.start);
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

bool Lowering::arith(const ast::Arith& arith, Lowered& out) {
  if (!expr(*arith.lhs, std::nullopt, out)) return false;
  Lowered right;
  if (!expr(*arith.rhs, std::nullopt, right)) return false;
  const std::size_t height = std::max(out.height, right.height) + 1;
  if (!check_height(height, arith.op_span.start)) return false;
  if (out.type != Type::Int || right.type != Type::Int) {
    return fail(Kind::ArithmeticNotInt, arith.op_span.start);
  }
  wrap_arith(arith.op, out, right);
  out.height = height;
  return true;
}

bool Lowering::expr(const ast::ExprAst& expr, std::optional<Type> expected, Lowered& out) {
  // Parentheses leave no trace in the model; the expectation passes through.
  const ast::ExprAst* node = &expr;
  while (const auto* paren = std::get_if<ast::Paren>(&node->kind)) node = paren->operand.get();

  // Every syntax node other than Paren adds at least one level to the
  // lowered tree, so recursing deeper than the limit could only produce a
  // tree that is rejected anyway.
  if (cx_.depth >= types::MAX_EXPR_DEPTH) return too_deep(node->span.start);
  ++cx_.depth;
  bool ok = false;
  const ast::ExprKind& kind = node->kind;
  switch (kind.index()) {
    case 0:
      ok = literal(*node, std::get<ast::Literal>(kind), expected, out);
      break;
    case 1:
      ok = field(*node, std::get<ast::Field>(kind), out);
      break;
    case 2:
      ok = not_op(*node, std::get<ast::Not>(kind), out);
      break;
    case 3:
      ok = bool_chain<types::And>(std::get<ast::And>(kind).operands, out);
      break;
    case 4:
      ok = bool_chain<types::Or>(std::get<ast::Or>(kind).operands, out);
      break;
    case 5:
      ok = chain(std::get<ast::Chain>(kind), out);
      break;
    case 6: {
      const auto& set_op = std::get<ast::SetOp>(kind);
      const std::size_t op_start = set_op.op_span.start;
      if (set_op.op == ast::SetOpAst::In || set_op.op == ast::SetOpAst::NotIn) {
        ok = membership(set_op.op == ast::SetOpAst::NotIn, op_start, *set_op.lhs, *set_op.rhs, out);
      } else {
        ok = inclusion(set_op.op, op_start, *set_op.lhs, *set_op.rhs, out);
      }
      break;
    }
    default:
      ok = arith(std::get<ast::Arith>(kind), out);
      break;
  }
  --cx_.depth;
  return ok;
}

static_assert(std::variant_size_v<ast::ExprKind> == 9 &&
                  std::is_same_v<std::variant_alternative_t<7, ast::ExprKind>, ast::Arith>,
              "the dispatch in Lowering::expr follows the order of ExprKind");

}  // namespace

Result<Lowered, CompileError> lower_expr(LowerContext& cx, const ast::ExprAst& expr,
                                         std::optional<Type> expected) {
  Lowering lowering(cx);
  Lowered out;
  if (!lowering.expr(expr, expected, out)) return make_err(lowering.take_error());
  return out;
}

const ast::Field* references_optional_field(const types::IntentSchema& intent,
                                            const ast::ExprAst& expr) {
  // Depth-first, left to right, with an explicit stack: children are pushed
  // in reverse so the leftmost is visited first.
  std::vector<const ast::ExprAst*> pending{&expr};
  while (!pending.empty()) {
    const ast::ExprAst* node = pending.back();
    pending.pop_back();
    const ast::ExprKind& kind = node->kind;
    if (const auto* field = std::get_if<ast::Field>(&kind)) {
      if (field->ns != ast::Namespace::Intent) continue;
      const auto it = intent.fields.find(field->name);
      if (it != intent.fields.end() && it->second.optional) return field;
    } else if (const auto* n = std::get_if<ast::Not>(&kind)) {
      pending.push_back(n->operand.get());
    } else if (const auto* p = std::get_if<ast::Paren>(&kind)) {
      pending.push_back(p->operand.get());
    } else if (const auto* s = std::get_if<ast::SetOp>(&kind)) {
      pending.push_back(s->rhs.get());
      pending.push_back(s->lhs.get());
    } else if (const auto* ar = std::get_if<ast::Arith>(&kind)) {
      pending.push_back(ar->rhs.get());
      pending.push_back(ar->lhs.get());
    } else {
      const std::vector<ast::ExprAst>* operands = nullptr;
      if (const auto* a = std::get_if<ast::And>(&kind)) operands = &a->operands;
      if (const auto* o = std::get_if<ast::Or>(&kind)) operands = &o->operands;
      if (const auto* c = std::get_if<ast::Chain>(&kind)) operands = &c->operands;
      if (operands == nullptr) continue;  // a literal
      for (auto it = operands->rbegin(); it != operands->rend(); ++it) pending.push_back(&*it);
    }
  }
  return nullptr;
}

}  // namespace verdane::typeck
