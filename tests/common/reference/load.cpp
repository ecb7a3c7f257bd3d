#include "common/reference/load.h"

#include <array>
#include <cstdint>
#include <optional>
#include <vector>

#include "runtime_input/messages.h"

namespace verdane::runtime_input {

using types::DateLit;
using types::Type;
using types::Value;

namespace {

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

// The problem of member `name` of declared type `type` whose value gave
// json_to_value's text `message`. The tree keeps no positions: offsets are
// left at zero, and the tests compare texts.
InputError problem_of(const std::string& name, Type type, std::string message) {
  using Kind = InputError::Kind;
  InputError e{Kind::BadDate, 0, name, type, "", {}};
  if (message == messages::wrong_value(type)) {
    e.kind = Kind::WrongValue;
  } else if (message == messages::wrong_element(type)) {
    e.kind = Kind::WrongElement;
  } else if (message == messages::kUnknownType) {
    e.kind = Kind::UnknownType;
  } else {
    e.detail = std::move(message);
  }
  return e;
}

// Shared by both loaders: `fields` is the schema's map from name to declared
// shape, `schema_kind` is "intent" or "evidence".
template <typename Fields>
Result<types::ValueMap, InputError> load(const Fields& fields, const JsonValue& document,
                                         const char* schema_kind) {
  const auto* object = document.as_object();
  if (!object) return make_err(InputError{});
  types::ValueMap values;
  // Members come sorted by name, as the map keeps them.
  for (const JsonMember& member : *object) {
    const auto declared = fields.find(member.name);
    if (declared == fields.end()) {
      return make_err(
          InputError{InputError::Kind::Undeclared, 0, member.name, Type::Bool, schema_kind, {}});
    }
    auto value = json_to_value(member.value, declared->second.type);
    if (!value) {
      return make_err(problem_of(member.name, declared->second.type, std::move(value).error()));
    }
    values.emplace_hint(values.end(), member.name, std::move(value).value());
  }
  return values;
}

}  // namespace

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
