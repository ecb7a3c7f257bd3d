#include "parser/lexer/lexer.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <limits>
#include <optional>

#include "support/utf8.h"

namespace verdane::parser::lexer {

namespace {

using errors::CompileError;
using errors::Span;
using Kind = CompileError::Kind;

constexpr bool is_digit(unsigned char c) { return c >= '0' && c <= '9'; }
constexpr bool is_letter(unsigned char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}
constexpr bool is_word_char(unsigned char c) { return is_letter(c) || is_digit(c) || c == '_'; }

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

// `text` without leading and trailing Unicode White_Space; ASCII text, the
// usual case, without decoding characters.
std::string_view trim_space(std::string_view text) {
  const bool ascii = std::all_of(text.begin(), text.end(),
                                 [](char c) { return static_cast<unsigned char>(c) < 0x80; });
  if (!ascii) return trim_unicode_space(text);
  const auto blank = [](char c) { return c == ' ' || (c >= '\t' && c <= '\r'); };
  std::size_t first = 0;
  std::size_t last = text.size();
  while (first < last && blank(text[first])) ++first;
  while (last > first && blank(text[last - 1])) --last;
  return text.substr(first, last - first);
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

// Letters, digits and '_': the characters of words.
constexpr std::array<bool, 256> kWordChar = [] {
  std::array<bool, 256> table{};
  for (int c = 0; c < 256; ++c) {
    table[c] = is_word_char(static_cast<unsigned char>(c));
  }
  return table;
}();

}  // namespace

bool Lexer::emit(Spanned& out, Token token, std::size_t start, std::size_t end) {
  const std::uint64_t k =
      token.kind() == TokenKind::Keyword ? key(token.kind(), token.keyword()) : key(token.kind());
  recent_ = (recent_ << 16) | k;
  emitted_ = true;
  out.token = token;
  out.span = Span{start, end};
  p_ = end;
  return true;
}

bool Lexer::fail(CompileError::Kind kind, std::size_t offset, errors::Detail detail) {
  error_ = CompileError::at(kind, src_, offset, std::move(detail));
  failed_ = true;
  return false;
}

bool Lexer::last_is_keyword(std::size_t n, Keyword kw) const {
  return recent(n) == key(TokenKind::Keyword, kw);
}

// '>' closes a set type only right after `set`, '<' and an element type.
bool Lexer::closes_set_type() const {
  if (!last_is_keyword(3, Keyword::Set) || recent(2) != key(TokenKind::LAngle)) return false;
  return last_is_keyword(1, Keyword::Int) || last_is_keyword(1, Keyword::String) ||
         last_is_keyword(1, Keyword::Date);
}

bool Lexer::next(Spanned& out) {
  if (failed_) return false;
  const std::size_t n = src_.size();
  while (p_ < n) {
    const auto c = static_cast<unsigned char>(src_[p_]);
    switch (c) {
      case ' ':
        // Runs of spaces are common (indentation, around operators).
        while (++p_ < n && src_[p_] == ' ') {
        }
        break;
      case '\t':
      case '\r':
        ++p_;
        break;
      case '\n': {
        // A run of line feeds is one Newline token; none before the first
        // token.
        const std::size_t start = p_;
        while (p_ < n && src_[p_] == '\n') ++p_;
        if (emitted_) return emit(out, Token::punct(TokenKind::Newline), start, p_);
        break;
      }
      case '#':
        while (p_ < n && src_[p_] != '\n') ++p_;
        break;
      case '{':
        return emit(out, Token::punct(TokenKind::LBrace), p_, p_ + 1);
      case '}':
        return emit(out, Token::punct(TokenKind::RBrace), p_, p_ + 1);
      case '(':
        return emit(out, Token::punct(TokenKind::LParen), p_, p_ + 1);
      case ')':
        return emit(out, Token::punct(TokenKind::RParen), p_, p_ + 1);
      case ',':
        return emit(out, Token::punct(TokenKind::Comma), p_, p_ + 1);
      case ';':
        return emit(out, Token::punct(TokenKind::Semicolon), p_, p_ + 1);
      case ':':
        return emit(out, Token::punct(TokenKind::Colon), p_, p_ + 1);
      case '+':
        return emit(out, Token::punct(TokenKind::Plus), p_, p_ + 1);
      case '-':
        return emit(out, Token::punct(TokenKind::Minus), p_, p_ + 1);
      case '*':
        return emit(out, Token::punct(TokenKind::Star), p_, p_ + 1);
      case '.':
        return emit(out, Token::punct(TokenKind::Dot), p_, p_ + 1);
      case '=':
        if (next_is('=')) return emit(out, Token::punct(TokenKind::EqEq), p_, p_ + 2);
        return fail(Kind::Syntax, p_, errors::detail::Text{"expected '==', found single '='"});
      case '<':
        if (next_is('=')) return emit(out, Token::punct(TokenKind::Le), p_, p_ + 2);
        return emit(
            out, Token::punct(last_is_keyword(1, Keyword::Set) ? TokenKind::LAngle : TokenKind::Lt),
            p_, p_ + 1);
      case '>':
        if (next_is('=')) return emit(out, Token::punct(TokenKind::Ge), p_, p_ + 2);
        return emit(out, Token::punct(closes_set_type() ? TokenKind::RAngle : TokenKind::Gt), p_,
                    p_ + 1);
      case '"':
        return string_literal(out);
      default:
        if (is_letter(c) || c == '_') return word(out);
        if (is_digit(c)) return integer(out);
        return fail(Kind::UnexpectedChar, p_, errors::detail::Character{char_text_at(src_, p_)});
    }
  }
  return false;
}

bool Lexer::string_literal(Spanned& out) {
  const std::size_t q = p_;
  const std::size_t n = src_.size();
  // Most strings hold no escape: their text is the source between the quotes.
  std::size_t i = q + 1;
  while (i < n && src_[i] != '"' && src_[i] != '\\' && src_[i] != '\n') ++i;
  if (i < n && src_[i] == '"') {
    return emit(out, Token::str(src_.substr(q + 1, i - q - 1)), q, i + 1);
  }
  std::string text(src_.substr(q + 1, i - q - 1));
  while (true) {
    if (i >= n || src_[i] == '\n') return fail(Kind::UnterminatedString, q);
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
    if (i + 1 >= n) return fail(Kind::UnterminatedString, q);
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
        return fail(Kind::UnsupportedEscape, q,
                    errors::detail::Character{char_text_at(src_, i + 1)});
    }
    i += 2;
  }
  const std::string& stored = decoded_.emplace_back(std::move(text));
  return emit(out, Token::str(stored), q, i);
}

bool Lexer::word(Spanned& out) {
  const std::size_t start = p_;
  std::size_t end = p_;
  while (end < src_.size() && kWordChar[static_cast<unsigned char>(src_[end])]) ++end;
  const std::string_view text = src_.substr(start, end - start);
  if (text == "date") {
    std::size_t j = end;
    while (j < src_.size() && (src_[j] == ' ' || src_[j] == '\t')) ++j;
    if (j < src_.size() && src_[j] == '(') return date_literal(out, start, j);
  }
  if (const auto kw = keyword_from_text(text)) return emit(out, Token::keyword(*kw), start, end);
  return emit(out, Token::ident(text), start, end);
}

// `w` is the 'd' of `date`, `open` its '('.
bool Lexer::date_literal(Spanned& out, std::size_t w, std::size_t open) {
  std::size_t close = open + 1;
  while (close < src_.size() && src_[close] != ')' && src_[close] != '\n') ++close;
  if (close >= src_.size() || src_[close] != ')') {
    return fail(Kind::MalformedDateLiteral, w);
  }
  const std::string_view inner = trim_space(src_.substr(open + 1, close - open - 1));
  const auto date = read_date(inner);
  if (!date) return fail(Kind::InvalidDate, w, errors::detail::Text{std::string(inner)});
  return emit(out, Token::date(*date), w, close + 1);
}

bool Lexer::integer(Spanned& out) {
  constexpr auto kMax = static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max());
  const std::size_t start = p_;
  std::uint64_t value = 0;
  std::size_t end = p_;
  while (end < src_.size() && is_digit(static_cast<unsigned char>(src_[end]))) {
    const auto d = static_cast<std::uint64_t>(src_[end] - '0');
    // value * 10 + d <= kMax, without dividing for every digit.
    if (value >= kMax / 10 && (value > kMax / 10 || d > kMax % 10)) {
      return fail(Kind::IntegerOutOfRange, start);
    }
    value = value * 10 + d;
    ++end;
  }
  return emit(out, Token::integer(static_cast<std::int64_t>(value)), start, end);
}

Result<TokenList, CompileError> tokenize(std::string_view src) {
  Lexer lexer(src);
  TokenList list;
  Spanned token;
  while (lexer.next(token)) list.tokens_.push_back(token);
  if (lexer.error()) return make_err(*lexer.error());
  list.texts_ = lexer.take_texts();
  return list;
}

}  // namespace verdane::parser::lexer
