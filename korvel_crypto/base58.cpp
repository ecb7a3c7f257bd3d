#include "korvel_crypto/base58.h"

#include <algorithm>
#include <array>
#include <cstdio>

namespace korvel::crypto::base58 {

namespace {

constexpr std::string_view kAlphabet = "123456789ABCDEFGHJKLMNPQRSTUVWXYZabcdefghijkmnopqrstuvwxyz";
constexpr std::int8_t kNotDigit = -1;

constexpr std::array<std::int8_t, 128> make_digit_table() {
  std::array<std::int8_t, 128> table{};
  for (auto& d : table) d = kNotDigit;
  for (std::size_t i = 0; i < kAlphabet.size(); ++i) {
    table[static_cast<unsigned char>(kAlphabet[i])] = static_cast<std::int8_t>(i);
  }
  return table;
}
constexpr std::array<std::int8_t, 128> kDigitOf = make_digit_table();

// A character in single quotes, escaped like a debug character literal.
std::string quoted(char c) {
  switch (c) {
    case '\0':
      return "'\\0'";
    case '\t':
      return "'\\t'";
    case '\n':
      return "'\\n'";
    case '\r':
      return "'\\r'";
    case '\'':
      return "'\\''";
    case '\\':
      return "'\\\\'";
    default:
      break;
  }
  const auto b = static_cast<unsigned char>(c);
  if (b < 0x20 || b == 0x7F) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "'\\u{%x}'", b);
    return buf;
  }
  return std::string("'") + c + "'";
}

}  // namespace

std::string DecodeError::to_string() const {
  if (kind == Kind::NonAsciiCharacter) {
    return "provided string contained non-ascii character starting at byte " +
           std::to_string(index);
  }
  return "provided string contained invalid character " + quoted(character) + " at byte " +
         std::to_string(index);
}

std::string encode(std::span<const std::uint8_t> bytes) {
  const std::size_t zeros =
      std::find_if(bytes.begin(), bytes.end(), [](std::uint8_t b) { return b != 0; }) -
      bytes.begin();
  // Base-58 digits of the number, least significant first.
  std::vector<std::uint8_t> digits;
  digits.reserve(bytes.size() * 138 / 100 + 1);  // log(256) / log(58) < 1.38
  for (std::size_t i = zeros; i < bytes.size(); ++i) {
    std::uint32_t carry = bytes[i];
    for (std::uint8_t& d : digits) {
      carry += static_cast<std::uint32_t>(d) << 8;
      d = static_cast<std::uint8_t>(carry % 58);
      carry /= 58;
    }
    while (carry != 0) {
      digits.push_back(static_cast<std::uint8_t>(carry % 58));
      carry /= 58;
    }
  }
  std::string out(zeros, kAlphabet[0]);
  out.reserve(zeros + digits.size());
  for (auto it = digits.rbegin(); it != digits.rend(); ++it) out.push_back(kAlphabet[*it]);
  return out;
}

std::optional<DecodeError> validate(std::string_view text) {
  for (std::size_t i = 0; i < text.size(); ++i) {
    const auto b = static_cast<unsigned char>(text[i]);
    if (b >= 0x80) return DecodeError{DecodeError::Kind::NonAsciiCharacter, 0, i};
    if (kDigitOf[b] == kNotDigit)
      return DecodeError{DecodeError::Kind::InvalidCharacter, text[i], i};
  }
  return std::nullopt;
}

verdane::Result<std::vector<std::uint8_t>, DecodeError> decode(std::string_view text) {
  if (auto bad = validate(text)) return verdane::make_err(*bad);
  const std::size_t ones = text.find_first_not_of(kAlphabet[0]);
  const std::size_t zeros = ones == std::string_view::npos ? text.size() : ones;
  // Bytes of the number, least significant first.
  std::vector<std::uint8_t> number;
  for (std::size_t i = zeros; i < text.size(); ++i) {
    std::uint32_t carry = static_cast<std::uint32_t>(kDigitOf[static_cast<unsigned char>(text[i])]);
    for (std::uint8_t& b : number) {
      carry += static_cast<std::uint32_t>(b) * 58;
      b = static_cast<std::uint8_t>(carry & 0xFF);
      carry >>= 8;
    }
    while (carry != 0) {
      number.push_back(static_cast<std::uint8_t>(carry & 0xFF));
      carry >>= 8;
    }
  }
  std::vector<std::uint8_t> out(zeros, 0);
  out.insert(out.end(), number.rbegin(), number.rend());
  return out;
}

}  // namespace korvel::crypto::base58
