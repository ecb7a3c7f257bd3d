#include "analysis/codes.h"

#include "runtime_input/load.h"

namespace verdane::analysis {

std::int64_t date_key(const types::DateLit& d) {
  return static_cast<std::int64_t>(d.year) * 65536 + d.month * 256 + d.day;
}

types::DateLit key_date(std::int64_t key) {
  // Floor division keeps month and day in 0..255 for negative years too.
  std::int64_t year = key >> 16;
  return types::DateLit{static_cast<std::int32_t>(year),
                        static_cast<std::uint8_t>((key >> 8) & 255),
                        static_cast<std::uint8_t>(key & 255)};
}

bool valid_date(const types::DateLit& d) {
  if (d.year < 0 || d.year > 9999 || d.month < 1 || d.month > 12 || d.day < 1) return false;
  static constexpr int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  const bool leap = d.year % 4 == 0 && (d.year % 100 != 0 || d.year % 400 == 0);
  const int days = d.month == 2 && leap ? 29 : kDays[d.month - 1];
  return d.day <= days;
}

namespace {

std::string padded(int value, int width) {
  std::string digits = std::to_string(value);
  if (static_cast<int>(digits.size()) < width) digits.insert(0, width - digits.size(), '0');
  return digits;
}

}  // namespace

std::string date_text(const types::DateLit& d) {
  return padded(d.year, 4) + "-" + padded(d.month, 2) + "-" + padded(d.day, 2);
}

std::optional<std::uint64_t> spelling_code(const std::string& text) {
  auto parsed = runtime_input::parse_date(text);
  if (!parsed) return std::nullopt;
  // parse_date accepted three parts of 4, 2 and 2 bytes; a "+" can only
  // lead a part.
  const std::uint64_t variant =
      (text[0] == '+' ? 4u : 0u) | (text[5] == '+' ? 2u : 0u) | (text[8] == '+' ? 1u : 0u);
  return kDateSpellingTag | variant << 32 | static_cast<std::uint64_t>(date_key(*parsed));
}

bool is_spelling_code(std::uint64_t code) { return (code >> 62) == 1; }

std::string spelling_text(std::uint64_t code) {
  const types::DateLit d = key_date(static_cast<std::int64_t>(code & 0x3FFFFFFF));
  const std::uint64_t variant = (code >> 32) & 7;
  std::string text = variant & 4 ? std::string("+").append(padded(d.year, 3)) : padded(d.year, 4);
  text.append("-").append(variant & 2 ? std::string("+").append(std::to_string(d.month))
                                      : padded(d.month, 2));
  text.append("-").append(variant & 1 ? std::string("+").append(std::to_string(d.day))
                                      : padded(d.day, 2));
  return text;
}

TextTable::TextTable(const std::set<std::string>& known) {
  for (const std::string& text : known) {
    if (auto code = spelling_code(text)) {
      codes_.emplace(text, *code);
      spellings_.push_back(*code);
    } else {
      codes_.emplace(text, names_.size());
      names_.push_back(text);
    }
  }
}

std::map<std::uint64_t, std::string> TextTable::texts_for(
    const std::set<std::uint64_t>& codes) const {
  std::map<std::uint64_t, std::string> texts;
  std::size_t next = 1;
  for (std::uint64_t code : codes) {
    if (is_spelling_code(code)) {
      texts.emplace(code, spelling_text(code));
    } else if (code < names_.size()) {
      texts.emplace(code, names_[code]);
    } else {
      std::string name;
      do {
        name = "text" + std::to_string(next++);
      } while (codes_.contains(name));
      texts.emplace(code, std::move(name));
    }
  }
  return texts;
}

}  // namespace verdane::analysis
