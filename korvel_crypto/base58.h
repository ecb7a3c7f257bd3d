// Base58 with the Bitcoin alphabet, no checksum: the text form of digests.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "support/result.h"

namespace korvel::crypto::base58 {

// The first byte of a text that is not a base58 digit.
struct DecodeError {
  enum class Kind { InvalidCharacter, NonAsciiCharacter };
  Kind kind = Kind::InvalidCharacter;
  char character = 0;     // the offending ASCII byte, for InvalidCharacter
  std::size_t index = 0;  // its byte offset in the text

  // "provided string contained invalid character '<c>' at byte <i>" (control
  // characters, quote and backslash escaped so the text stays one line) or
  // "provided string contained non-ascii character starting at byte <i>".
  std::string to_string() const;
};

// The bytes read as one big-endian number in base 58, most significant digit
// first, with one "1" for each leading zero byte.
std::string encode(std::span<const std::uint8_t> bytes);

// The first byte of `text` that is not a base58 digit, if any. Linear.
std::optional<DecodeError> validate(std::string_view text);

// The bytes `text` stands for: one zero byte per leading "1", then the
// number's big-endian bytes. Quadratic in the length of `text`; callers that
// expect a fixed size should reject longer texts first (after validate, so
// invalid characters are still reported wherever they are).
verdane::Result<std::vector<std::uint8_t>, DecodeError> decode(std::string_view text);

}  // namespace korvel::crypto::base58
