#include "runtime_input/load.h"

#include <array>
#include <cstdint>
#include <optional>
#include <vector>

#include "runtime_input/messages.h"

namespace verdane::runtime_input {

using types::DateLit;
using types::Type;
using types::Value;

std::string InputError::to_string() const {
  if (kind == Kind::NotAnObject) return "input JSON must be an object";
  return "field `" + field + "`: " + message;
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

Result<Value, std::string> to_int_set(const JsonValue& json) {
  const auto* array = json.as_array();
  if (!array) return make_err(std::string(messages::wrong_value(Type::IntSet)));
  std::vector<std::int64_t> items;
  items.reserve(array->size());
  for (const JsonValue& element : *array) {
    const auto* i = element.as_int64();
    if (!i) return make_err(std::string(messages::wrong_element(Type::IntSet)));
    items.push_back(*i);
  }
  return Value{types::IntSet(std::move(items))};
}

Result<Value, std::string> to_string_set(const JsonValue& json) {
  const auto* array = json.as_array();
  if (!array) return make_err(std::string(messages::wrong_value(Type::StringSet)));
  std::vector<std::string> items;
  items.reserve(array->size());
  for (const JsonValue& element : *array) {
    const auto* s = element.as_string();
    if (!s) return make_err(std::string(messages::wrong_element(Type::StringSet)));
    items.push_back(*s);
  }
  return Value{types::StringSet(std::move(items))};
}

Result<Value, std::string> to_date_set(const JsonValue& json) {
  const auto* array = json.as_array();
  if (!array) return make_err(std::string(messages::wrong_value(Type::DateSet)));
  std::vector<DateLit> items;
  items.reserve(array->size());
  for (const JsonValue& element : *array) {
    const auto* s = element.as_string();
    if (!s) return make_err(std::string(messages::wrong_element(Type::DateSet)));
    auto date = parse_date(*s);
    if (!date) return make_err(std::move(date).error());
    items.push_back(*date);
  }
  return Value{types::DateSet(std::move(items))};
}

// Shared by both loaders: `fields` is the schema's map from name to declared
// shape, `schema_kind` is "intent" or "evidence".
template <typename Fields>
Result<types::ValueMap, InputError> load(const Fields& fields, const JsonValue& document,
                                         const char* schema_kind) {
  const auto* object = document.as_object();
  if (!object) return make_err(InputError{InputError::Kind::NotAnObject, {}, {}});
  types::ValueMap values;
  // Members come sorted by name, as the map keeps them.
  for (const JsonMember& member : *object) {
    const auto declared = fields.find(member.name);
    if (declared == fields.end()) {
      return make_err(
          InputError{InputError::Kind::Field, member.name, messages::undeclared(schema_kind)});
    }
    auto value = json_to_value(member.value, declared->second.type);
    if (!value) {
      return make_err(InputError{InputError::Kind::Field, member.name, std::move(value).error()});
    }
    values.emplace_hint(values.end(), member.name, std::move(value).value());
  }
  return values;
}

}  // namespace

Result<DateLit, std::string> parse_date(std::string_view text) {
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

Result<Value, std::string> json_to_value(const JsonValue& json, Type type) {
  switch (type) {
    case Type::Bool:
      if (const auto* b = json.as_bool()) return Value{*b};
      return make_err(std::string(messages::wrong_value(type)));
    case Type::Int:
      if (const auto* i = json.as_int64()) return Value{*i};
      return make_err(std::string(messages::wrong_value(type)));
    case Type::String:
      if (const auto* s = json.as_string()) return Value{*s};
      return make_err(std::string(messages::wrong_value(type)));
    case Type::Date: {
      const auto* s = json.as_string();
      if (!s) return make_err(std::string(messages::wrong_value(type)));
      auto date = parse_date(*s);
      if (!date) return make_err(std::move(date).error());
      return Value{*date};
    }
    case Type::IntSet:
      return to_int_set(json);
    case Type::StringSet:
      return to_string_set(json);
    case Type::DateSet:
      return to_date_set(json);
  }
  // Only a Type outside its seven variants gets here.
  return make_err(std::string(messages::kUnknownType));
}

Result<types::ValueMap, InputError> load_intent(const types::IntentSchema& schema,
                                                const JsonDocument& document) {
  return load(schema.fields, document, "intent");
}

Result<types::ValueMap, InputError> load_evidence(const types::EvidenceSchema& schema,
                                                  const JsonDocument& document) {
  return load(schema.fields, document, "evidence");
}

}  // namespace verdane::runtime_input
