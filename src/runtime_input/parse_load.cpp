#include "runtime_input/parse_load.h"

#include <rapidjson/memorystream.h>
#include <rapidjson/reader.h>

#include <algorithm>
#include <cstdint>
#include <limits>
#include <optional>
#include <vector>

#include "runtime_input/json.h"
#include "runtime_input/messages.h"
#include "runtime_input/set_builders.h"
#include "support/utf8.h"

namespace verdane::runtime_input {

namespace {

using types::DateLit;
using types::Type;
using types::Value;

using Field = detail::DeclaredField;

// The last occurrence of one declared member: its value as far as it has been
// read, or the problem that decided it.
struct Member {
  bool present = false;
  std::optional<std::string> error;
  std::optional<Value> scalar;
  IntSetBuilder ints;
  std::vector<DateLit> dates;
  StringSetBuilder strings;
};

// The kinds of JSON scalars, as the loaders tell them apart.
struct Scalar {
  enum class Kind { Null, Bool, Int, LargeUInt, Float, String };
  explicit Scalar(Kind k) : kind(k) {}
  Kind kind;
  bool boolean = false;
  std::int64_t integer = 0;
  std::string_view text;
};

// Receives the parser's events and converts the members of a top-level
// object into their declared types as they come. It keeps only a depth
// counter for nesting: values below a member's array elements are skipped,
// whatever their depth. Only the last occurrence of a repeated member counts,
// as in the generic path, and its problems are kept until the whole document
// has been read, because the first problem in byte order of the names, not
// in document order, decides.
class Loader : public rapidjson::BaseReaderHandler<rapidjson::UTF8<>, Loader> {
 public:
  explicit Loader(const std::vector<Field>& fields) : fields_(fields), members_(fields.size()) {}

  bool Null() { return scalar(Scalar(Scalar::Kind::Null)); }
  bool Bool(bool b) {
    Scalar s(Scalar::Kind::Bool);
    s.boolean = b;
    return scalar(s);
  }
  bool Int(int i) { return integer(i); }
  bool Uint(unsigned u) { return integer(u); }
  bool Int64(std::int64_t i) { return integer(i); }
  bool Uint64(std::uint64_t u) {
    if (u <= static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) {
      return integer(static_cast<std::int64_t>(u));
    }
    return scalar(Scalar(Scalar::Kind::LargeUInt));
  }
  bool Double(double) { return scalar(Scalar(Scalar::Kind::Float)); }
  bool String(const char* str, rapidjson::SizeType length, bool) {
    Scalar s(Scalar::Kind::String);
    s.text = std::string_view(str, length);
    if (!valid(s.text)) return false;
    return scalar(s);
  }
  bool Key(const char* str, rapidjson::SizeType length, bool) {
    const std::string_view name(str, length);
    if (!valid(name)) return false;
    if (root_is_object_ && depth_ == 1) begin_member(name);
    return true;
  }
  bool StartObject() { return open(false); }
  bool EndObject(rapidjson::SizeType) { return close(); }
  bool StartArray() { return open(true); }
  bool EndArray(rapidjson::SizeType) { return close(); }

  // The outcome once the whole document has been read; `schema_kind` is
  // "intent" or "evidence".
  LoadResult finish(const char* schema_kind) {
    if (!root_is_object_) return make_err(InputError{InputError::Kind::NotAnObject, {}, {}});
    std::size_t first_bad = fields_.size();
    for (std::size_t i = 0; i < fields_.size(); ++i) {
      if (members_[i].present && members_[i].error) {
        first_bad = i;
        break;
      }
    }
    if (undeclared_ && (first_bad == fields_.size() || *undeclared_ < fields_[first_bad].name)) {
      return make_err(InputError{InputError::Kind::Field, std::move(*undeclared_),
                                 messages::undeclared(schema_kind)});
    }
    if (first_bad != fields_.size()) {
      return make_err(InputError{InputError::Kind::Field, std::string(fields_[first_bad].name),
                                 std::move(*members_[first_bad].error)});
    }
    types::ValueMap values;
    for (std::size_t i = 0; i < fields_.size(); ++i) {
      if (!members_[i].present) continue;
      values.emplace_hint(values.end(), std::string(fields_[i].name),
                          complete(fields_[i].type, members_[i]));
    }
    return values;
  }

 private:
  // Decoded texts can be invalid UTF-8 only through a \u escape of a lone low
  // surrogate, which the generic path rejects; the caller has validated the
  // text itself. Only texts with a non-ASCII byte need the check.
  static bool valid(std::string_view text) {
    for (const char c : text) {
      if (static_cast<unsigned char>(c) >= 0x80) return !utf8::validate(text).has_value();
    }
    return true;
  }

  bool integer(std::int64_t i) {
    Scalar s(Scalar::Kind::Int);
    s.integer = i;
    return scalar(s);
  }

  void begin_member(std::string_view name) {
    collecting_ = false;
    const auto it = std::lower_bound(fields_.begin(), fields_.end(), name,
                                     [](const Field& f, std::string_view n) { return f.name < n; });
    if (it == fields_.end() || it->name != name) {
      member_ = nullptr;
      if (!undeclared_ || name < *undeclared_) undeclared_ = std::string(name);
      return;
    }
    const std::size_t index = static_cast<std::size_t>(it - fields_.begin());
    member_ = &members_[index];
    *member_ = Member{};  // a repeated name starts over
    member_->present = true;
    type_ = it->type;
  }

  // Marks the current member bad, dropping whatever it had collected.
  void fail(std::string message) {
    *member_ = Member{};
    member_->present = true;
    member_->error = std::move(message);
  }

  bool scalar(const Scalar& s) {
    if (!root_is_object_) return true;
    if (depth_ == 1) {
      if (member_) member_value(s);
    } else if (depth_ == 2 && collecting_ && !member_->error) {
      element(s);
    }
    return true;
  }

  bool open(bool array) {
    if (depth_ == 0) {
      root_is_object_ = !array;
    } else if (root_is_object_ && depth_ == 1 && member_) {
      if (array && types::is_set_type(type_)) {
        collecting_ = true;
      } else {
        fail(messages::wrong_value(type_));
      }
    } else if (depth_ == 2 && collecting_ && !member_->error) {
      fail(messages::wrong_element(type_));
    }
    ++depth_;
    return true;
  }

  bool close() {
    --depth_;
    if (depth_ == 1) collecting_ = false;
    return true;
  }

  void member_value(const Scalar& s) {
    using K = Scalar::Kind;
    switch (type_) {
      case Type::Bool:
        if (s.kind == K::Bool) {
          member_->scalar = Value{s.boolean};
          return;
        }
        break;
      case Type::Int:
        if (s.kind == K::Int) {
          member_->scalar = Value{s.integer};
          return;
        }
        break;
      case Type::String:
        if (s.kind == K::String) {
          member_->scalar = Value{std::string(s.text)};
          return;
        }
        break;
      case Type::Date:
        if (s.kind == K::String) {
          auto date = parse_date(s.text);
          if (!date) return fail(std::move(date).error());
          member_->scalar = Value{*date};
          return;
        }
        break;
      case Type::IntSet:
      case Type::StringSet:
      case Type::DateSet:
        break;
    }
    fail(messages::wrong_value(type_));
  }

  void element(const Scalar& s) {
    using K = Scalar::Kind;
    switch (type_) {
      case Type::IntSet:
        if (s.kind != K::Int) return fail(messages::wrong_element(type_));
        member_->ints.add(s.integer);
        return;
      case Type::StringSet:
        if (s.kind != K::String) return fail(messages::wrong_element(type_));
        member_->strings.add(s.text);
        return;
      case Type::DateSet: {
        if (s.kind != K::String) return fail(messages::wrong_element(type_));
        auto date = parse_date(s.text);
        if (!date) return fail(std::move(date).error());
        member_->dates.push_back(*date);
        return;
      }
      default:
        return;  // collecting_ is set for set types only
    }
  }

  // The value of a member read without problems.
  static Value complete(Type type, Member& member) {
    switch (type) {
      case Type::IntSet:
        return Value{member.ints.build()};
      case Type::StringSet:
        return Value{member.strings.build()};
      case Type::DateSet:
        return Value{types::DateSet(std::move(member.dates))};
      default:
        return std::move(*member.scalar);
    }
  }

  const std::vector<Field>& fields_;
  std::vector<Member> members_;            // parallel to fields_
  std::optional<std::string> undeclared_;  // least undeclared name seen
  std::size_t depth_ = 0;                  // containers open
  bool root_is_object_ = false;
  Member* member_ = nullptr;  // the declared member being read, if any
  Type type_ = Type::Bool;    // its declared type
  bool collecting_ = false;   // inside the array of a set member
};

template <typename Schema>
Result<LoadResult, std::string> parse_and_load(const Schema& schema, JsonText text,
                                               const char* schema_kind,
                                               LoadResult (*load)(const Schema&,
                                                                  const JsonDocument&)) {
  std::vector<Field> fields;
  fields.reserve(schema.fields.size());
  for (const auto& [name, shape] : schema.fields) fields.push_back({name, shape.type});
  if (auto loaded = detail::load_in_one_pass(fields, text, schema_kind)) return *std::move(loaded);
  // The generic parser's texts are the reference for every error.
  auto document = parse_json(text.view());
  if (!document) return make_err(std::move(document).error());
  text.release();
  return load(schema, *document);
}

}  // namespace

std::optional<LoadResult> detail::load_in_one_pass(const std::vector<Field>& fields, JsonText& json,
                                                   const char* schema_kind) {
  const std::string_view text = json.view();
  if (text.find('\0') != std::string_view::npos || utf8::validate(text)) return std::nullopt;
  Loader loader(fields);
  rapidjson::MemoryStream stream(text.data(), text.size());
  rapidjson::Reader reader;
  // The text is known to be valid UTF-8, so the parser need not check it
  // again. Numbers too large for a double make the parse fail here; the
  // generic path reads them as floating-point numbers.
  if (!reader.Parse<rapidjson::kParseIterativeFlag>(stream, loader)) return std::nullopt;
  json.release();
  return loader.finish(schema_kind);
}

Result<LoadResult, std::string> parse_and_load_intent(const types::IntentSchema& schema,
                                                      JsonText text) {
  return parse_and_load(schema, std::move(text), "intent", load_intent);
}

Result<LoadResult, std::string> parse_and_load_evidence(const types::EvidenceSchema& schema,
                                                        JsonText text) {
  return parse_and_load(schema, std::move(text), "evidence", load_evidence);
}

}  // namespace verdane::runtime_input
