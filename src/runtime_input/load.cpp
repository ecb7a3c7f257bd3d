#include "runtime_input/load.h"

#include <array>
#include <cstdint>
#include <optional>

#include "runtime_input/messages.h"

namespace verdane::runtime_input {

using types::DateLit;

std::string InputError::to_string() const {
  const auto problem = [this]() -> std::string {
    switch (kind) {
      case Kind::NotAnObject:
        break;
      case Kind::Undeclared:
        return messages::undeclared(schema_kind);
      case Kind::WrongValue:
        return messages::wrong_value(type);
      case Kind::WrongElement:
        return messages::wrong_element(type);
      case Kind::BadDate:
        return detail;
      case Kind::UnknownType:
        return messages::kUnknownType;
    }
    return {};
  };
  if (kind == Kind::NotAnObject) return "input JSON must be an object";
  return "field `" + field + "`: " + problem();
}

namespace {

// One optional "+" then at least one digit 0-9 and nothing else; nullopt
// otherwise. The callers pass at most four characters, so the value cannot
// overflow (nor exceed the year's or the month's and day's field widths).
std::optional<std::uint32_t> parse_unsigned(std::string_view part) {
  if (!part.empty() && part.front() == '+') part.remove_prefix(1);
  if (part.empty()) return std::nullopt;
  std::uint32_t value = 0;
  for (char c : part) {
    if (c < '0' || c > '9') return std::nullopt;
    value = value * 10 + static_cast<std::uint32_t>(c - '0');
  }
  return value;
}

bool is_leap_year(std::int32_t year) {
  return year % 4 == 0 && (year % 100 != 0 || year % 400 == 0);
}

int days_in_month(std::int32_t year, unsigned month) {
  switch (month) {
    case 2:
      return is_leap_year(year) ? 29 : 28;
    case 4:
    case 6:
    case 9:
    case 11:
      return 30;
    default:
      return 31;
  }
}

// The date of a text of exactly the form DDDD-DD-DD (digits), if it is a
// calendar date; nullopt for anything else, which the general path reads.
// Nearly every date read has that form, and reading it takes no splitting.
std::optional<DateLit> plain_date(std::string_view text) {
  if (text.size() != 10 || text[4] != '-' || text[7] != '-') return std::nullopt;
  unsigned digits[8];
  std::size_t n = 0;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (i == 4 || i == 7) continue;
    const unsigned d = static_cast<unsigned char>(text[i]) - unsigned{'0'};
    if (d > 9) return std::nullopt;
    digits[n++] = d;
  }
  const DateLit date{
      static_cast<std::int32_t>(digits[0] * 1000 + digits[1] * 100 + digits[2] * 10 + digits[3]),
      static_cast<std::uint8_t>(digits[4] * 10 + digits[5]),
      static_cast<std::uint8_t>(digits[6] * 10 + digits[7])};
  if (date.month < 1 || date.month > 12 || date.day < 1 ||
      date.day > days_in_month(date.year, date.month)) {
    return std::nullopt;
  }
  return date;
}

}  // namespace

Result<DateLit, std::string> parse_date(std::string_view text) {
  if (const auto date = plain_date(text)) return *date;
  const auto fail = [&](const char* what) {
    return make_err("date `" + std::string(text) + "` " + what);
  };
  // The text split at every "-": exactly three parts are wanted, so
  // counting stops at a fourth.
  std::array<std::string_view, 3> parts;
  std::size_t count = 0;
  std::size_t start = 0;
  while (count <= parts.size()) {
    const std::size_t dash = text.find('-', start);
    if (count < parts.size()) parts[count] = text.substr(start, dash - start);
    ++count;
    if (dash == std::string_view::npos) break;
    start = dash + 1;
  }
  if (count != 3 || parts[0].size() != 4 || parts[1].size() != 2 || parts[2].size() != 2) {
    return fail("must be in YYYY-MM-DD format");
  }
  const auto year = parse_unsigned(parts[0]);
  if (!year) return fail("has non-numeric year");
  const auto month = parse_unsigned(parts[1]);
  if (!month) return fail("has non-numeric month");
  const auto day = parse_unsigned(parts[2]);
  if (!day) return fail("has non-numeric day");

  DateLit date{static_cast<std::int32_t>(*year), static_cast<std::uint8_t>(*month),
               static_cast<std::uint8_t>(*day)};
  // Four unsigned digits always give a year within 0 to 9999.
  if (date.month < 1 || date.month > 12 || date.day < 1 ||
      date.day > days_in_month(date.year, date.month)) {
    return fail("is not a valid calendar date");
  }
  return date;
}

}  // namespace verdane::runtime_input
