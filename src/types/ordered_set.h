// An ordered set held as a sorted vector without duplicates.
//
// Sets in templates and in runtime values are built once and then only read,
// so a contiguous sorted vector serves better than a node-based tree: one
// allocation, binary-search lookups, linear merges.
#pragma once

#include <algorithm>
#include <cassert>
#include <cstddef>
#include <initializer_list>
#include <utility>
#include <vector>

namespace verdane::types {

template <typename T>
class OrderedSet {
 public:
  using value_type = T;
  using const_iterator = typename std::vector<T>::const_iterator;

  OrderedSet() = default;
  OrderedSet(std::initializer_list<T> items) : OrderedSet(std::vector<T>(items)) {}
  // Sorts `items` and collapses repeated elements.
  explicit OrderedSet(std::vector<T> items) : items_(std::move(items)) {
    std::sort(items_.begin(), items_.end());
    items_.erase(std::unique(items_.begin(), items_.end()), items_.end());
  }

  // Takes `items` as they are, without sorting again: the caller guarantees
  // ascending order without repeats (checked in debug builds).
  static OrderedSet from_sorted(std::vector<T> items) {
    assert(std::adjacent_find(items.begin(), items.end(),
                              [](const T& a, const T& b) { return !(a < b); }) == items.end());
    OrderedSet set;
    set.items_ = std::move(items);
    return set;
  }

  // Inserts `item`; returns false (and changes nothing) if it was present.
  // Linear in the size of the set; use the vector constructor for bulk builds.
  bool insert(T item) {
    auto it = std::lower_bound(items_.begin(), items_.end(), item);
    if (it != items_.end() && !(item < *it)) return false;
    items_.insert(it, std::move(item));
    return true;
  }

  bool contains(const T& item) const {
    return std::binary_search(items_.begin(), items_.end(), item);
  }

  // Every element of this set is in `other`.
  bool is_subset_of(const OrderedSet& other) const {
    return std::includes(other.items_.begin(), other.items_.end(), items_.begin(), items_.end());
  }

  std::size_t size() const { return items_.size(); }
  bool empty() const { return items_.empty(); }
  const_iterator begin() const { return items_.begin(); }
  const_iterator end() const { return items_.end(); }
  const std::vector<T>& items() const { return items_; }

  friend bool operator==(const OrderedSet&, const OrderedSet&) = default;

 private:
  std::vector<T> items_;  // ascending, unique
};

}  // namespace verdane::types
