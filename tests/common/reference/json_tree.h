// The generic JSON tree, kept with the tests as the reference the one-pass
// loader is compared with.
//
// The value model is shaped for the loaders: an object holds one value per
// member name (a repeated name keeps its last value) and lists its members in
// ascending byte order of the names; a number is an integer within the signed
// 64-bit range, an integer above it that still fits 64 unsigned bits, or a
// floating-point number (written with a fraction or an exponent, or an integer
// too large for 64 bits). Floating-point numbers keep no value: no declared
// input type accepts one, so only their kind is ever looked at.
//
// Documents may nest without limit: parsing keeps its own stack on the heap
// and destroying a value never recurses.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "runtime_input/json.h"
#include "support/result.h"

namespace verdane::runtime_input {

struct JsonMember;
namespace detail {
class JsonBuilder;
}

class JsonValue {
 public:
  enum class Kind { Null, Bool, Int, UInt, Float, String, Array, Object };
  using Array = std::vector<JsonValue>;
  // Ascending byte order of the names, no name twice.
  using Object = std::vector<JsonMember>;

  JsonValue() = default;  // null
  ~JsonValue();
  JsonValue(JsonValue&&) noexcept = default;
  JsonValue& operator=(JsonValue&&) noexcept = default;
  // Copies would have to recurse; nothing needs them.
  JsonValue(const JsonValue&) = delete;
  JsonValue& operator=(const JsonValue&) = delete;

  static JsonValue null();
  static JsonValue boolean(bool value);
  static JsonValue integer(std::int64_t value);
  // Values up to INT64_MAX become Int, larger ones UInt.
  static JsonValue unsigned_integer(std::uint64_t value);
  static JsonValue floating();
  static JsonValue string(std::string value);
  static JsonValue array(Array elements);
  // Members in any order; sorts them by name and keeps the last value of a
  // repeated name.
  static JsonValue object(std::vector<JsonMember> members);

  Kind kind() const { return static_cast<Kind>(data_.index()); }
  bool is_object() const { return kind() == Kind::Object; }

  // Each returns nullptr when the value is of another kind.
  const bool* as_bool() const { return std::get_if<bool>(&data_); }
  // Only for Int: an integer written without fraction or exponent that fits
  // the signed 64-bit range.
  const std::int64_t* as_int64() const { return std::get_if<std::int64_t>(&data_); }
  // Only for UInt: an integer above INT64_MAX that fits 64 unsigned bits.
  const std::uint64_t* as_large_uint64() const { return std::get_if<std::uint64_t>(&data_); }
  const std::string* as_string() const { return std::get_if<std::string>(&data_); }
  const Array* as_array() const { return std::get_if<Array>(&data_); }
  const Object* as_object() const { return std::get_if<Object>(&data_); }

 private:
  friend class detail::JsonBuilder;
  struct FloatTag {};
  using Data = std::variant<std::monostate, bool, std::int64_t, std::uint64_t, FloatTag,
                            std::string, Array, Object>;
  explicit JsonValue(Data data);

  // Moves every child that has children of its own into `out`, leaving this
  // value's containers holding leaves only.
  void take_nested_children(std::vector<JsonValue>& out);

  Data data_;
};

struct JsonMember {
  std::string name;
  JsonValue value;
};

// Defined once JsonMember is complete: building a value instantiates the
// member vector's special members.
inline JsonValue JsonValue::null() { return JsonValue(); }
inline JsonValue::JsonValue(Data data) : data_(std::move(data)) {}

// A whole document is its top-level value, of any kind.
using JsonDocument = JsonValue;

// The document of `text`, or check_json's error for it.
Result<JsonValue, JsonError> parse_json(std::string_view text);

}  // namespace verdane::runtime_input
