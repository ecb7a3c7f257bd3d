// Checking JSON text for the intent and evidence inputs: the one place that
// finds and words what makes a text not JSON, without building anything.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "support/text_position.h"

namespace verdane::runtime_input {

// Why a text is not JSON: what is wrong, the byte of the text where it was
// noticed, and that byte's line and column.
struct JsonError {
  std::string description;
  std::size_t offset = 0;
  TextPosition position;

  // The error for byte `offset` of `text`.
  static JsonError at(std::string description, std::string_view text, std::size_t offset);
  // "<description> at line <n> column <m>".
  std::string message() const;
};

// Why `text` is not JSON (RFC 8259; no NaN or Infinity, no comments, exactly
// one value surrounded by optional whitespace), if it is not. The message()
// is "<description> at line <n> column <m>": lines start after each line
// feed, columns count characters (not bytes), both from 1. The position is
// where the problem was noticed, e.g. the offending character, the backslash
// of a bad escape, the start of a bad number, or the end of the text for an
// unfinished document. Memory stays small however deeply the text nests.
std::optional<JsonError> check_json(std::string_view text);

// RapidJSON refuses numbers beyond the range of a double ("1e400", or an
// integer of 400 digits) as a parse error, but such a number is valid JSON
// and simply a floating-point one here. Since floating-point values are not
// kept, every complete floating-point number (and every integer of more than
// 20 digits, which cannot fit 64 bits) is rewritten as "0.000..." of the same
// length: the parser then sees a harmless floating-point number, and every
// offset stays the same. Malformed numbers are left alone so the parser
// reports them. Returns `text` itself when nothing changes, else a view of
// `copy`.
std::string_view neutralize_floats(std::string_view text, std::string& copy);

}  // namespace verdane::runtime_input
