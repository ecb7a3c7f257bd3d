// Values as a loaded request holds them: small, trivially copyable views of
// bytes that the request's owner keeps (its text and its arena) or, for a
// plan's literals, that the template and its plan keep.
//
// A view never owns what it points to and must not outlive that owner:
// views of a loaded document die with the document, views of a plan's
// literals with the plan. Code that keeps a value past that converts it with
// to_scalar. ASan checks what the types cannot.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>
#include <string_view>

#include "types/arena.h"
#include "types/model.h"

namespace verdane::types {

// Where one element of a set of texts lies in its set's buffer.
struct TextSpan {
  std::uint32_t offset;
  std::uint32_t size;
};

// A set of texts: spans into one buffer, in ascending byte order of their
// texts, without repeats. The buffer is where the texts already lay (the
// document's text, parsed in place) or a packed copy; the elements need not
// lie in it in their order.
class TextSetView {
 public:
  TextSetView() = default;
  TextSetView(const char* base, const TextSpan* spans, std::size_t count)
      : base_(base), spans_(spans), count_(count) {}

  std::size_t size() const { return count_; }
  bool empty() const { return count_ == 0; }
  std::string_view operator[](std::size_t i) const {
    return {base_ + spans_[i].offset, spans_[i].size};
  }

  bool contains(std::string_view text) const;
  // Every element of this set is in `other`.
  bool is_subset_of(TextSetView other) const;
  friend bool operator==(TextSetView a, TextSetView b);

  const char* base() const { return base_; }
  const TextSpan* spans() const { return spans_; }

 private:
  const char* base_ = nullptr;
  const TextSpan* spans_ = nullptr;
  std::size_t count_ = 0;
};

// One value of any of the seven types, or no value (a field the input lacks).
class ValueView {
 public:
  // No value.
  ValueView() = default;
  static ValueView boolean(bool b) { return ValueView(Type::Bool, 0, b ? 1 : 0); }
  static ValueView integer(std::int64_t i) { return ValueView(Type::Int, 0, i); }
  static ValueView date(DateLit d) {
    // Packed so that the numbers order as the dates do.
    return ValueView(
        Type::Date, 0,
        static_cast<std::int64_t>(static_cast<std::uint64_t>(std::int64_t{d.year}) << 16) |
            (std::int64_t{d.month} << 8) | d.day);
  }
  // `text` shorter than 4 GiB, as every text a JSON parser hands out is.
  static ValueView text(std::string_view text) {
    ValueView v(Type::String, static_cast<std::uint32_t>(text.size()), 0);
    v.pointer_ = text.data();
    return v;
  }
  // Ascending without repeats.
  static ValueView int_set(std::span<const std::int64_t> items) {
    ValueView v(Type::IntSet, static_cast<std::uint32_t>(items.size()), 0);
    v.pointer_ = items.data();
    return v;
  }
  static ValueView date_set(std::span<const DateLit> items) {
    ValueView v(Type::DateSet, static_cast<std::uint32_t>(items.size()), 0);
    v.pointer_ = items.data();
    return v;
  }
  static ValueView text_set(TextSetView set) {
    ValueView v(Type::StringSet, static_cast<std::uint32_t>(set.size()), 0);
    v.pointer_ = set.spans();
    v.base_ = set.base();
    return v;
  }

  bool present() const { return tag_ != kAbsent; }
  explicit operator bool() const { return present(); }
  // Precondition: present().
  Type type() const { return static_cast<Type>(tag_); }

  // Each for its own type only.
  bool as_bool() const { return number_ != 0; }
  std::int64_t as_int() const { return number_; }
  DateLit as_date() const {
    return DateLit{static_cast<std::int32_t>(number_ >> 16),
                   static_cast<std::uint8_t>((number_ >> 8) & 0xFF),
                   static_cast<std::uint8_t>(number_ & 0xFF)};
  }
  std::string_view as_text() const { return {static_cast<const char*>(pointer_), count_}; }
  std::span<const std::int64_t> as_ints() const {
    return {static_cast<const std::int64_t*>(pointer_), count_};
  }
  std::span<const DateLit> as_dates() const {
    return {static_cast<const DateLit*>(pointer_), count_};
  }
  TextSetView as_texts() const {
    return TextSetView(base_, static_cast<const TextSpan*>(pointer_), count_);
  }

  // Values of different types are unequal; no value equals only no value.
  friend bool operator==(const ValueView& a, const ValueView& b);

 private:
  static constexpr std::uint8_t kAbsent = 0xFF;
  ValueView(Type type, std::uint32_t count, std::int64_t number)
      : tag_(static_cast<std::uint8_t>(type)), count_(count), number_(number) {}

  std::uint8_t tag_ = kAbsent;
  std::uint32_t count_ = 0;  // bytes of a text, elements of a set
  union {
    std::int64_t number_ = 0;  // bool (0 or 1), int, a packed date
    const void* pointer_;      // a text's bytes, a set's elements or spans
  };
  const char* base_ = nullptr;  // a set of texts: the buffer of its spans
};

static_assert(std::is_trivially_copyable_v<ValueView>);
static_assert(sizeof(ValueView) == 24);

// An owned copy of `view` (present), for code that keeps values: explanations
// and the reference paths of tests.
Scalar to_scalar(const ValueView& view);
// A view of `value`, which must outlive it; a set of texts is packed into
// `arena`, everything else is borrowed.
ValueView view_of(const Scalar& value, Arena& arena);

// A view of a copy of `value` that `arena` keeps.
ValueView copy_of(const Scalar& value, Arena& arena);

// Sorts `spans` of `base` by the bytes of their texts and drops repeats;
// the number of spans left at the front.
std::size_t sort_unique_texts(const char* base, TextSpan* spans, std::size_t count);

}  // namespace verdane::types
