// Sorting items by a 64-bit unsigned key of each, by radix: the large sets of
// a loaded document (integers, dates, the first bytes of texts) are sorted
// this way, in a number of steps per item that does not grow with the set.
#pragma once

#include <algorithm>
#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <utility>

namespace verdane::types {

// Moves each of `items` into the places of its bucket, `digit(item)`, in
// place, given how many items each bucket holds: each item taken out of
// place is carried along the cycle of places it displaces until one belongs
// where it was taken from.
template <typename T, std::size_t N, typename Digit>
void distribute_in_place(T* items, const std::array<std::size_t, N>& counts, Digit digit) {
  std::array<std::size_t, N> next;
  std::array<std::size_t, N> ends;
  std::size_t at = 0;
  for (std::size_t b = 0; b < N; ++b) {
    next[b] = at;
    at += counts[b];
    ends[b] = at;
  }
  for (std::size_t b = 0; b < N; ++b) {
    while (next[b] < ends[b]) {
      T item = items[next[b]];
      std::size_t d = digit(item);
      while (d != b) {
        std::swap(item, items[next[d]++]);
        d = digit(item);
      }
      items[next[b]++] = item;
    }
  }
}

// Sorts `items[0, n)` by `key_of(item)`, a std::uint64_t, one byte at a
// time, least significant first, using `room` (n items) besides; stable, so
// each pass keeps the order of the ones before. Only the lowest `bytes`
// bytes of the keys are looked at, and bytes that all keys share are
// skipped. Returns the one of the two that holds the sorted items.
template <typename T, typename KeyOf>
T* sort_by_key(T* items, T* room, std::size_t n, KeyOf key_of, std::size_t bytes = 8) {
  if (n == 0) return items;
  std::array<std::array<std::size_t, 256>, 8> counts;
  for (std::size_t d = 0; d < bytes; ++d) counts[d].fill(0);
  for (std::size_t i = 0; i < n; ++i) {
    const std::uint64_t k = key_of(items[i]);
    for (std::size_t d = 0; d < bytes; ++d) ++counts[d][(k >> (8 * d)) & 0xFF];
  }
  const std::uint64_t first = key_of(items[0]);
  for (std::size_t d = 0; d < bytes; ++d) {
    auto& slots = counts[d];
    if (slots[(first >> (8 * d)) & 0xFF] == n) continue;
    std::size_t offset = 0;
    for (std::size_t& slot : slots) offset += std::exchange(slot, offset);
    for (std::size_t i = 0; i < n; ++i)
      room[slots[(key_of(items[i]) >> (8 * d)) & 0xFF]++] = items[i];
    std::swap(items, room);
  }
  return items;
}

namespace key_sort_detail {

// Ranges this small are sorted by insertion: counting their bytes costs more
// than it saves.
constexpr std::size_t kInserted = 32;
// Ranges up to this many items are sorted least significant byte first,
// with room of their size: a pass per byte and no per-range overhead, where
// splitting them further would cost one pass of 256 buckets per range.
constexpr std::size_t kWithRoom = std::size_t{1} << 16;

template <typename T, typename KeyOf>
void insertion_sort(T* items, std::size_t n, KeyOf& key_of) {
  for (std::size_t i = 1; i < n; ++i) {
    const T item = items[i];
    const std::uint64_t key = key_of(item);
    std::size_t j = i;
    for (; j > 0 && key < key_of(items[j - 1]); --j) items[j] = items[j - 1];
    items[j] = item;
  }
}

// Sorts `items[0, n)`, whose keys agree on every byte above `byte` (bytes
// numbered from the least significant), by the bytes from `byte` down: each
// range is permuted in place into the buckets of one byte, and each bucket
// is a range of the next. The recursion is one level per byte, eight at most.
template <typename T, typename KeyOf>
void sort_from_byte(T* items, std::size_t n, int byte, KeyOf& key_of, T* room) {
  for (; byte >= 0; --byte) {
    if (n <= kInserted) {
      insertion_sort(items, n, key_of);
      return;
    }
    if (n <= kWithRoom) {
      const T* sorted = sort_by_key(items, room, n, key_of, static_cast<std::size_t>(byte) + 1);
      if (sorted != items) std::copy(sorted, sorted + n, items);
      return;
    }
    const int shift = 8 * byte;
    const auto digit = [&](const T& item) {
      return static_cast<std::size_t>((key_of(item) >> shift) & 0xFF);
    };
    std::array<std::size_t, 256> counts{};
    for (std::size_t i = 0; i < n; ++i) ++counts[digit(items[i])];
    if (counts[digit(items[0])] == n) continue;  // a byte they all share
    distribute_in_place(items, counts, digit);
    if (byte == 0) return;
    std::size_t begin = 0;
    for (std::size_t b = 0; b < 256; ++b) {
      if (counts[b] > 1) sort_from_byte(items + begin, counts[b], byte - 1, key_of, room);
      begin += counts[b];
    }
    return;
  }
}

}  // namespace key_sort_detail

// Sorts `items[0, n)` in place by `key_of(item)`, a std::uint64_t, with
// room for at most kWithRoom items besides: most significant byte first, in
// place, from the highest byte in which the keys differ, down to ranges that
// fit the room. Not stable. Items already in order (as sets exported from a
// database often are) cost one pass.
template <typename T, typename KeyOf>
void sort_by_key_in_place(T* items, std::size_t n, KeyOf key_of) {
  if (n < 2) return;
  const std::uint64_t first = key_of(items[0]);
  std::uint64_t differ = 0;
  std::uint64_t previous = first;
  bool ascending = true;
  for (std::size_t i = 1; i < n; ++i) {
    const std::uint64_t key = key_of(items[i]);
    differ |= key ^ first;
    ascending &= previous <= key;
    previous = key;
  }
  if (ascending) return;
  const int top = (63 - std::countl_zero(differ)) / 8;
  const std::unique_ptr<T[]> room(new T[std::min(n, key_sort_detail::kWithRoom)]);
  key_sort_detail::sort_from_byte(items, n, top, key_of, room.get());
}

}  // namespace verdane::types
