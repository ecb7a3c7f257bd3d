// UTF-8 helpers shared by the driver, the lexer and the bytecode codec.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace verdane::utf8 {

// Where and how a byte sequence stops being valid UTF-8.
struct Utf8Error {
  // Number of leading bytes that form valid UTF-8.
  std::size_t valid_up_to = 0;
  // Length of the invalid sequence that starts at valid_up_to (1 to 3), or
  // nullopt when the input ends in the middle of an otherwise valid character.
  std::optional<std::size_t> error_len;
};

// Returns nullopt when `bytes` is entirely valid UTF-8 (no surrogates, no
// overlong forms, nothing above U+10FFFF), else the first error.
std::optional<Utf8Error> validate(std::string_view bytes);

// Returns `bytes` with every invalid sequence replaced by U+FFFD, one
// replacement per maximal invalid subpart.
std::string to_lossy(std::string_view bytes);

// Length in bytes of the character that starts with `lead` in valid UTF-8
// (1 for ASCII and for bytes that cannot start a character).
std::size_t char_len(unsigned char lead);

// Decodes the character starting at `offset` of valid UTF-8 text.
// Precondition: offset < text.size() and text is valid UTF-8.
char32_t decode_at(std::string_view text, std::size_t offset);

// The length of the longest start of `text` of at most `limit` bytes that
// ends on a character boundary.
std::size_t prefix_length(std::string_view text, std::size_t limit);

// Appends the UTF-8 form of a Unicode scalar value.
void append(std::string& out, char32_t c);

}  // namespace verdane::utf8
