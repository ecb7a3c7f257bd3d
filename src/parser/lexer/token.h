// Tokens of the template language, as the lexer produces them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "errors/span.h"
#include "types/model.h"

namespace verdane::parser::lexer {

// The reserved words. The order is fixed: the parser and describe() rely on it.
enum class Keyword : std::uint8_t {
  Name,
  Intent,
  Evidence,
  Requires,
  Optional,
  Bool,
  Int,
  String,
  Date,
  Set,
  True,
  False,
  Not,
  And,
  Or,
  In,
  Subset,
  Superset,
  Of,
};
inline constexpr std::size_t KEYWORD_COUNT = 19;

// The source text of a keyword ("name", "True", ...).
std::string_view keyword_text(Keyword kw);
// The keyword whose text is exactly `word` (case-sensitive), if any.
std::optional<Keyword> keyword_from_text(std::string_view word);

// The 24 token kinds. The five comparison kinds are consecutive, in the order
// ==, <, <=, >, >=.
enum class TokenKind : std::uint8_t {
  Ident,
  Int,
  Str,
  Date,
  Keyword,
  Newline,
  LBrace,
  RBrace,
  LParen,
  RParen,
  LAngle,  // '<' opening a set type
  RAngle,  // '>' closing a set type
  Comma,
  Semicolon,
  Colon,
  Plus,
  Minus,
  Star,
  Dot,
  EqEq,
  Lt,
  Le,
  Gt,
  Ge,
};
inline constexpr std::size_t TOKEN_KIND_COUNT = 24;

// One token. Kept small (the token list of a large source is big): texts of
// Ident and Str tokens live in the owning TokenList and are referenced here.
class Token {
 public:
  // A token without payload. Precondition: `kind` is not Ident, Int, Str,
  // Date or Keyword.
  static Token punct(TokenKind kind);
  // `text` must outlive the token (the TokenList owns it).
  static Token ident(const std::string& text);
  static Token str(const std::string& text);
  static Token integer(std::int64_t value);
  static Token date(types::DateLit value);
  static Token keyword(Keyword kw);

  TokenKind kind() const { return kind_; }
  bool is(TokenKind kind) const { return kind_ == kind; }
  bool is_keyword(Keyword kw) const { return kind_ == TokenKind::Keyword && keyword_ == kw; }

  // Payload accessors; each requires the matching kind.
  const std::string& text() const { return *payload_.text; }  // Ident, Str (decoded)
  std::int64_t int_value() const { return payload_.int_value; }
  types::DateLit date() const { return payload_.date; }
  Keyword keyword() const { return keyword_; }

  // The text used in "found <token>" messages, e.g. "identifier `x`",
  // "integer literal `5`", "keyword `date`", "newline", "`{`".
  std::string describe() const;

 private:
  // The payload of Int, Ident/Str and Date tokens; `kind_` tells which.
  union Payload {
    Payload() : int_value(0) {}
    std::int64_t int_value;
    const std::string* text;
    types::DateLit date;
  };

  TokenKind kind_ = TokenKind::Newline;
  Keyword keyword_ = Keyword::Name;
  Payload payload_;
};
static_assert(sizeof(Token) == 16);

// A token with the half-open byte range of the source it came from.
struct Spanned {
  Token token;
  errors::Span span;
};

}  // namespace verdane::parser::lexer
