#include "parser/lexer/lexer.h"

#include <cstdint>
#include <limits>
#include <optional>

#include "support/utf8.h"

namespace verdane::parser::lexer {

namespace {

using errors::CompileError;
using errors::Span;
using Kind = CompileError::Kind;

bool is_digit(unsigned char c) { return c >= '0' && c <= '9'; }
bool is_letter(unsigned char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }
bool is_word_char(unsigned char c) { return is_letter(c) || is_digit(c) || c == '_'; }

// Length of the well-formed UTF-8 character at `i`, or 0 when the bytes there
// do not form one (the driver only hands us valid UTF-8, but the lexer must
// stay safe on any bytes).
std::size_t valid_char_len(std::string_view s, std::size_t i) {
  const std::size_t len = utf8::char_len(static_cast<unsigned char>(s[i]));
  if (i + len > s.size() || utf8::validate(s.substr(i, len))) return 0;
  return len;
}

// The character at `i` as text, for error messages; U+FFFD stands in for
// bytes that are not a well-formed character.
std::string char_text_at(std::string_view s, std::size_t i) {
  const std::size_t len = valid_char_len(s, i);
  if (len == 0) return "\xEF\xBF\xBD";
  return std::string(s.substr(i, len));
}

// Unicode White_Space.
bool is_unicode_space(char32_t c) {
  return (c >= 0x09 && c <= 0x0D) || c == 0x20 || c == 0x85 || c == 0xA0 || c == 0x1680 ||
         (c >= 0x2000 && c <= 0x200A) || c == 0x2028 || c == 0x2029 || c == 0x202F || c == 0x205F ||
         c == 0x3000;
}

// `text` without leading and trailing Unicode White_Space.
std::string_view trim_unicode_space(std::string_view text) {
  std::size_t first = text.size();
  std::size_t last_end = 0;
  std::size_t i = 0;
  while (i < text.size()) {
    std::size_t len = valid_char_len(text, i);
    bool space = false;
    if (len == 0) {
      len = 1;
    } else {
      space = is_unicode_space(utf8::decode_at(text, i));
    }
    if (!space) {
      if (first == text.size()) first = i;
      last_end = i + len;
    }
    i += len;
  }
  if (first == text.size()) return {};
  return text.substr(first, last_end - first);
}

// A date part: an optional leading '+' and then only decimal digits.
std::optional<int> read_date_part(std::string_view part) {
  std::size_t i = 0;
  if (!part.empty() && part[0] == '+') i = 1;
  if (i == part.size()) return std::nullopt;
  int value = 0;
  for (; i < part.size(); ++i) {
    const auto c = static_cast<unsigned char>(part[i]);
    if (!is_digit(c)) return std::nullopt;
    value = value * 10 + (c - '0');  // at most 4 digits: no overflow
  }
  return value;
}

int days_in_month(int year, int month) {
  switch (month) {
    case 4:
    case 6:
    case 9:
    case 11:
      return 30;
    case 2: {
      const bool leap = year % 4 == 0 && (year % 100 != 0 || year % 400 == 0);
      return leap ? 29 : 28;
    }
    default:
      return 31;
  }
}

// The date written between the parentheses of date(...), already trimmed.
std::optional<types::DateLit> read_date(std::string_view text) {
  std::string_view parts[3];
  std::size_t count = 0;
  std::size_t from = 0;
  while (true) {
    const std::size_t dash = text.find('-', from);
    const std::size_t end = dash == std::string_view::npos ? text.size() : dash;
    if (count == 3) return std::nullopt;  // more than three parts
    parts[count++] = text.substr(from, end - from);
    if (dash == std::string_view::npos) break;
    from = dash + 1;
  }
  if (count != 3 || parts[0].size() != 4 || parts[1].size() != 2 || parts[2].size() != 2) {
    return std::nullopt;
  }
  const auto year = read_date_part(parts[0]);
  const auto month = read_date_part(parts[1]);
  const auto day = read_date_part(parts[2]);
  if (!year || !month || !day) return std::nullopt;
  if (*year < 0 || *year > 9999 || *month < 1 || *month > 12) return std::nullopt;
  if (*day < 1 || *day > days_in_month(*year, *month)) return std::nullopt;
  types::DateLit d;
  d.year = *year;
  d.month = static_cast<std::uint8_t>(*month);
  d.day = static_cast<std::uint8_t>(*day);
  return d;
}

class Lexer {
 public:
  explicit Lexer(std::string_view src) : src_(src) {}

  Result<TokenList, CompileError> run() {
    while (p_ < src_.size()) {
      const auto c = static_cast<unsigned char>(src_[p_]);
      std::optional<CompileError> err;
      switch (c) {
        case ' ':
        case '\t':
        case '\r':
          ++p_;
          break;
        case '\n':
          newlines();
          break;
        case '#':
          while (p_ < src_.size() && src_[p_] != '\n') ++p_;
          break;
        case '{':
          single(TokenKind::LBrace);
          break;
        case '}':
          single(TokenKind::RBrace);
          break;
        case '(':
          single(TokenKind::LParen);
          break;
        case ')':
          single(TokenKind::RParen);
          break;
        case ',':
          single(TokenKind::Comma);
          break;
        case ';':
          single(TokenKind::Semicolon);
          break;
        case ':':
          single(TokenKind::Colon);
          break;
        case '+':
          single(TokenKind::Plus);
          break;
        case '-':
          single(TokenKind::Minus);
          break;
        case '*':
          single(TokenKind::Star);
          break;
        case '.':
          single(TokenKind::Dot);
          break;
        case '=':
          if (next_is('=')) {
            pair(TokenKind::EqEq);
          } else {
            err = CompileError::syntax(src_, p_, "expected '==', found single '='");
          }
          break;
        case '<':
          if (next_is('=')) {
            pair(TokenKind::Le);
          } else {
            single(last_is_keyword(1, Keyword::Set) ? TokenKind::LAngle : TokenKind::Lt);
          }
          break;
        case '>':
          if (next_is('=')) {
            pair(TokenKind::Ge);
          } else {
            single(closes_set_type() ? TokenKind::RAngle : TokenKind::Gt);
          }
          break;
        case '"':
          err = string_literal();
          break;
        default:
          if (is_letter(c) || c == '_') {
            err = word();
          } else if (is_digit(c)) {
            err = integer();
          } else {
            err = CompileError::at(Kind::UnexpectedChar, src_, p_, char_text_at(src_, p_));
          }
          break;
      }
      if (err) return make_err(std::move(*err));
    }
    return std::move(out_);
  }

 private:
  bool next_is(char c) const { return p_ + 1 < src_.size() && src_[p_ + 1] == c; }

  void emit(Token t, std::size_t start, std::size_t end) { out_.push(t, Span{start, end}); }
  void single(TokenKind kind) {
    emit(Token::punct(kind), p_, p_ + 1);
    p_ += 1;
  }
  void pair(TokenKind kind) {
    emit(Token::punct(kind), p_, p_ + 2);
    p_ += 2;
  }

  // The n-th token from the end (1 = the last one).
  const Token* last(std::size_t n) const {
    return out_.size() >= n ? &out_[out_.size() - n].token : nullptr;
  }
  bool last_is_keyword(std::size_t n, Keyword kw) const {
    const Token* t = last(n);
    return t != nullptr && t->is_keyword(kw);
  }
  // '>' closes a set type only right after `set`, '<' and an element type.
  bool closes_set_type() const {
    const Token* elem = last(1);
    return last_is_keyword(3, Keyword::Set) && last(2)->is(TokenKind::LAngle) &&
           (elem->is_keyword(Keyword::Int) || elem->is_keyword(Keyword::String) ||
            elem->is_keyword(Keyword::Date));
  }

  // A run of line feeds is one Newline token; none before the first token.
  void newlines() {
    const std::size_t start = p_;
    while (p_ < src_.size() && src_[p_] == '\n') ++p_;
    if (!out_.empty()) emit(Token::punct(TokenKind::Newline), start, p_);
  }

  std::optional<CompileError> string_literal() {
    const std::size_t q = p_;
    std::string text;
    std::size_t i = q + 1;
    while (true) {
      if (i >= src_.size() || src_[i] == '\n') {
        return CompileError::at(Kind::UnterminatedString, src_, q);
      }
      const char b = src_[i];
      if (b == '"') {
        ++i;
        break;
      }
      if (b != '\\') {
        text.push_back(b);
        ++i;
        continue;
      }
      if (i + 1 >= src_.size()) return CompileError::at(Kind::UnterminatedString, src_, q);
      switch (src_[i + 1]) {
        case '\\':
          text.push_back('\\');
          break;
        case '"':
          text.push_back('"');
          break;
        case 'n':
          text.push_back('\n');
          break;
        case 'r':
          text.push_back('\r');
          break;
        case 't':
          text.push_back('\t');
          break;
        default:
          return CompileError::at(Kind::UnsupportedEscape, src_, q, char_text_at(src_, i + 1));
      }
      i += 2;
    }
    emit(Token::str(out_.own(std::move(text))), q, i);
    p_ = i;
    return std::nullopt;
  }

  std::optional<CompileError> word() {
    const std::size_t start = p_;
    std::size_t end = p_;
    while (end < src_.size() && is_word_char(static_cast<unsigned char>(src_[end]))) ++end;
    const std::string_view text = src_.substr(start, end - start);
    if (text == "date") {
      std::size_t j = end;
      while (j < src_.size() && (src_[j] == ' ' || src_[j] == '\t')) ++j;
      if (j < src_.size() && src_[j] == '(') return date_literal(start, j);
    }
    if (const auto kw = keyword_from_text(text)) {
      emit(Token::keyword(*kw), start, end);
    } else {
      emit(Token::ident(out_.own(std::string(text))), start, end);
    }
    p_ = end;
    return std::nullopt;
  }

  // `w` is the 'd' of `date`, `open` its '('.
  std::optional<CompileError> date_literal(std::size_t w, std::size_t open) {
    std::size_t close = open + 1;
    while (close < src_.size() && src_[close] != ')' && src_[close] != '\n') ++close;
    if (close >= src_.size() || src_[close] != ')') {
      return CompileError::at(Kind::MalformedDateLiteral, src_, w);
    }
    const std::string_view inner = trim_unicode_space(src_.substr(open + 1, close - open - 1));
    const auto date = read_date(inner);
    if (!date) return CompileError::at(Kind::InvalidDate, src_, w, std::string(inner));
    emit(Token::date(*date), w, close + 1);
    p_ = close + 1;
    return std::nullopt;
  }

  std::optional<CompileError> integer() {
    constexpr auto kMax = static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max());
    const std::size_t start = p_;
    std::uint64_t value = 0;
    std::size_t end = p_;
    while (end < src_.size() && is_digit(static_cast<unsigned char>(src_[end]))) {
      const auto d = static_cast<std::uint64_t>(src_[end] - '0');
      if (value > (kMax - d) / 10) return CompileError::at(Kind::IntegerOutOfRange, src_, start);
      value = value * 10 + d;
      ++end;
    }
    emit(Token::integer(static_cast<std::int64_t>(value)), start, end);
    p_ = end;
    return std::nullopt;
  }

  std::string_view src_;
  std::size_t p_ = 0;
  TokenList out_;
};

}  // namespace

Result<TokenList, CompileError> tokenize(std::string_view src) { return Lexer(src).run(); }

}  // namespace verdane::parser::lexer
