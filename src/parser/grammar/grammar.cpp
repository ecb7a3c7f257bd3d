#include "parser/grammar/grammar.h"

#include <algorithm>
#include <array>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "parser/ast/height.h"
#include "parser/grammar/operator_tokens.h"
#include "parser/lexer/lexer.h"
#include "types/model.h"

namespace verdane::parser::grammar {

namespace {

using errors::CompileError;
using errors::Span;
using lexer::Keyword;
using lexer::Spanned;
using lexer::TokenKind;
using ErrKind = CompileError::Kind;
using types::Binding;
using types::ExprKind;

// The AST's comparison and arithmetic operators are numbered as their kinds
// from Eq and from Add.
constexpr int distance(ExprKind from, ExprKind to) {
  return static_cast<int>(to) - static_cast<int>(from);
}
static_assert(distance(ExprKind::Eq, ExprKind::Lt) == static_cast<int>(ast::CmpOp::Lt) &&
              distance(ExprKind::Eq, ExprKind::Le) == static_cast<int>(ast::CmpOp::Le) &&
              distance(ExprKind::Eq, ExprKind::Gt) == static_cast<int>(ast::CmpOp::Gt) &&
              distance(ExprKind::Eq, ExprKind::Ge) == static_cast<int>(ast::CmpOp::Ge) &&
              distance(ExprKind::Add, ExprKind::Sub) == static_cast<int>(ast::ArithOp::Sub) &&
              distance(ExprKind::Add, ExprKind::Mul) == static_cast<int>(ast::ArithOp::Mul));
ast::CmpOp cmp_op_of(ExprKind kind) {
  return static_cast<ast::CmpOp>(distance(ExprKind::Eq, kind));
}
ast::ArithOp arith_op_of(ExprKind kind) {
  return static_cast<ast::ArithOp>(distance(ExprKind::Add, kind));
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

// The lexer's tokens with a lookahead of one past the current token. A
// Newline token right after another (line feeds apart from each other only
// by blanks or comments) means nothing more to the grammar, so it is
// dropped: a Newline is always followed by some other token or the end.
class TokenStream {
 public:
  explicit TokenStream(std::string_view src) : lexer_(src) { has_current_ = pull(current_); }

  // The current token, or nullptr past the last token (at the end of the
  // source or at a lexical error).
  const Spanned* current() const { return has_current_ ? &current_ : nullptr; }
  // The token after the current one, or nullptr.
  const Spanned* next() {
    if (!next_loaded_) {
      has_next_ = has_current_ && pull(next_);
      next_loaded_ = true;
    }
    return has_next_ ? &next_ : nullptr;
  }
  // Precondition: current() != nullptr.
  void advance() {
    if (next_loaded_) {
      current_ = next_;
      has_current_ = has_next_;
      next_loaded_ = false;
    } else {
      has_current_ = pull(current_);
    }
  }

  // The first lexical error of the whole source, if any. Scans the rest of
  // the source that the parser did not reach.
  const std::optional<CompileError>& lexical_error() {
    Spanned ignored;
    while (lexer_.next(ignored)) {
    }
    return lexer_.error();
  }

 private:
  bool pull(Spanned& out) {
    while (lexer_.next(out)) {
      const bool newline = out.token.is(TokenKind::Newline);
      if (newline && after_newline_) continue;
      after_newline_ = newline;
      return true;
    }
    return false;
  }

  lexer::Lexer lexer_;
  Spanned current_;
  Spanned next_;
  bool has_current_ = false;
  bool has_next_ = false;
  bool next_loaded_ = false;
  bool after_newline_ = false;
};

// Each expression level appends the nodes it completes to the tree of the
// constraint being parsed, reports the height of what it built and returns
// false on the first error, which the parser keeps. Frames stay small, so the
// nesting limit keeps recursion shallow.
class Parser {
 public:
  explicit Parser(std::string_view src) : src_(src), toks_(src) {}

  bool file(ast::File& file) {
    skip_newlines();
    if (!at_keyword(Keyword::Name)) return fail_at(ErrKind::ExpectedName, offset());
    toks_.advance();
    if (!at(TokenKind::Ident)) return fail_at(ErrKind::ExpectedNameIdent, offset());
    const Spanned name = bump();
    file.name = std::string(name.token.text());
    file.name_span = name.span;

    skip_newlines();
    if (at_keyword(Keyword::Intent)) {
      file.intent.emplace();
      if (!schema_block(ast::SchemaKind::Intent, *file.intent)) return false;
    }
    skip_newlines();
    if (!at_keyword(Keyword::Evidence)) {
      const auto kind =
          file.intent ? ErrKind::ExpectedEvidenceAfterIntent : ErrKind::ExpectedEvidenceSchema;
      return fail_at(kind, offset());
    }
    if (!schema_block(ast::SchemaKind::Evidence, file.evidence)) return false;

    skip_newlines();
    if (!at_keyword(Keyword::Requires)) {
      return fail_at(ErrKind::ExpectedRequirements, offset());
    }
    if (!requires_block(file.constraints, file.tree_memory.get())) return false;

    skip_newlines();
    if (!at_end()) return fail_at(ErrKind::ExpectedEndOfFile, offset());
    return true;
  }

  const std::optional<CompileError>& lexical_error() { return toks_.lexical_error(); }
  CompileError take_error() { return std::move(*error_); }

 private:
  // ---- token access ----

  bool at_end() const { return toks_.current() == nullptr; }
  // The token `k` (0 or 1) places ahead, or nullptr.
  const Spanned* peek(std::size_t k) { return k == 0 ? toks_.current() : toks_.next(); }
  bool kind_at(std::size_t k, TokenKind kind) {
    const Spanned* t = peek(k);
    return t != nullptr && t->token.is(kind);
  }
  bool keyword_at(std::size_t k, Keyword kw) {
    const Spanned* t = peek(k);
    return t != nullptr && t->token.is_keyword(kw);
  }
  // The number of tokens of operator `kind` when they start `k` (0 or 1)
  // places ahead, or 0. The lookahead reaches one token past the current.
  std::size_t operator_at(std::size_t k, ExprKind kind) {
    const OperatorTokens& op = tokens_of(kind);
    for (std::size_t i = 0; i < op.count; ++i) {
      const Spanned* t = k + i <= 1 ? peek(k + i) : nullptr;
      if (t == nullptr || !op.words[i].matches(t->token)) return 0;
    }
    return op.count;
  }
  // The arithmetic operator of binding `B`, or the comparison, whose tokens
  // start here. Each is one token.
  template <Binding B>
  std::optional<ExprKind> arith_operator_here() {
    const Spanned* t = toks_.current();
    return t ? operator_starting<B>(t->token) : std::nullopt;
  }
  std::optional<ExprKind> comparison_here() {
    const Spanned* t = toks_.current();
    return t ? comparison_starting(t->token) : std::nullopt;
  }
  bool at(TokenKind kind) const {
    const Spanned* t = toks_.current();
    return t != nullptr && t->token.is(kind);
  }
  bool at_keyword(Keyword kw) const {
    const Spanned* t = toks_.current();
    return t != nullptr && t->token.is_keyword(kw);
  }
  // Precondition: !at_end().
  Spanned bump() {
    const Spanned t = *toks_.current();
    toks_.advance();
    return t;
  }
  void skip_newlines() {
    while (at(TokenKind::Newline)) toks_.advance();
  }
  // Lookahead distance of the first token that is not a Newline: never more
  // than one, as Newlines do not follow each other.
  std::size_t past_newlines() const { return at(TokenKind::Newline) ? 1 : 0; }
  // Moves on by `k` (0 or 1) tokens.
  void skip(std::size_t k) {
    if (k != 0) toks_.advance();
  }
  // Start of the current token, or the end of the source past the last one.
  std::size_t offset() const { return at_end() ? src_.size() : toks_.current()->span.start; }
  std::string found() const {
    return at_end() ? "end of input" : toks_.current()->token.describe();
  }

  // ---- errors ----
  // Each records the first error and returns false, for `return fail...`.
  // They are out of line so that error paths cost the parsing code nothing.

  [[gnu::noinline, gnu::cold]] bool fail_at(ErrKind kind, std::size_t offset,
                                            errors::Detail detail = errors::detail::None{}) {
    error_ = CompileError::at(kind, src_, offset, std::move(detail));
    return false;
  }
  [[gnu::noinline, gnu::cold]] bool fail_syntax(std::string message, std::size_t offset) {
    error_ = CompileError::syntax(src_, offset, std::move(message));
    return false;
  }
  // "expected <what>, found <current token or end of input>" at the current token.
  [[gnu::noinline, gnu::cold]] bool fail_expected(std::string_view what) {
    return fail_syntax("expected " + std::string(what) + ", found " + found(), offset());
  }
  [[gnu::noinline, gnu::cold]] bool fail_too_nested() {
    return fail_syntax(
        "expression nested too deeply (maximum depth is " + std::to_string(MAX_DEPTH) + ")",
        offset());
  }
  [[gnu::noinline, gnu::cold]] bool fail_too_deep(std::size_t op_offset) {
    error_ = ast::too_deep_error(src_, op_offset);
    return false;
  }
  // Fails when a node of `height` would exceed the tree height limit;
  // `op_offset` is the operator that builds the node.
  bool check_height(std::size_t height, std::size_t op_offset) {
    return height <= types::MAX_EXPR_DEPTH || fail_too_deep(op_offset);
  }

  // Consumes a token of `kind`, storing its span in `span` if given.
  bool expect_token(TokenKind kind, std::string_view what, Span* span = nullptr) {
    if (!at(kind)) return fail_expected(what);
    const Span s = bump().span;
    if (span != nullptr) *span = s;
    return true;
  }

  // ---- blocks ----

  // `intent { ... }` or `evidence { ... }`; the current token is the keyword.
  bool schema_block(ast::SchemaKind kind, ast::Schema& schema) {
    const bool is_intent = kind == ast::SchemaKind::Intent;
    schema.kind = kind;
    const Span keyword = bump().span;
    if (!expect_token(TokenKind::LBrace, "`{`")) return false;
    while (true) {
      skip_newlines();
      if (at_end() || at(TokenKind::RBrace)) {
        Span close;
        if (!expect_token(TokenKind::RBrace, "`}`", &close)) return false;
        if (!is_intent && schema.fields.empty()) {
          return fail_at(ErrKind::EmptyEvidenceBlock, close.start);
        }
        schema.span = Span{keyword.start, close.end};
        return true;
      }
      if (!at(TokenKind::Ident)) return fail_expected("identifier");
      const Spanned name = bump();
      if (!expect_token(TokenKind::Colon, "`:`")) return false;
      bool optional = false;
      if (at_keyword(Keyword::Optional)) {
        if (!is_intent) {
          return fail_syntax("`optional` is not allowed in `evidence` schema fields", offset());
        }
        toks_.advance();
        optional = true;
      }
      types::Type ty = types::Type::Bool;
      if (!type(ty)) return false;
      schema.fields.push_back(
          ast::SchemaField{std::string(name.token.text()), name.span, optional, ty});
      // Fields are separated by line breaks; the last may be followed by }.
      if (!at(TokenKind::Newline) && !at(TokenKind::RBrace)) {
        return fail_expected("newline or `}`");
      }
    }
  }

  std::optional<types::Type> scalar_type() {
    if (at_keyword(Keyword::Bool)) return types::Type::Bool;
    if (at_keyword(Keyword::Int)) return types::Type::Int;
    if (at_keyword(Keyword::String)) return types::Type::String;
    if (at_keyword(Keyword::Date)) return types::Type::Date;
    return std::nullopt;
  }

  bool type(types::Type& out) {
    if (const auto scalar = scalar_type()) {
      toks_.advance();
      out = *scalar;
      return true;
    }
    if (at_keyword(Keyword::Set)) {
      toks_.advance();
      if (!expect_token(TokenKind::LAngle, "`<`")) return false;
      if (at_keyword(Keyword::Int)) {
        out = types::Type::IntSet;
      } else if (at_keyword(Keyword::String)) {
        out = types::Type::StringSet;
      } else if (at_keyword(Keyword::Date)) {
        out = types::Type::DateSet;
      } else {
        return fail_at(ErrKind::UnsupportedSetType, offset());
      }
      toks_.advance();
      return expect_token(TokenKind::RAngle, "`>`");
    }
    if (at(TokenKind::Ident)) {
      return fail_at(ErrKind::UnknownType, offset(),
                     errors::detail::Name{std::string(toks_.current()->token.text())});
    }
    return fail_expected("a type");
  }

  // `requires { ... }`; the current token is the keyword.
  bool requires_block(std::deque<ast::ConstraintAst>& constraints,
                      std::pmr::memory_resource* memory) {
    toks_.advance();
    if (!expect_token(TokenKind::LBrace, "`{`")) return false;
    while (true) {
      while (at(TokenKind::Newline) || at(TokenKind::Semicolon)) toks_.advance();
      if (at_end() || at(TokenKind::RBrace)) {
        Span close;
        if (!expect_token(TokenKind::RBrace, "`}`", &close)) return false;
        if (constraints.empty()) return fail_at(ErrKind::EmptyRequiresBlock, close.start);
        return true;
      }
      const std::size_t start = offset();
      bool optional = false;
      if (at_keyword(Keyword::Optional) && kind_at(1, TokenKind::Colon)) {
        toks_.advance();
        toks_.advance();
        skip_newlines();
        optional = true;
      }
      // Each constraint is built in one reused tree and then copied out at
      // its exact size into the file's tree memory.
      tree_.clear();
      std::size_t height = 0;
      if (!expr_bool(height)) return false;
      const Span span{start, tree_.span().end};
      constraints.push_back(ast::ConstraintAst{ast::ExprAst(tree_, memory), span, optional});

      // A constraint ends at ';', or at '}' (possibly after line breaks).
      if (at_end() || at(TokenKind::RBrace)) continue;
      if (at(TokenKind::Semicolon)) {
        toks_.advance();
        continue;
      }
      if (at(TokenKind::Newline)) {
        const Spanned* next = toks_.next();
        if (next == nullptr || next->token.is(TokenKind::RBrace)) {
          toks_.advance();
          continue;
        }
        return fail_at(ErrKind::ExpectedConstraintEnd, next->span.start);
      }
      return fail_at(ErrKind::ExpectedConstraintEnd, offset());
    }
  }

  // ---- expressions ----
  // Each level operation first checks and raises the nesting depth.

  // Level 1: operand (and operand)* or operand (or operand)*, n-ary.
  bool expr_bool(std::size_t& height) {
    if (depth_ >= MAX_DEPTH) return fail_too_nested();
    DepthGuard guard(depth_);
    skip_newlines();
    if (!expr_cmp(height)) return false;
    std::size_t next = past_newlines();
    if (!operator_at(next, ExprKind::And) && !operator_at(next, ExprKind::Or)) return true;

    const bool is_and = operator_at(next, ExprKind::And) != 0;
    const ExprKind other = is_and ? ExprKind::Or : ExprKind::And;
    const ExprKind same = is_and ? ExprKind::And : ExprKind::Or;
    std::size_t count = 1;
    while (true) {
      skip(next);
      const std::size_t connective = bump().span.start;
      skip_newlines();
      std::size_t operand = 0;
      if (!expr_cmp(operand)) return false;
      height = std::max(height, operand);
      if (!check_height(height + 1, connective)) return false;
      ++count;
      next = past_newlines();
      if (operator_at(next, same)) continue;
      if (operator_at(next, other)) {
        return fail_at(ErrKind::MixedAndOr, peek(next)->span.start);
      }
      break;  // stay before any newlines
    }
    if (is_and) {
      tree_.add_and(count);
    } else {
      tree_.add_or(count);
    }
    height += 1;
    return true;
  }

  // Number of tokens (1 or 2) of the set operator at the current token, or 0.
  // `not in` is written as the table's `not` before its `in`.
  std::size_t set_operator(ast::SetOpAst& op) {
    const Spanned* t = toks_.current();
    const std::optional<ExprKind> kind = t ? operator_starting(t->token) : std::nullopt;
    if (!kind) return 0;
    switch (*kind) {
      case ExprKind::In:
        op = ast::SetOpAst::In;
        return operator_at(0, ExprKind::In);
      case ExprKind::Not: {
        const std::size_t n = operator_at(0, ExprKind::Not);
        if (n == 0 || operator_at(n, ExprKind::In) == 0) return 0;
        op = ast::SetOpAst::NotIn;
        return n + tokens_of(ExprKind::In).count;
      }
      case ExprKind::SubsetOf:
        op = ast::SetOpAst::SubsetOf;
        return operator_at(0, ExprKind::SubsetOf);
      case ExprKind::SupersetOf:
        op = ast::SetOpAst::SupersetOf;
        return operator_at(0, ExprKind::SupersetOf);
      default:
        return 0;
    }
  }

  std::optional<ast::CmpOp> comparison_operator() {
    const auto kind = comparison_here();
    if (!kind) return std::nullopt;
    return cmp_op_of(*kind);
  }

  // Level 2: one set operator, or a comparison chain.
  bool expr_cmp(std::size_t& height) {
    if (depth_ >= MAX_DEPTH) return fail_too_nested();
    DepthGuard guard(depth_);
    if (!expr_not(height)) return false;

    ast::SetOpAst set_op = ast::SetOpAst::In;
    if (const std::size_t words = set_operator(set_op)) {
      const Span op_span{toks_.current()->span.start, peek(words - 1)->span.end};
      skip(words - 1);
      toks_.advance();
      skip_newlines();
      std::size_t rhs = 0;
      if (!expr_not(rhs)) return false;
      height = 1 + std::max(height, rhs);
      if (!check_height(height, op_span.start)) return false;
      tree_.add_set_op(set_op, op_span);
      return true;
    }

    if (!comparison_operator()) return true;
    std::size_t count = 1;
    int chain_direction = 0;
    std::size_t first_directional = 0;
    while (const auto op = comparison_operator()) {
      const Span op_span = toks_.current()->span;
      if (const int d = direction(*op); d != 0) {
        if (chain_direction == 0) {
          chain_direction = d;
          first_directional = op_span.start;
        } else if (d != chain_direction) {
          return fail_at(ErrKind::ChainDirectionReversed, first_directional);
        }
      }
      toks_.advance();
      skip_newlines();
      std::size_t operand = 0;
      if (!expr_not(operand)) return false;
      height = std::max(height, operand);
      if (!check_height(height + 1, op_span.start)) return false;
      tree_.add_link(*op, op_span);
      ++count;
    }
    if (set_operator(set_op) != 0) {
      return fail_at(ErrKind::MembershipInChain, offset());
    }
    tree_.add_chain(count);
    height += 1;
    return true;
  }

  // Level 3: prefix `not`, right-nested.
  bool expr_not(std::size_t& height) {
    if (depth_ >= MAX_DEPTH) return fail_too_nested();
    DepthGuard guard(depth_);
    if (!operator_at(0, ExprKind::Not)) return expr_arith<Binding::Additive>(height);
    const std::size_t not_start = bump().span.start;
    if (!expr_not(height)) return false;
    height += 1;
    if (!check_height(height, not_start)) return false;
    tree_.add_not(not_start);
    return true;
  }

  // Joins the last two trees (heights `height` and `rhs`) with `op`.
  bool arith(ast::ArithOp op, Span op_span, std::size_t& height, std::size_t rhs) {
    height = 1 + std::max(height, rhs);
    if (!check_height(height, op_span.start)) return false;
    tree_.add_arith(op, op_span);
    return true;
  }

  // Levels 4 and 5: the arithmetic operators of one binding (+ and -, then
  // *), left-nested; their operands are of the next tighter binding.
  template <Binding level>
  bool expr_arith(std::size_t& height) {
    if (depth_ >= MAX_DEPTH) return fail_too_nested();
    DepthGuard guard(depth_);
    constexpr auto tighter = static_cast<Binding>(static_cast<int>(level) + 1);
    const auto operand = [&](std::size_t& h) {
      if constexpr (tighter == Binding::Atom) {
        return expr_atom(h);
      } else {
        return expr_arith<tighter>(h);
      }
    };
    if (!operand(height)) return false;
    while (const auto kind = arith_operator_here<level>()) {
      const Span op_span = bump().span;
      skip_newlines();
      std::size_t rhs = 0;
      if (!operand(rhs) || !arith(arith_op_of(*kind), op_span, height, rhs)) return false;
    }
    return true;
  }

  // Level 6: literals, set literals, field references, parentheses.
  bool expr_atom(std::size_t& height) {
    if (depth_ >= MAX_DEPTH) return fail_too_nested();
    DepthGuard guard(depth_);
    skip_newlines();
    if (at_end()) return fail_expected("an expression");
    const Spanned t = *toks_.current();
    height = 1;
    switch (t.token.kind()) {
      case TokenKind::Int:
        toks_.advance();
        tree_.add_int(t.token.int_value(), t.span);
        return true;
      case TokenKind::Str:
        toks_.advance();
        tree_.add_str(t.token.text(), t.span);
        return true;
      case TokenKind::Date:
        toks_.advance();
        tree_.add_date(t.token.date(), t.span);
        return true;
      case TokenKind::Minus: {
        toks_.advance();
        if (!at(TokenKind::Int)) {
          return fail_syntax("expected integer literal after unary `-`", offset());
        }
        const Spanned n = bump();
        tree_.add_int(-n.token.int_value(), Span{t.span.start, n.span.end});
        return true;
      }
      case TokenKind::LParen: {
        toks_.advance();
        skip_newlines();
        std::size_t inner = 0;
        if (!expr_bool(inner)) return false;
        skip_newlines();
        Span close;
        if (!expect_token(TokenKind::RParen, "`)`", &close)) return false;
        height = inner + 1;
        if (!check_height(height, t.span.start)) return false;
        tree_.add_paren(Span{t.span.start, close.end});
        return true;
      }
      case TokenKind::LBrace:
        return set_literal();
      case TokenKind::Keyword:
        switch (t.token.keyword()) {
          case Keyword::True:
            toks_.advance();
            tree_.add_bool(true, t.span);
            return true;
          case Keyword::False:
            toks_.advance();
            tree_.add_bool(false, t.span);
            return true;
          case Keyword::Intent:
          case Keyword::Evidence:
            return field_ref();
          default:
            break;
        }
        break;
      case TokenKind::Ident:
        return fail_syntax(
            "expected `intent.<field>` or `evidence.<field>`, found bare identifier `" +
                std::string(t.token.text()) + "`",
            t.span.start);
      default:
        break;
    }
    return fail_expected("an expression");
  }

  // `intent.<field>` or `evidence.<field>`; the current token is the keyword.
  bool field_ref() {
    const Spanned kw = bump();
    const auto ns =
        kw.token.is_keyword(Keyword::Intent) ? ast::Namespace::Intent : ast::Namespace::Evidence;
    if (!expect_token(TokenKind::Dot, "`.`")) return false;
    if (!at(TokenKind::Ident)) return fail_expected("identifier");
    const Spanned name = bump();
    tree_.add_field(ns, name.token.text(), Span{kw.span.start, name.span.end});
    return true;
  }

  // `{}` or `{e, e, ...}`; the current token is `{`.
  bool set_literal() {
    const Span open = bump().span;
    skip_newlines();
    if (at(TokenKind::RBrace)) {
      const Span close = bump().span;
      tree_.add_empty_set(Span{open.start, close.end});
      return true;
    }
    std::size_t count = 0;
    while (true) {
      skip_newlines();
      if (at_end()) return fail_syntax("unexpected end of input in set literal", src_.size());
      const Spanned t = *toks_.current();
      switch (t.token.kind()) {
        case TokenKind::Int:
          tree_.add_int_element(t.token.int_value());
          break;
        case TokenKind::Str:
          tree_.add_str_element(t.token.text());
          break;
        case TokenKind::Date:
          tree_.add_date_element(t.token.date());
          break;
        case TokenKind::Minus:
          toks_.advance();
          if (!at(TokenKind::Int)) {
            return fail_syntax("expected integer literal after `-` in set element", offset());
          }
          tree_.add_int_element(-toks_.current()->token.int_value());
          break;
        default:
          return fail_syntax(
              "expected a set element (int, string, or date literal), found " + t.token.describe(),
              t.span.start);
      }
      ++count;
      toks_.advance();
      skip_newlines();
      if (at_end()) return fail_syntax("unterminated set literal", src_.size());
      if (at(TokenKind::RBrace)) {
        const Span close = bump().span;
        tree_.add_set(count, Span{open.start, close.end});
        return true;
      }
      if (!at(TokenKind::Comma)) return fail_expected("`,` or `}` in set literal");
      toks_.advance();
    }
  }

  std::string_view src_;
  TokenStream toks_;
  std::size_t depth_ = 0;
  ast::ExprAst tree_;  // the constraint being parsed
  std::optional<CompileError> error_;
};

}  // namespace

Result<ast::File, CompileError> parse(std::string_view src) {
  if (src.size() > MAX_SOURCE_SIZE) {
    return make_err(CompileError::syntax(
        src, 0,
        "template source is too large (maximum is " + std::to_string(MAX_SOURCE_SIZE) + " bytes)"));
  }
  Parser parser(src);
  // The trees of a template take a few times the size of its source; a first
  // block as large as the source keeps the number of blocks small.
  ast::File file(ast::make_tree_memory(src.size()));
  const bool parsed = parser.file(file);
  if (const auto& lexical = parser.lexical_error()) return make_err(*lexical);
  if (!parsed) return make_err(parser.take_error());
  return file;
}

}  // namespace verdane::parser::grammar
