// The operator table's spellings as the grammar matches them: each word of a
// spelling is one token, a symbol or a keyword. A spelling the lexer cannot
// produce does not compile.
#pragma once

#include <array>
#include <cstddef>
#include <optional>
#include <string_view>

#include "parser/lexer/token.h"
#include "types/operators.h"

namespace verdane::parser::grammar {

// One word of a spelling: a token of `kind`, or of `keyword` when the kind is
// Keyword.
struct TokenPattern {
  lexer::TokenKind kind = lexer::TokenKind::Keyword;
  lexer::Keyword keyword = lexer::Keyword::Name;

  bool matches(const lexer::Token& token) const {
    return kind == lexer::TokenKind::Keyword ? token.is_keyword(keyword) : token.is(kind);
  }
};

// The tokens of one operator, in order: one or two.
struct OperatorTokens {
  std::array<TokenPattern, 2> words{};
  std::size_t count = 0;
};

namespace detail {

// The symbols operators are spelt with, as the lexer reads them.
struct Symbol {
  std::string_view text;
  lexer::TokenKind kind;
};
inline constexpr std::array<Symbol, 8> kSymbols{{
    {"+", lexer::TokenKind::Plus},
    {"-", lexer::TokenKind::Minus},
    {"*", lexer::TokenKind::Star},
    {"==", lexer::TokenKind::EqEq},
    {"<", lexer::TokenKind::Lt},
    {"<=", lexer::TokenKind::Le},
    {">", lexer::TokenKind::Gt},
    {">=", lexer::TokenKind::Ge},
}};

// Evaluated for the constant table below: a word that is neither a symbol
// nor a keyword reaches the throw, which stops compilation.
constexpr TokenPattern pattern_of(std::string_view word) {
  for (const Symbol& s : kSymbols) {
    if (s.text == word) return TokenPattern{s.kind, lexer::Keyword::Name};
  }
  for (std::size_t k = 0; k < lexer::KEYWORD_COUNT; ++k) {
    if (lexer::kKeywordTexts[k] == word) {
      return TokenPattern{lexer::TokenKind::Keyword, static_cast<lexer::Keyword>(k)};
    }
  }
  throw "an operator's spelling has a word the lexer does not produce";
}

constexpr OperatorTokens tokens_of(std::string_view spelling) {
  OperatorTokens out;
  std::size_t start = 0;
  while (start <= spelling.size()) {
    std::size_t end = spelling.find(' ', start);
    if (end == std::string_view::npos) end = spelling.size();
    if (out.count == out.words.size()) throw "an operator's spelling has more than two words";
    out.words[out.count++] = pattern_of(spelling.substr(start, end - start));
    start = end + 1;
  }
  return out;
}

inline constexpr auto kOperatorTokens = [] {
  std::array<OperatorTokens, types::kOperators.size()> out{};
  for (std::size_t i = 0; i < out.size(); ++i) out[i] = tokens_of(types::kOperators[i].spelling);
  return out;
}();

// Comparisons are the relations between two values of one type; they
// chain (`a < b <= c`), where the set relations stand alone.
constexpr bool chains(const types::Operator& op) {
  return op.binding == types::Binding::Relation &&
         (op.operands == types::Operands::Same || op.operands == types::Operands::Ordered);
}

// The operator each token starts, for symbols by token kind and for
// keywords by keyword; -1 where none does. No two operators start with the
// same token, so the first token decides.
struct Starts {
  std::array<int, lexer::TOKEN_KIND_COUNT> symbol;
  std::array<int, lexer::KEYWORD_COUNT> keyword;
};

// Over the operators that `keep` accepts.
template <typename Keep>
constexpr Starts starts_of(Keep keep) {
  Starts out{};
  out.symbol.fill(-1);
  out.keyword.fill(-1);
  for (std::size_t i = 0; i < kOperatorTokens.size(); ++i) {
    const TokenPattern& first = kOperatorTokens[i].words[0];
    int& slot = first.kind == lexer::TokenKind::Keyword
                    ? out.keyword[static_cast<std::size_t>(first.keyword)]
                    : out.symbol[static_cast<std::size_t>(first.kind)];
    if (slot != -1) throw "two operators start with the same token";
    if (keep(types::kOperators[i])) slot = static_cast<int>(types::kFirstOperator + i);
  }
  return out;
}

inline constexpr Starts kStarts = starts_of([](const types::Operator&) { return true; });
// The arithmetic operators of one binding, and the comparisons: the grammar
// looks for these after every operand.
template <types::Binding B>
inline constexpr Starts kStartsOf = starts_of([](const types::Operator& op) {
  return op.binding == B && !chains(op);
});
inline constexpr Starts kComparisonStarts = starts_of(chains);

// The grammar takes arithmetic operators and comparisons as one token.
static_assert([] {
  for (std::size_t i = 0; i < kOperatorTokens.size(); ++i) {
    const types::Operator& op = types::kOperators[i];
    const bool arithmetic =
        op.binding == types::Binding::Additive || op.binding == types::Binding::Multiplicative;
    if ((arithmetic || chains(op)) && kOperatorTokens[i].count != 1) return false;
  }
  return true;
}());

inline std::optional<types::ExprKind> starting(const Starts& starts, const lexer::Token& token) {
  const int kind = token.kind() == lexer::TokenKind::Keyword
                       ? starts.keyword[static_cast<std::size_t>(token.keyword())]
                       : starts.symbol[static_cast<std::size_t>(token.kind())];
  if (kind < 0) return std::nullopt;
  return static_cast<types::ExprKind>(kind);
}

}  // namespace detail

// The tokens of the operator `kind`. Precondition: `kind` is an operator.
constexpr const OperatorTokens& tokens_of(types::ExprKind kind) {
  return detail::kOperatorTokens[static_cast<std::size_t>(kind) - types::kFirstOperator];
}

// The operator whose first token is `token`, if any.
inline std::optional<types::ExprKind> operator_starting(const lexer::Token& token) {
  return detail::starting(detail::kStarts, token);
}
// The same among the operators of binding `B` that do not chain.
template <types::Binding B>
std::optional<types::ExprKind> operator_starting(const lexer::Token& token) {
  return detail::starting(detail::kStartsOf<B>, token);
}
// The same among the comparisons.
inline std::optional<types::ExprKind> comparison_starting(const lexer::Token& token) {
  return detail::starting(detail::kComparisonStarts, token);
}

}  // namespace verdane::parser::grammar
