#include "types/value_view.h"

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

namespace verdane::types {

namespace {

// Sets this small are searched element by element, lengths first: that
// beats the ordered comparisons of a binary search.
constexpr std::size_t kScanned = 8;

}  // namespace

bool TextSetView::contains(std::string_view text) const {
  if (count_ <= kScanned) {
    for (std::size_t i = 0; i < count_; ++i) {
      // An empty text may have no data pointer, which memcmp must not get.
      if (spans_[i].size == text.size() &&
          (text.empty() || std::memcmp(base_ + spans_[i].offset, text.data(), text.size()) == 0)) {
        return true;
      }
    }
    return false;
  }
  std::size_t low = 0;
  std::size_t high = count_;
  while (low < high) {
    const std::size_t mid = low + (high - low) / 2;
    const int order = (*this)[mid].compare(text);
    if (order == 0) return true;
    if (order < 0) {
      low = mid + 1;
    } else {
      high = mid;
    }
  }
  return false;
}

bool TextSetView::is_subset_of(TextSetView other) const {
  std::size_t j = 0;
  for (std::size_t i = 0; i < count_; ++i) {
    const std::string_view element = (*this)[i];
    while (j < other.count_ && other[j] < element) ++j;
    if (j == other.count_ || other[j] != element) return false;
    ++j;
  }
  return true;
}

bool operator==(TextSetView a, TextSetView b) {
  if (a.count_ != b.count_) return false;
  for (std::size_t i = 0; i < a.count_; ++i) {
    if (a[i] != b[i]) return false;
  }
  return true;
}

bool operator==(const ValueView& a, const ValueView& b) {
  if (a.tag_ != b.tag_) return false;
  if (!a.present()) return true;
  switch (a.type()) {
    case Type::Bool:
    case Type::Int:
      return a.number_ == b.number_;
    case Type::Date:
      return a.as_date() == b.as_date();
    case Type::String:
      return a.as_text() == b.as_text();
    case Type::IntSet: {
      // The JavaScript build's standard library has no ranges::equal.
      const auto x = a.as_ints(), y = b.as_ints();
      return std::equal(x.begin(), x.end(), y.begin(), y.end());
    }
    case Type::DateSet: {
      const auto x = a.as_dates(), y = b.as_dates();
      return std::equal(x.begin(), x.end(), y.begin(), y.end());
    }
    case Type::StringSet:
      return a.as_texts() == b.as_texts();
  }
  return false;
}

Scalar to_scalar(const ValueView& view) {
  switch (view.type()) {
    case Type::Bool:
      return Scalar(std::in_place_index<0>, view.as_bool());
    case Type::Int:
      return Scalar(std::in_place_index<1>, view.as_int());
    case Type::String:
      return Scalar(std::in_place_index<2>, std::string(view.as_text()));
    case Type::Date:
      return Scalar(std::in_place_index<3>, view.as_date());
    case Type::IntSet: {
      const auto items = view.as_ints();
      return IntSet::from_sorted(std::vector<std::int64_t>(items.begin(), items.end()));
    }
    case Type::StringSet: {
      const TextSetView set = view.as_texts();
      std::vector<std::string> items;
      items.reserve(set.size());
      for (std::size_t i = 0; i < set.size(); ++i) items.emplace_back(set[i]);
      return StringSet::from_sorted(std::move(items));
    }
    case Type::DateSet: {
      const auto items = view.as_dates();
      return DateSet::from_sorted(std::vector<DateLit>(items.begin(), items.end()));
    }
  }
  return Scalar{};
}

ValueView view_of(const Scalar& value, Arena& arena) {
  switch (static_cast<Type>(value.index())) {
    case Type::Bool:
      return ValueView::boolean(std::get<bool>(value));
    case Type::Int:
      return ValueView::integer(std::get<std::int64_t>(value));
    case Type::String:
      return ValueView::text(std::get<std::string>(value));
    case Type::Date:
      return ValueView::date(std::get<DateLit>(value));
    case Type::IntSet:
      return ValueView::int_set(std::get<IntSet>(value).items());
    case Type::DateSet:
      return ValueView::date_set(std::get<DateSet>(value).items());
    case Type::StringSet: {
      // Already in order: packed back to back, in that order.
      const StringSet& set = std::get<StringSet>(value);
      std::size_t bytes = 0;
      for (const std::string& element : set) bytes += element.size();
      char* base = arena.allocate_array<char>(bytes);
      TextSpan* spans = arena.allocate_array<TextSpan>(set.size());
      std::size_t at = 0;
      std::size_t i = 0;
      for (const std::string& element : set) {
        if (!element.empty()) std::memcpy(base + at, element.data(), element.size());
        spans[i++] = {static_cast<std::uint32_t>(at), static_cast<std::uint32_t>(element.size())};
        at += element.size();
      }
      return ValueView::text_set(TextSetView(base, spans, set.size()));
    }
  }
  return {};
}

ValueView copy_of(const Scalar& value, Arena& arena) {
  const ValueView view = view_of(value, arena);  // sets of texts are copies already
  switch (view.type()) {
    case Type::String:
      return ValueView::text(arena.copy(view.as_text()));
    case Type::IntSet: {
      const auto items = view.as_ints();
      std::int64_t* copy = arena.allocate_array<std::int64_t>(items.size());
      std::copy(items.begin(), items.end(), copy);
      return ValueView::int_set({copy, items.size()});
    }
    case Type::DateSet: {
      const auto items = view.as_dates();
      DateLit* copy = arena.allocate_array<DateLit>(items.size());
      std::uninitialized_copy(items.begin(), items.end(), copy);
      return ValueView::date_set({copy, items.size()});
    }
    default:
      return view;
  }
}

}  // namespace verdane::types
