#include "parser/lexer/token.h"

#include <array>
#include <cstdio>

namespace verdane::parser::lexer {

std::string_view keyword_text(Keyword kw) { return kKeywordTexts[static_cast<std::size_t>(kw)]; }

std::optional<Keyword> keyword_from_text(std::string_view word) {
  // Compares only with the keywords of the word's length; this runs for
  // every word of a source.
  switch (word.size()) {
    case 2:
      if (word == "or") return Keyword::Or;
      if (word == "in") return Keyword::In;
      if (word == "of") return Keyword::Of;
      break;
    case 3:
      if (word == "int") return Keyword::Int;
      if (word == "set") return Keyword::Set;
      if (word == "not") return Keyword::Not;
      if (word == "and") return Keyword::And;
      break;
    case 4:
      if (word == "name") return Keyword::Name;
      if (word == "bool") return Keyword::Bool;
      if (word == "date") return Keyword::Date;
      if (word == "True") return Keyword::True;
      break;
    case 5:
      if (word == "False") return Keyword::False;
      break;
    case 6:
      if (word == "intent") return Keyword::Intent;
      if (word == "string") return Keyword::String;
      if (word == "subset") return Keyword::Subset;
      break;
    case 8:
      if (word == "evidence") return Keyword::Evidence;
      if (word == "requires") return Keyword::Requires;
      if (word == "optional") return Keyword::Optional;
      if (word == "superset") return Keyword::Superset;
      break;
    default:
      break;
  }
  return std::nullopt;
}

std::string Token::describe() const {
  switch (kind_) {
    case TokenKind::Ident:
      return "identifier `" + std::string(text()) + "`";
    case TokenKind::Int:
      return "integer literal `" + std::to_string(int_value()) + "`";
    case TokenKind::Str:
      return "string literal \"" + std::string(text()) + "\"";
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
