// How the analysis writes texts and dates as 64-bit solver values.
//
// Dates: the key year * 2^16 + month * 2^8 + day (signed), which orders any
// DateLit, valid or not, exactly as the evaluator does (year, then month,
// then day), so ordering comparisons become comparisons of keys.
//
// Texts are only ever compared for equality, so a text is a code and equal
// texts have equal codes. Texts that parse as dates are the spellings of a
// valid date: four digits or "+" and three digits for the year, two digits
// or "+" and one digit for month and day. Such a text has the code
// 2^62 + variant * 2^32 + key, where the variant's bits 2, 1, 0 say that
// year, month, day are spelled with "+". Every other text has a code below
// 2^62: the texts the analysis knows (literals of the templates) are
// numbered in byte order, and every larger code stands for a fresh text that
// is none of them.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "types/model.h"

namespace verdane::analysis {

std::int64_t date_key(const types::DateLit& d);
types::DateLit key_date(std::int64_t key);
bool valid_date(const types::DateLit& d);
// "YYYY-MM-DD", the year in four digits.
std::string date_text(const types::DateLit& d);

inline constexpr std::uint64_t kDateSpellingTag = std::uint64_t{1} << 62;

// The code of a text that parse_date accepts, nullopt for other texts.
std::optional<std::uint64_t> spelling_code(const std::string& text);
// The text of a date spelling code.
std::string spelling_text(std::uint64_t code);
bool is_spelling_code(std::uint64_t code);

// The texts the analysis knows, with their codes.
class TextTable {
 public:
  explicit TextTable(const std::set<std::string>& known);

  std::uint64_t code(const std::string& text) const { return codes_.at(text); }
  // Codes of known texts that are date spellings.
  const std::vector<std::uint64_t>& spelling_codes() const { return spellings_; }
  // The first code of a fresh text: known texts that are not spellings have
  // the codes below it.
  std::uint64_t first_fresh() const { return names_.size(); }

  // Texts for the codes of one witness: known texts as they are, spellings
  // spelled out, and each fresh code a distinct text ("text1", "text2", ...,
  // in the order of the codes) that is no known text and no date.
  std::map<std::uint64_t, std::string> texts_for(const std::set<std::uint64_t>& codes) const;

 private:
  std::map<std::string, std::uint64_t> codes_;
  std::vector<std::string> names_;  // non-spelling known texts by code
  std::vector<std::uint64_t> spellings_;
};

}  // namespace verdane::analysis
