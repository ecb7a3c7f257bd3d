// Tokens of the template language, as the lexer produces them.
#pragma once

#include <array>
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

inline constexpr std::array<std::string_view, KEYWORD_COUNT> kKeywordTexts = {
    "name",   "intent", "evidence", "requires", "optional", "bool", "int",
    "string", "date",   "set",      "True",     "False",    "not",  "and",
    "or",     "in",     "subset",   "superset", "of",
};

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

// One token. Texts of Ident and Str tokens are not copied: they refer to the
// source or to storage owned by the lexer or TokenList that made the token.
class Token {
 public:
  // A token without payload. Precondition: `kind` is not Ident, Int, Str,
  // Date or Keyword.
  static Token punct(TokenKind kind) {
    Token t;
    t.kind_ = kind;
    return t;
  }
  // `text` must outlive the token.
  static Token ident(std::string_view text) { return with_text(TokenKind::Ident, text); }
  static Token str(std::string_view text) { return with_text(TokenKind::Str, text); }
  static Token integer(std::int64_t value) {
    Token t;
    t.kind_ = TokenKind::Int;
    t.payload_.int_value = value;
    return t;
  }
  static Token date(types::DateLit value) {
    Token t;
    t.kind_ = TokenKind::Date;
    t.payload_.date = value;
    return t;
  }
  static Token keyword(Keyword kw) {
    Token t;
    t.kind_ = TokenKind::Keyword;
    t.keyword_ = kw;
    return t;
  }

  TokenKind kind() const { return kind_; }
  bool is(TokenKind kind) const { return kind_ == kind; }
  bool is_keyword(Keyword kw) const { return kind_ == TokenKind::Keyword && keyword_ == kw; }

  // Payload accessors; each requires the matching kind.
  std::string_view text() const { return {payload_.text.data, payload_.text.size}; }  // Ident, Str
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
    struct {
      const char* data;
      std::size_t size;
    } text;
    types::DateLit date;
  };

  static Token with_text(TokenKind kind, std::string_view text) {
    Token t;
    t.kind_ = kind;
    t.payload_.text = {text.data(), text.size()};
    return t;
  }

  TokenKind kind_ = TokenKind::Newline;
  Keyword keyword_ = Keyword::Name;
  Payload payload_;
};
// Compact on 64-bit hosts; the 32-bit WebAssembly build is smaller still.
static_assert(sizeof(void*) != 8 || sizeof(Token) == 24);

// A token with the half-open byte range of the source it came from.
struct Spanned {
  Token token;
  errors::Span span;
};

}  // namespace verdane::parser::lexer
