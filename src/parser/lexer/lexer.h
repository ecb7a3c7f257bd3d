// The lexer: template source text to a flat list of tokens.
#pragma once

#include <cstddef>
#include <deque>
#include <string>
#include <string_view>

#include "errors/compile_error.h"
#include "parser/lexer/token.h"
#include "support/result.h"

namespace verdane::parser::lexer {

// The tokens of one source in source order, together with the texts their
// Ident and Str tokens refer to. Both live in deques: growing one never moves
// or copies what it already holds (a large source has millions of tokens), and
// moving the list keeps every text reference valid. Copying would not, so the
// list is move-only.
class TokenList {
 public:
  TokenList() = default;
  TokenList(TokenList&&) = default;
  TokenList& operator=(TokenList&&) = default;
  TokenList(const TokenList&) = delete;
  TokenList& operator=(const TokenList&) = delete;

  std::size_t size() const { return tokens_.size(); }
  bool empty() const { return tokens_.empty(); }
  // Precondition: i < size().
  const Spanned& operator[](std::size_t i) const { return tokens_[i]; }
  const Spanned& back() const { return tokens_.back(); }
  auto begin() const { return tokens_.begin(); }
  auto end() const { return tokens_.end(); }

  // Stores `text` and returns the stored copy, for use in Token::ident/str.
  const std::string& own(std::string text) { return texts_.emplace_back(std::move(text)); }
  void push(Token token, errors::Span span) { tokens_.push_back(Spanned{token, span}); }

 private:
  std::deque<Spanned> tokens_;
  std::deque<std::string> texts_;
};

// Scans the whole source in one pass. Returns every token, or the first
// lexical error (UnexpectedChar, IntegerOutOfRange, UnterminatedString,
// UnsupportedEscape, InvalidDate, MalformedDateLiteral, or Syntax for a
// single '='). Never reads outside `src`, whatever its bytes.
Result<TokenList, errors::CompileError> tokenize(std::string_view src);

}  // namespace verdane::parser::lexer
