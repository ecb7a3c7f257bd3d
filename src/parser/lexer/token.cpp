#include "parser/lexer/token.h"

#include <array>
#include <cstdio>

namespace verdane::parser::lexer {

namespace {

constexpr std::array<std::string_view, KEYWORD_COUNT> kKeywordTexts = {
    "name",   "intent", "evidence", "requires", "optional", "bool", "int",
    "string", "date",   "set",      "True",     "False",    "not",  "and",
    "or",     "in",     "subset",   "superset", "of",
};

}  // namespace

std::string_view keyword_text(Keyword kw) { return kKeywordTexts[static_cast<std::size_t>(kw)]; }

std::optional<Keyword> keyword_from_text(std::string_view word) {
  for (std::size_t i = 0; i < kKeywordTexts.size(); ++i) {
    // string_view equality compares lengths first, then bytes.
    if (kKeywordTexts[i] == word) return static_cast<Keyword>(i);
  }
  return std::nullopt;
}

Token Token::punct(TokenKind kind) {
  Token t;
  t.kind_ = kind;
  return t;
}

Token Token::ident(const std::string& text) {
  Token t;
  t.kind_ = TokenKind::Ident;
  t.payload_.text = &text;
  return t;
}

Token Token::str(const std::string& text) {
  Token t;
  t.kind_ = TokenKind::Str;
  t.payload_.text = &text;
  return t;
}

Token Token::integer(std::int64_t value) {
  Token t;
  t.kind_ = TokenKind::Int;
  t.payload_.int_value = value;
  return t;
}

Token Token::date(types::DateLit value) {
  Token t;
  t.kind_ = TokenKind::Date;
  t.payload_.date = value;
  return t;
}

Token Token::keyword(Keyword kw) {
  Token t;
  t.kind_ = TokenKind::Keyword;
  t.keyword_ = kw;
  return t;
}

std::string Token::describe() const {
  switch (kind_) {
    case TokenKind::Ident:
      return "identifier `" + text() + "`";
    case TokenKind::Int:
      return "integer literal `" + std::to_string(int_value()) + "`";
    case TokenKind::Str:
      return "string literal \"" + text() + "\"";
    case TokenKind::Date: {
      char buf[32];
      const types::DateLit d = date();
      std::snprintf(buf, sizeof buf, "%04d-%02u-%02u", static_cast<int>(d.year),
                    static_cast<unsigned>(d.month), static_cast<unsigned>(d.day));
      return std::string("date literal `date(") + buf + ")`";
    }
    case TokenKind::Keyword:
      return "keyword `" + std::string(keyword_text(keyword_)) + "`";
    case TokenKind::Newline:
      return "newline";
    case TokenKind::LBrace:
      return "`{`";
    case TokenKind::RBrace:
      return "`}`";
    case TokenKind::LParen:
      return "`(`";
    case TokenKind::RParen:
      return "`)`";
    case TokenKind::LAngle:
    case TokenKind::Lt:
      return "`<`";
    case TokenKind::RAngle:
    case TokenKind::Gt:
      return "`>`";
    case TokenKind::Comma:
      return "`,`";
    case TokenKind::Semicolon:
      return "`;`";
    case TokenKind::Colon:
      return "`:`";
    case TokenKind::Plus:
      return "`+`";
    case TokenKind::Minus:
      return "`-`";
    case TokenKind::Star:
      return "`*`";
    case TokenKind::Dot:
      return "`.`";
    case TokenKind::EqEq:
      return "`==`";
    case TokenKind::Le:
      return "`<=`";
    case TokenKind::Ge:
      return "`>=`";
  }
  return {};
}

}  // namespace verdane::parser::lexer
