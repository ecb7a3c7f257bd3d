// The lexer: template source text to tokens, one at a time or all at once.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <optional>
#include <string>
#include <string_view>

#include "errors/compile_error.h"
#include "parser/lexer/token.h"
#include "support/result.h"

namespace verdane::parser::lexer {

// Scans a source one token at a time, so a parser can consume tokens as they
// come instead of holding the whole list. Never reads outside the source,
// whatever its bytes. The texts of Ident tokens and of Str tokens without
// escapes are views of the source; decoded Str texts live in the lexer. Both
// must outlive the tokens.
class Lexer {
 public:
  explicit Lexer(std::string_view src) : src_(src) {}
  Lexer(const Lexer&) = delete;
  Lexer& operator=(const Lexer&) = delete;

  // The next token into `out`. False at the end of the source and at the
  // first lexical error (UnexpectedChar, IntegerOutOfRange,
  // UnterminatedString, UnsupportedEscape, InvalidDate,
  // MalformedDateLiteral, or Syntax for a single '='), which error() then
  // holds; every later call returns false too.
  bool next(Spanned& out);
  const std::optional<errors::CompileError>& error() const { return error_; }

  // Hands over the storage of decoded Str texts (for a TokenList).
  std::deque<std::string> take_texts() { return std::move(decoded_); }

 private:
  bool emit(Spanned& out, Token token, std::size_t start, std::size_t end);
  // Records the error; always false. Out of line, so that building an error
  // costs the scanning code nothing.
  [[gnu::noinline, gnu::cold]] bool fail(errors::CompileError::Kind kind, std::size_t offset,
                                         errors::Detail detail = errors::detail::None{});
  bool next_is(char c) const { return p_ + 1 < src_.size() && src_[p_ + 1] == c; }
  bool last_is_keyword(std::size_t n, Keyword kw) const;
  bool closes_set_type() const;
  bool string_literal(Spanned& out);
  bool word(Spanned& out);
  bool date_literal(Spanned& out, std::size_t w, std::size_t open);
  bool integer(Spanned& out);

  // The kind and keyword of a token in 16 bits, for recent_.
  static std::uint64_t key(TokenKind kind, Keyword kw = Keyword::Name) {
    return (static_cast<std::uint64_t>(kind) << 8) | static_cast<std::uint64_t>(kw);
  }
  // The key of the n-th latest token (1 = the last one); all bits set when
  // fewer tokens were emitted.
  std::uint64_t recent(std::size_t n) const { return (recent_ >> (16 * (n - 1))) & 0xFFFF; }

  std::string_view src_;
  std::size_t p_ = 0;
  bool failed_ = false;
  std::optional<errors::CompileError> error_;
  // Keys of the last three tokens, latest in the low bits, for telling a set
  // type's angle brackets from comparisons.
  std::uint64_t recent_ = ~std::uint64_t{0};
  bool emitted_ = false;
  std::deque<std::string> decoded_;
};

// The tokens of one source in source order, together with the texts that
// their Str tokens refer to. Moving the list keeps every text reference
// valid; copying would not, so the list is move-only.
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

 private:
  friend Result<TokenList, errors::CompileError> tokenize(std::string_view src);

  std::deque<Spanned> tokens_;
  std::deque<std::string> texts_;
};

// Scans the whole source: every token, or the first lexical error. Ident
// texts refer to `src`, which must outlive the list.
Result<TokenList, errors::CompileError> tokenize(std::string_view src);

}  // namespace verdane::parser::lexer
