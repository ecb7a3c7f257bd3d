#include "runtime_input/json.h"

#include <rapidjson/error/error.h>
#include <rapidjson/memorystream.h>
#include <rapidjson/reader.h>

#include <algorithm>
#include <limits>
#include <optional>

#include "support/utf8.h"

namespace verdane::runtime_input {

// ---------------------------------------------------------------------------
// Parsing

namespace {

bool is_digit(char c) { return c >= '0' && c <= '9'; }

bool is_number_char(char c) {
  return is_digit(c) || c == '-' || c == '+' || c == '.' || c == 'e' || c == 'E';
}

}  // namespace

std::string_view neutralize_floats(std::string_view text, std::string& copy) {
  const std::size_t n = text.size();
  bool in_string = false;
  std::size_t i = 0;
  while (i < n) {
    const char c = text[i];
    if (in_string) {
      if (c == '\\') {
        i += 2;
        continue;
      }
      if (c == '"') in_string = false;
      ++i;
      continue;
    }
    if (c == '"') {
      in_string = true;
      ++i;
      continue;
    }
    if (c != '-' && !is_digit(c)) {
      ++i;
      continue;
    }
    const std::size_t start = i;
    // Only a whole number token is rewritten, with no number character
    // either side: rewriting the tail of "--1.5" or the head of "1e400e5"
    // would make invalid text valid.
    if (start > 0 && is_number_char(text[start - 1])) {
      while (i < n && is_number_char(text[i])) ++i;
      continue;
    }
    if (c == '-') ++i;
    const std::size_t digits_start = i;
    if (i < n && text[i] == '0') {
      ++i;
    } else {
      while (i < n && is_digit(text[i])) ++i;
    }
    const std::size_t int_digits = i - digits_start;
    if (int_digits == 0) continue;
    bool is_float = false;
    if (i < n && text[i] == '.') {
      if (i + 1 >= n || !is_digit(text[i + 1])) continue;
      i += 2;
      while (i < n && is_digit(text[i])) ++i;
      is_float = true;
    }
    if (i < n && (text[i] == 'e' || text[i] == 'E')) {
      std::size_t j = i + 1;
      if (j < n && (text[j] == '+' || text[j] == '-')) ++j;
      if (j >= n || !is_digit(text[j])) continue;
      while (j < n && is_digit(text[j])) ++j;
      i = j;
      is_float = true;
    }
    if (!is_float && int_digits <= 20) continue;
    if (i < n && is_number_char(text[i])) continue;
    // The shortest floating-point form ("1e5", "0.5") has 3 characters, and
    // the integers rewritten here have more than 20.
    if (copy.empty()) copy.assign(text);
    copy[start] = '0';
    copy[start + 1] = '.';
    std::fill(copy.begin() + static_cast<std::ptrdiff_t>(start + 2),
              copy.begin() + static_cast<std::ptrdiff_t>(i), '0');
  }
  return copy.empty() ? text : std::string_view(copy);
}

namespace {

// Offset of the backslash that starts the first \u escape of a lone low
// surrogate in `text[0, end)`, which is known to be well-formed JSON up to a
// string holding such an escape.
std::size_t find_lone_low_surrogate(std::string_view text, std::size_t end) {
  const auto hex4 = [&](std::size_t at) -> std::optional<unsigned> {
    if (at + 4 > text.size()) return std::nullopt;
    unsigned value = 0;
    for (std::size_t k = at; k < at + 4; ++k) {
      const char h = text[k];
      unsigned d;
      if (h >= '0' && h <= '9') {
        d = static_cast<unsigned>(h - '0');
      } else if (h >= 'a' && h <= 'f') {
        d = static_cast<unsigned>(h - 'a' + 10);
      } else if (h >= 'A' && h <= 'F') {
        d = static_cast<unsigned>(h - 'A' + 10);
      } else {
        return std::nullopt;
      }
      value = value * 16 + d;
    }
    return value;
  };
  bool in_string = false;
  std::size_t i = 0;
  while (i < end) {
    const char c = text[i];
    if (!in_string) {
      if (c == '"') in_string = true;
      ++i;
    } else if (c == '"') {
      in_string = false;
      ++i;
    } else if (c != '\\') {
      ++i;
    } else if (i + 1 < text.size() && text[i + 1] == 'u') {
      const auto unit = hex4(i + 2);
      if (unit && *unit >= 0xDC00 && *unit <= 0xDFFF) return i;
      // A high surrogate is followed by its low half (the parser checked).
      i += (unit && *unit >= 0xD800 && *unit <= 0xDBFF) ? 12 : 6;
    } else {
      i += 2;
    }
  }
  return end;
}

const char* describe(rapidjson::ParseErrorCode code, std::string_view text, std::size_t offset) {
  using namespace rapidjson;
  switch (code) {
    case kParseErrorDocumentEmpty:
      return "the document is empty";
    case kParseErrorDocumentRootNotSingular:
      return "unexpected content after the document's value";
    case kParseErrorValueInvalid:
      return "expected a JSON value";
    case kParseErrorObjectMissName:
      return "expected a member name in double quotes";
    case kParseErrorObjectMissColon:
      return "expected ':' after a member name";
    case kParseErrorObjectMissCommaOrCurlyBracket:
      return "expected ',' or '}' after an object member";
    case kParseErrorArrayMissCommaOrSquareBracket:
      return "expected ',' or ']' after an array element";
    case kParseErrorStringUnicodeEscapeInvalidHex:
      return "expected four hexadecimal digits after \\u";
    case kParseErrorStringUnicodeSurrogateInvalid:
      return "invalid UTF-16 surrogate in a \\u escape";
    case kParseErrorStringEscapeInvalid:
      // The parser uses this code for raw control characters too.
      if (offset < text.size() && static_cast<unsigned char>(text[offset]) < 0x20) {
        return "control character in a string must be escaped";
      }
      return "invalid escape sequence in a string";
    case kParseErrorStringMissQuotationMark:
      return "unterminated string";
    case kParseErrorStringInvalidEncoding:
      return "invalid UTF-8 in a string";
    case kParseErrorNumberTooBig:
      return "number out of range";
    case kParseErrorNumberMissFraction:
      return "expected digits after the decimal point";
    case kParseErrorNumberMissExponent:
      return "expected digits in the exponent";
    default:
      return "invalid JSON";
  }
}

// Parses `text` into `handler`, which rejects decoded texts that are not
// valid UTF-8 by stopping the parser; the problem's text, if any.
template <typename Handler>
std::optional<JsonError> parse_events(std::string_view text, Handler& handler) {
  // The parser takes a NUL byte for the end of its input. JSON allows none
  // anywhere, so parse up to the first one and blame it if the parser got
  // that far.
  const std::size_t nul = text.find('\0');
  const std::string_view body = text.substr(0, nul);
  std::string copy;
  const std::string_view input = neutralize_floats(body, copy);

  rapidjson::MemoryStream stream(input.data(), input.size());
  rapidjson::Reader reader;
  // Iterative parsing keeps its state on the heap; encoding validation
  // rejects invalid UTF-8 inside strings when the caller has not checked it.
  constexpr unsigned flags = rapidjson::kParseIterativeFlag | rapidjson::kParseValidateEncodingFlag;
  const rapidjson::ParseResult result = reader.Parse<flags>(stream, handler);
  if (result) {
    if (nul != std::string_view::npos) return JsonError::at("unexpected NUL character", text, nul);
    return std::nullopt;
  }
  const std::size_t offset = result.Offset();
  if (result.Code() == rapidjson::kParseErrorTermination) {
    // Only the handler stops the parser, on a lone low surrogate.
    return JsonError::at(describe(rapidjson::kParseErrorStringUnicodeSurrogateInvalid, body, 0),
                         text, find_lone_low_surrogate(body, offset));
  }
  if (nul != std::string_view::npos && offset >= nul) {
    return JsonError::at("unexpected NUL character", text, nul);
  }
  return JsonError::at(describe(result.Code(), body, offset), text, offset);
}

// Rejects decoded texts that are not valid UTF-8 and keeps nothing.
class JsonChecker : public rapidjson::BaseReaderHandler<rapidjson::UTF8<>, JsonChecker> {
 public:
  bool String(const char* str, rapidjson::SizeType length, bool) {
    return !utf8::validate(std::string_view(str, length)).has_value();
  }
  bool Key(const char* str, rapidjson::SizeType length, bool copy) {
    return String(str, length, copy);
  }
};

}  // namespace

JsonError JsonError::at(std::string description, std::string_view text, std::size_t offset) {
  return JsonError{std::move(description), offset, text_position(text, offset)};
}

std::string JsonError::message() const {
  return description + " at line " + std::to_string(position.line) + " column " +
         std::to_string(position.column);
}

std::optional<JsonError> check_json(std::string_view text) {
  JsonChecker checker;
  return parse_events(text, checker);
}

}  // namespace verdane::runtime_input
