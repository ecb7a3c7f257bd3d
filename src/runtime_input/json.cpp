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
// Values

JsonValue::~JsonValue() {
  // Destroying children through the members' own destructors would recurse
  // once per nesting level; a document of a million nested arrays would
  // overflow the stack. Detach every nested child into a work list instead,
  // so that each value dies holding leaves only.
  std::vector<JsonValue> pending;
  take_nested_children(pending);
  while (!pending.empty()) {
    JsonValue next = std::move(pending.back());
    pending.pop_back();
    next.take_nested_children(pending);
  }
}

namespace {

bool has_children(const JsonValue& value) {
  if (const auto* array = value.as_array()) return !array->empty();
  if (const auto* object = value.as_object()) return !object->empty();
  return false;
}

}  // namespace

void JsonValue::take_nested_children(std::vector<JsonValue>& out) {
  if (auto* array = std::get_if<Array>(&data_)) {
    for (JsonValue& child : *array) {
      if (has_children(child)) out.push_back(std::move(child));
    }
  } else if (auto* object = std::get_if<Object>(&data_)) {
    for (JsonMember& member : *object) {
      if (has_children(member.value)) out.push_back(std::move(member.value));
    }
  }
}

JsonValue JsonValue::boolean(bool value) { return JsonValue(Data(value)); }

JsonValue JsonValue::integer(std::int64_t value) { return JsonValue(Data(value)); }

JsonValue JsonValue::unsigned_integer(std::uint64_t value) {
  if (value <= static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) {
    return integer(static_cast<std::int64_t>(value));
  }
  return JsonValue(Data(value));
}

JsonValue JsonValue::floating() { return JsonValue(Data(FloatTag{})); }

JsonValue JsonValue::string(std::string value) {
  return JsonValue(Data(std::in_place_type<std::string>, std::move(value)));
}

JsonValue JsonValue::array(Array elements) {
  return JsonValue(Data(std::in_place_type<Array>, std::move(elements)));
}

JsonValue JsonValue::object(std::vector<JsonMember> members) {
  // Stable sort keeps repeated names in document order, so the last one of
  // each run is the one that was written last.
  std::stable_sort(members.begin(), members.end(),
                   [](const JsonMember& a, const JsonMember& b) { return a.name < b.name; });
  std::size_t kept = 0;
  for (std::size_t i = 0; i < members.size(); ++i) {
    if (i + 1 < members.size() && members[i + 1].name == members[i].name) continue;
    if (kept != i) members[kept] = std::move(members[i]);
    ++kept;
  }
  members.erase(members.begin() + static_cast<std::ptrdiff_t>(kept), members.end());
  return JsonValue(Data(std::in_place_type<Object>, std::move(members)));
}

// ---------------------------------------------------------------------------
// Building values from the parser's events

namespace detail {

// Receives RapidJSON's events and assembles values bottom-up on an explicit
// stack, so that nesting depth costs heap, not call stack.
class JsonBuilder : public rapidjson::BaseReaderHandler<rapidjson::UTF8<>, JsonBuilder> {
 public:
  bool Null() { return add(JsonValue::null()); }
  bool Bool(bool b) { return add(JsonValue::boolean(b)); }
  bool Int(int i) { return add(JsonValue::integer(i)); }
  bool Uint(unsigned u) { return add(JsonValue::integer(u)); }
  bool Int64(std::int64_t i) { return add(JsonValue::integer(i)); }
  bool Uint64(std::uint64_t u) { return add(JsonValue::unsigned_integer(u)); }
  bool Double(double) { return add(JsonValue::floating()); }
  bool String(const char* str, rapidjson::SizeType length, bool) {
    std::string text(str, length);  // by length: the text may hold U+0000
    if (!valid(text)) return false;
    return add(JsonValue::string(std::move(text)));
  }
  bool Key(const char* str, rapidjson::SizeType length, bool) {
    std::string name(str, length);
    if (!valid(name)) return false;
    keys_.push_back(std::move(name));
    return true;
  }
  bool StartObject() {
    open_.push_back(JsonValue(JsonValue::Data(std::in_place_type<JsonValue::Object>)));
    return true;
  }
  bool EndObject(rapidjson::SizeType) {
    auto members = std::move(std::get<JsonValue::Object>(open_.back().data_));
    open_.pop_back();
    return add(JsonValue::object(std::move(members)));
  }
  bool StartArray() {
    open_.push_back(JsonValue(JsonValue::Data(std::in_place_type<JsonValue::Array>)));
    return true;
  }
  bool EndArray(rapidjson::SizeType) {
    JsonValue done = std::move(open_.back());
    open_.pop_back();
    return add(std::move(done));
  }

  JsonValue take_root() { return std::move(root_); }

 private:
  // RapidJSON turns a \u escape of a lone low surrogate (DC00-DFFF) into the
  // bytes of that surrogate instead of rejecting it; the input itself is
  // validated UTF-8, so an invalid decoded text can only come from there.
  static bool valid(const std::string& text) { return !utf8::validate(text).has_value(); }

  bool add(JsonValue value) {
    if (open_.empty()) {
      root_ = std::move(value);
      return true;
    }
    JsonValue::Data& top = open_.back().data_;
    if (auto* array = std::get_if<JsonValue::Array>(&top)) {
      array->push_back(std::move(value));
    } else {
      std::get<JsonValue::Object>(top).push_back(
          JsonMember{std::move(keys_.back()), std::move(value)});
      keys_.pop_back();
    }
    return true;
  }

  std::vector<JsonValue> open_;    // containers not yet closed, innermost last
  std::vector<std::string> keys_;  // pending member names of open objects
  JsonValue root_;
};

}  // namespace detail

// ---------------------------------------------------------------------------
// Parsing

namespace {

bool is_digit(char c) { return c >= '0' && c <= '9'; }

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

// Checks what the builder checks and keeps nothing.
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

Result<JsonValue, JsonError> parse_json(std::string_view text) {
  detail::JsonBuilder builder;
  if (auto problem = parse_events(text, builder)) return make_err(std::move(*problem));
  return builder.take_root();
}

std::optional<JsonError> check_json(std::string_view text) {
  JsonChecker checker;
  return parse_events(text, checker);
}

}  // namespace verdane::runtime_input
