#include "common/reference/json_tree.h"

#include <rapidjson/memorystream.h>
#include <rapidjson/reader.h>

#include <algorithm>
#include <cstdlib>
#include <limits>

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

Result<JsonValue, JsonError> parse_json(std::string_view text) {
  // Errors come from the one place that words them; a text it accepts
  // parses, once its numbers beyond a double are zeroed.
  if (auto problem = check_json(text)) return make_err(std::move(*problem));
  std::string copy;
  const std::string_view input = neutralize_floats(text, copy);
  rapidjson::MemoryStream stream(input.data(), input.size());
  rapidjson::Reader reader;
  detail::JsonBuilder builder;
  if (reader.Parse<rapidjson::kParseIterativeFlag>(stream, builder).IsError()) std::abort();
  return builder.take_root();
}

}  // namespace verdane::runtime_input
