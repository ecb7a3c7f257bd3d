#include "parser/grammar/grammar.h"

#include <algorithm>
#include <memory>
#include <optional>
#include <string>
#include <utility>

#include "parser/ast/height.h"
#include "types/model.h"

// Evaluates `expr` (a Result); on error returns it from the enclosing
// function, otherwise moves the value into a new variable `var`.
#define VERDANE_TRY(var, expr)                                         \
  auto var##_result = (expr);                                          \
  if (!var##_result) return make_err(std::move(var##_result).error()); \
  auto var = std::move(var##_result).value()

// The same for a Result whose value is not needed.
#define VERDANE_CHECK(expr)                              \
  do {                                                   \
    auto check_result_ = (expr);                         \
    if (!check_result_) {                                \
      return make_err(std::move(check_result_).error()); \
    }                                                    \
  } while (false)

namespace verdane::parser::grammar {

namespace {

using errors::CompileError;
using errors::Span;
using lexer::Keyword;
using lexer::Spanned;
using lexer::TokenKind;
using ErrKind = CompileError::Kind;

template <typename T>
using PResult = Result<T, CompileError>;

// An expression under construction together with its height (see
// ast::height), so that the height limit is enforced as each node is built
// without walking the tree again.
struct Built {
  ast::ExprAst expr;
  std::size_t height = 1;
};

std::unique_ptr<ast::ExprAst> box(ast::ExprAst e) {
  return std::make_unique<ast::ExprAst>(std::move(e));
}

Built leaf(ast::LiteralAst value, Span span) {
  return Built{ast::ExprAst{ast::Literal{std::move(value)}, span}, 1};
}

// +1 for ascending (<, <=), -1 for descending (>, >=), 0 for ==.
int direction(ast::CmpOp op) {
  switch (op) {
    case ast::CmpOp::Lt:
    case ast::CmpOp::Le:
      return 1;
    case ast::CmpOp::Gt:
    case ast::CmpOp::Ge:
      return -1;
    case ast::CmpOp::Eq:
      return 0;
  }
  return 0;
}

// Increments the nesting depth for the lifetime of one level operation.
class DepthGuard {
 public:
  explicit DepthGuard(std::size_t& depth) : depth_(depth) { ++depth_; }
  ~DepthGuard() { --depth_; }
  DepthGuard(const DepthGuard&) = delete;
  DepthGuard& operator=(const DepthGuard&) = delete;

 private:
  std::size_t& depth_;
};

class Parser {
 public:
  Parser(std::string_view src, const lexer::TokenList& tokens) : src_(src), toks_(tokens) {}

  PResult<ast::File> file() {
    ast::File file;
    skip_newlines();
    if (!at_keyword(Keyword::Name)) return make_err(error_at(ErrKind::ExpectedName, offset()));
    ++pos_;
    if (!at(TokenKind::Ident)) return make_err(error_at(ErrKind::ExpectedNameIdent, offset()));
    file.name = toks_[pos_].token.text();
    file.name_span = bump().span;

    skip_newlines();
    if (at_keyword(Keyword::Intent)) {
      VERDANE_TRY(intent, schema_block(ast::SchemaKind::Intent));
      file.intent = std::move(intent);
    }
    skip_newlines();
    if (!at_keyword(Keyword::Evidence)) {
      const auto kind =
          file.intent ? ErrKind::ExpectedEvidenceAfterIntent : ErrKind::ExpectedEvidenceSchema;
      return make_err(error_at(kind, offset()));
    }
    VERDANE_TRY(evidence, schema_block(ast::SchemaKind::Evidence));
    file.evidence = std::move(evidence);

    skip_newlines();
    if (!at_keyword(Keyword::Requires)) {
      return make_err(error_at(ErrKind::ExpectedRequirements, offset()));
    }
    VERDANE_TRY(constraints, requires_block());
    file.constraints = std::move(constraints);

    skip_newlines();
    if (!at_end()) return make_err(error_at(ErrKind::ExpectedEndOfFile, offset()));
    return file;
  }

 private:
  // ---- token access ----

  bool at_end() const { return pos_ >= toks_.size(); }
  bool kind_at(std::size_t i, TokenKind kind) const {
    return i < toks_.size() && toks_[i].token.is(kind);
  }
  bool keyword_at(std::size_t i, Keyword kw) const {
    return i < toks_.size() && toks_[i].token.is_keyword(kw);
  }
  bool at(TokenKind kind) const { return kind_at(pos_, kind); }
  bool at_keyword(Keyword kw) const { return keyword_at(pos_, kw); }
  // Precondition: !at_end().
  const Spanned& bump() { return toks_[pos_++]; }
  void skip_newlines() {
    while (at(TokenKind::Newline)) ++pos_;
  }
  // Index of the first token at or after pos_ that is not a Newline.
  std::size_t past_newlines() const {
    std::size_t i = pos_;
    while (kind_at(i, TokenKind::Newline)) ++i;
    return i;
  }
  // Start of the current token, or the end of the source past the last one.
  std::size_t offset() const { return at_end() ? src_.size() : toks_[pos_].span.start; }
  std::string found() const { return at_end() ? "end of input" : toks_[pos_].token.describe(); }

  // ---- errors ----

  CompileError parse_err(std::string message, std::size_t offset) const {
    return CompileError::syntax(src_, offset, std::move(message));
  }
  CompileError error_at(ErrKind kind, std::size_t offset, std::string text = {}) const {
    return CompileError::at(kind, src_, offset, std::move(text));
  }
  // "expected <what>, found <current token or end of input>" at the current token.
  CompileError expected(std::string_view what) const {
    return parse_err("expected " + std::string(what) + ", found " + found(), offset());
  }
  CompileError too_nested() const {
    return parse_err(
        "expression nested too deeply (maximum depth is " + std::to_string(MAX_DEPTH) + ")",
        offset());
  }
  // Fails when a node of `height` would exceed the tree height limit;
  // `op_offset` is the operator that builds the node.
  std::optional<CompileError> check_height(std::size_t height, std::size_t op_offset) const {
    if (height <= types::MAX_EXPR_DEPTH) return std::nullopt;
    return ast::too_deep_error(src_, op_offset);
  }

  PResult<Span> expect_token(TokenKind kind, std::string_view what) {
    if (!at(kind)) return make_err(expected(what));
    return bump().span;
  }

  struct Ident {
    std::string name;
    Span span;
  };
  PResult<Ident> expect_ident() {
    if (!at(TokenKind::Ident)) return make_err(expected("identifier"));
    const Spanned& t = bump();
    return Ident{t.token.text(), t.span};
  }

  // ---- blocks ----

  // `intent { ... }` or `evidence { ... }`; the current token is the keyword.
  PResult<ast::Schema> schema_block(ast::SchemaKind kind) {
    const bool is_intent = kind == ast::SchemaKind::Intent;
    ast::Schema schema;
    schema.kind = kind;
    const Span keyword = bump().span;
    VERDANE_CHECK(expect_token(TokenKind::LBrace, "`{`"));
    while (true) {
      skip_newlines();
      if (at_end() || at(TokenKind::RBrace)) {
        VERDANE_TRY(close, expect_token(TokenKind::RBrace, "`}`"));
        if (!is_intent && schema.fields.empty()) {
          return make_err(error_at(ErrKind::EmptyEvidenceBlock, close.start));
        }
        schema.span = Span{keyword.start, close.end};
        return schema;
      }
      VERDANE_TRY(name, expect_ident());
      VERDANE_CHECK(expect_token(TokenKind::Colon, "`:`"));
      bool optional = false;
      if (at_keyword(Keyword::Optional)) {
        if (!is_intent) {
          return make_err(
              parse_err("`optional` is not allowed in `evidence` schema fields", offset()));
        }
        ++pos_;
        optional = true;
      }
      VERDANE_TRY(ty, type());
      schema.fields.push_back(ast::SchemaField{std::move(name.name), name.span, optional, ty});
      // Fields are separated by line breaks; the last may be followed by }.
      if (!at(TokenKind::Newline) && !at(TokenKind::RBrace)) {
        return make_err(expected("newline or `}`"));
      }
    }
  }

  std::optional<types::Type> scalar_type() const {
    if (at_keyword(Keyword::Bool)) return types::Type::Bool;
    if (at_keyword(Keyword::Int)) return types::Type::Int;
    if (at_keyword(Keyword::String)) return types::Type::String;
    if (at_keyword(Keyword::Date)) return types::Type::Date;
    return std::nullopt;
  }

  PResult<types::Type> type() {
    if (const auto scalar = scalar_type()) {
      ++pos_;
      return *scalar;
    }
    if (at_keyword(Keyword::Set)) {
      ++pos_;
      VERDANE_CHECK(expect_token(TokenKind::LAngle, "`<`"));
      types::Type ty;
      if (at_keyword(Keyword::Int)) {
        ty = types::Type::IntSet;
      } else if (at_keyword(Keyword::String)) {
        ty = types::Type::StringSet;
      } else if (at_keyword(Keyword::Date)) {
        ty = types::Type::DateSet;
      } else {
        return make_err(error_at(ErrKind::UnsupportedSetType, offset()));
      }
      ++pos_;
      VERDANE_CHECK(expect_token(TokenKind::RAngle, "`>`"));
      return ty;
    }
    if (at(TokenKind::Ident)) {
      return make_err(error_at(ErrKind::UnknownType, offset(), toks_[pos_].token.text()));
    }
    return make_err(expected("a type"));
  }

  // `requires { ... }`; the current token is the keyword.
  PResult<std::vector<ast::ConstraintAst>> requires_block() {
    ++pos_;
    VERDANE_CHECK(expect_token(TokenKind::LBrace, "`{`"));
    std::vector<ast::ConstraintAst> constraints;
    while (true) {
      while (at(TokenKind::Newline) || at(TokenKind::Semicolon)) ++pos_;
      if (at_end() || at(TokenKind::RBrace)) {
        VERDANE_TRY(close, expect_token(TokenKind::RBrace, "`}`"));
        if (constraints.empty()) {
          return make_err(error_at(ErrKind::EmptyRequiresBlock, close.start));
        }
        return constraints;
      }
      const std::size_t start = offset();
      bool optional = false;
      if (at_keyword(Keyword::Optional) && kind_at(pos_ + 1, TokenKind::Colon)) {
        pos_ += 2;
        skip_newlines();
        optional = true;
      }
      VERDANE_TRY(e, expr_bool());
      const Span span{start, e.expr.span.end};
      constraints.push_back(ast::ConstraintAst{std::move(e.expr), span, optional});

      // A constraint ends at ';', or at '}' (possibly after line breaks).
      if (at_end() || at(TokenKind::RBrace)) continue;
      if (at(TokenKind::Semicolon)) {
        ++pos_;
        continue;
      }
      if (at(TokenKind::Newline)) {
        const std::size_t next = past_newlines();
        if (next >= toks_.size() || toks_[next].token.is(TokenKind::RBrace)) {
          pos_ = next;
          continue;
        }
        return make_err(error_at(ErrKind::ExpectedConstraintEnd, toks_[next].span.start));
      }
      return make_err(error_at(ErrKind::ExpectedConstraintEnd, offset()));
    }
  }

  // ---- expressions ----
  // Each level operation first checks and raises the nesting depth.

  // Level 1: operand (and operand)* or operand (or operand)*, n-ary.
  PResult<Built> expr_bool() {
    if (depth_ >= MAX_DEPTH) return make_err(too_nested());
    DepthGuard guard(depth_);
    skip_newlines();
    VERDANE_TRY(first, expr_cmp());
    std::size_t next = past_newlines();
    if (!keyword_at(next, Keyword::And) && !keyword_at(next, Keyword::Or)) return first;

    const bool is_and = keyword_at(next, Keyword::And);
    const Keyword other = is_and ? Keyword::Or : Keyword::And;
    const Keyword same = is_and ? Keyword::And : Keyword::Or;
    const std::size_t start = first.expr.span.start;
    std::size_t end = first.expr.span.end;
    std::size_t height = first.height;
    std::vector<ast::ExprAst> operands;
    operands.push_back(std::move(first.expr));
    while (true) {
      pos_ = next;
      const std::size_t connective = bump().span.start;
      skip_newlines();
      VERDANE_TRY(operand, expr_cmp());
      height = std::max(height, operand.height);
      if (auto err = check_height(height + 1, connective)) return make_err(std::move(*err));
      end = operand.expr.span.end;
      operands.push_back(std::move(operand.expr));
      next = past_newlines();
      if (keyword_at(next, same)) continue;
      if (keyword_at(next, other)) {
        return make_err(error_at(ErrKind::MixedAndOr, toks_[next].span.start));
      }
      break;  // stay before any newlines
    }
    ast::ExprKind kind;
    if (is_and) {
      kind = ast::And{std::move(operands)};
    } else {
      kind = ast::Or{std::move(operands)};
    }
    return Built{ast::ExprAst{std::move(kind), Span{start, end}}, height + 1};
  }

  // Number of tokens (1 or 2) of the set operator at the current token, or 0.
  std::size_t set_operator(ast::SetOpAst& op) const {
    if (at_keyword(Keyword::In)) {
      op = ast::SetOpAst::In;
      return 1;
    }
    if (at_keyword(Keyword::Not) && keyword_at(pos_ + 1, Keyword::In)) {
      op = ast::SetOpAst::NotIn;
      return 2;
    }
    if (at_keyword(Keyword::Subset) && keyword_at(pos_ + 1, Keyword::Of)) {
      op = ast::SetOpAst::SubsetOf;
      return 2;
    }
    if (at_keyword(Keyword::Superset) && keyword_at(pos_ + 1, Keyword::Of)) {
      op = ast::SetOpAst::SupersetOf;
      return 2;
    }
    return 0;
  }

  std::optional<ast::CmpOp> comparison_operator() const {
    if (at_end()) return std::nullopt;
    switch (toks_[pos_].token.kind()) {
      case TokenKind::EqEq:
        return ast::CmpOp::Eq;
      case TokenKind::Lt:
        return ast::CmpOp::Lt;
      case TokenKind::Le:
        return ast::CmpOp::Le;
      case TokenKind::Gt:
        return ast::CmpOp::Gt;
      case TokenKind::Ge:
        return ast::CmpOp::Ge;
      default:
        return std::nullopt;
    }
  }

  // Level 2: one set operator, or a comparison chain.
  PResult<Built> expr_cmp() {
    if (depth_ >= MAX_DEPTH) return make_err(too_nested());
    DepthGuard guard(depth_);
    VERDANE_TRY(lhs, expr_not());

    ast::SetOpAst set_op = ast::SetOpAst::In;
    if (const std::size_t words = set_operator(set_op)) {
      const Span op_span{toks_[pos_].span.start, toks_[pos_ + words - 1].span.end};
      pos_ += words;
      skip_newlines();
      VERDANE_TRY(rhs, expr_not());
      const std::size_t height = 1 + std::max(lhs.height, rhs.height);
      if (auto err = check_height(height, op_span.start)) return make_err(std::move(*err));
      const Span span{lhs.expr.span.start, rhs.expr.span.end};
      return Built{ast::ExprAst{ast::SetOp{set_op, box(std::move(lhs.expr)),
                                           box(std::move(rhs.expr)), op_span},
                                span},
                   height};
    }

    if (!comparison_operator()) return lhs;
    const std::size_t start = lhs.expr.span.start;
    std::size_t end = lhs.expr.span.end;
    std::size_t height = lhs.height;
    ast::Chain chain;
    chain.operands.push_back(std::move(lhs.expr));
    int chain_direction = 0;
    std::size_t first_directional = 0;
    while (const auto op = comparison_operator()) {
      const Span op_span = toks_[pos_].span;
      if (const int d = direction(*op); d != 0) {
        if (chain_direction == 0) {
          chain_direction = d;
          first_directional = op_span.start;
        } else if (d != chain_direction) {
          return make_err(error_at(ErrKind::ChainDirectionReversed, first_directional));
        }
      }
      ++pos_;
      skip_newlines();
      VERDANE_TRY(operand, expr_not());
      height = std::max(height, operand.height);
      if (auto err = check_height(height + 1, op_span.start)) return make_err(std::move(*err));
      end = operand.expr.span.end;
      chain.ops.push_back(*op);
      chain.op_spans.push_back(op_span);
      chain.operands.push_back(std::move(operand.expr));
    }
    if (set_operator(set_op) != 0) {
      return make_err(error_at(ErrKind::MembershipInChain, offset()));
    }
    return Built{ast::ExprAst{std::move(chain), Span{start, end}}, height + 1};
  }

  // Level 3: prefix `not`, right-nested.
  PResult<Built> expr_not() {
    if (depth_ >= MAX_DEPTH) return make_err(too_nested());
    DepthGuard guard(depth_);
    if (!at_keyword(Keyword::Not)) return expr_arith();
    const Span not_span = bump().span;
    VERDANE_TRY(operand, expr_not());
    const std::size_t height = operand.height + 1;
    if (auto err = check_height(height, not_span.start)) return make_err(std::move(*err));
    const Span span{not_span.start, operand.expr.span.end};
    return Built{ast::ExprAst{ast::Not{box(std::move(operand.expr))}, span}, height};
  }

  PResult<Built> arith(ast::ArithOp op, Span op_span, Built lhs, Built rhs) const {
    const std::size_t height = 1 + std::max(lhs.height, rhs.height);
    if (auto err = check_height(height, op_span.start)) return make_err(std::move(*err));
    const Span span{lhs.expr.span.start, rhs.expr.span.end};
    return Built{
        ast::ExprAst{ast::Arith{op, box(std::move(lhs.expr)), box(std::move(rhs.expr)), op_span},
                     span},
        height};
  }

  // Level 4: + and -, left-nested.
  PResult<Built> expr_arith() {
    if (depth_ >= MAX_DEPTH) return make_err(too_nested());
    DepthGuard guard(depth_);
    VERDANE_TRY(lhs, expr_mul());
    while (at(TokenKind::Plus) || at(TokenKind::Minus)) {
      const auto op = at(TokenKind::Plus) ? ast::ArithOp::Add : ast::ArithOp::Sub;
      const Span op_span = bump().span;
      skip_newlines();
      VERDANE_TRY(rhs, expr_mul());
      VERDANE_TRY(node, arith(op, op_span, std::move(lhs), std::move(rhs)));
      lhs = std::move(node);
    }
    return lhs;
  }

  // Level 5: *, left-nested.
  PResult<Built> expr_mul() {
    if (depth_ >= MAX_DEPTH) return make_err(too_nested());
    DepthGuard guard(depth_);
    VERDANE_TRY(lhs, expr_atom());
    while (at(TokenKind::Star)) {
      const Span op_span = bump().span;
      skip_newlines();
      VERDANE_TRY(rhs, expr_atom());
      VERDANE_TRY(node, arith(ast::ArithOp::Mul, op_span, std::move(lhs), std::move(rhs)));
      lhs = std::move(node);
    }
    return lhs;
  }

  // Level 6: literals, set literals, field references, parentheses.
  PResult<Built> expr_atom() {
    if (depth_ >= MAX_DEPTH) return make_err(too_nested());
    DepthGuard guard(depth_);
    skip_newlines();
    if (at_end()) return make_err(expected("an expression"));
    const Spanned& t = toks_[pos_];
    switch (t.token.kind()) {
      case TokenKind::Int:
        ++pos_;
        return leaf(t.token.int_value(), t.span);
      case TokenKind::Str:
        ++pos_;
        return leaf(t.token.text(), t.span);
      case TokenKind::Date:
        ++pos_;
        return leaf(t.token.date(), t.span);
      case TokenKind::Minus: {
        ++pos_;
        if (!at(TokenKind::Int)) {
          return make_err(parse_err("expected integer literal after unary `-`", offset()));
        }
        const Spanned& n = bump();
        return leaf(-n.token.int_value(), Span{t.span.start, n.span.end});
      }
      case TokenKind::LParen: {
        ++pos_;
        skip_newlines();
        VERDANE_TRY(inner, expr_bool());
        skip_newlines();
        VERDANE_TRY(close, expect_token(TokenKind::RParen, "`)`"));
        const std::size_t height = inner.height + 1;
        if (auto err = check_height(height, t.span.start)) return make_err(std::move(*err));
        return Built{
            ast::ExprAst{ast::Paren{box(std::move(inner.expr))}, Span{t.span.start, close.end}},
            height};
      }
      case TokenKind::LBrace:
        return set_literal();
      case TokenKind::Keyword:
        switch (t.token.keyword()) {
          case Keyword::True:
            ++pos_;
            return leaf(true, t.span);
          case Keyword::False:
            ++pos_;
            return leaf(false, t.span);
          case Keyword::Intent:
          case Keyword::Evidence:
            return field_ref();
          default:
            break;
        }
        break;
      case TokenKind::Ident:
        return make_err(
            parse_err("expected `intent.<field>` or `evidence.<field>`, found bare identifier `" +
                          t.token.text() + "`",
                      t.span.start));
      default:
        break;
    }
    return make_err(expected("an expression"));
  }

  // `intent.<field>` or `evidence.<field>`; the current token is the keyword.
  PResult<Built> field_ref() {
    const Spanned& kw = bump();
    const auto ns =
        kw.token.is_keyword(Keyword::Intent) ? ast::Namespace::Intent : ast::Namespace::Evidence;
    VERDANE_CHECK(expect_token(TokenKind::Dot, "`.`"));
    VERDANE_TRY(name, expect_ident());
    const Span span{kw.span.start, name.span.end};
    return Built{ast::ExprAst{ast::Field{ns, std::move(name.name), name.span}, span}, 1};
  }

  // `{}` or `{e, e, ...}`; the current token is `{`.
  PResult<Built> set_literal() {
    const Span open = bump().span;
    skip_newlines();
    if (at(TokenKind::RBrace)) {
      const Span close = bump().span;
      return leaf(ast::EmptySet{}, Span{open.start, close.end});
    }
    ast::SetLiteral set;
    while (true) {
      skip_newlines();
      if (at_end()) {
        return make_err(parse_err("unexpected end of input in set literal", src_.size()));
      }
      const Spanned& t = toks_[pos_];
      switch (t.token.kind()) {
        case TokenKind::Int:
          set.elements.emplace_back(t.token.int_value());
          break;
        case TokenKind::Str:
          set.elements.emplace_back(t.token.text());
          break;
        case TokenKind::Date:
          set.elements.emplace_back(t.token.date());
          break;
        case TokenKind::Minus:
          ++pos_;
          if (!at(TokenKind::Int)) {
            return make_err(
                parse_err("expected integer literal after `-` in set element", offset()));
          }
          set.elements.emplace_back(-toks_[pos_].token.int_value());
          break;
        default:
          return make_err(parse_err(
              "expected a set element (int, string, or date literal), found " + t.token.describe(),
              t.span.start));
      }
      ++pos_;
      skip_newlines();
      if (at_end()) return make_err(parse_err("unterminated set literal", src_.size()));
      if (at(TokenKind::RBrace)) {
        const Span close = bump().span;
        return leaf(std::move(set), Span{open.start, close.end});
      }
      if (!at(TokenKind::Comma)) return make_err(expected("`,` or `}` in set literal"));
      ++pos_;
    }
  }

  std::string_view src_;
  const lexer::TokenList& toks_;
  std::size_t pos_ = 0;
  std::size_t depth_ = 0;
};

}  // namespace

Result<ast::File, CompileError> parse(std::string_view src, const lexer::TokenList& tokens) {
  return Parser(src, tokens).file();
}

}  // namespace verdane::parser::grammar
