// Sorting items by a 64-bit unsigned key of each, by radix: the large sets of
// a loaded document (integers, dates) are sorted this way, in a number of
// steps per item that does not grow with the set.
#pragma once

#include <algorithm>
#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <utility>

namespace verdane::types {

// Moves each of `items` into the places of its bucket, `digit(item)`, in
// place, given how many items each bucket holds: each item taken out of
// place is carried along the cycle of places it displaces until one belongs
// where it was taken from.
template <typename T, typename Counts, typename Digit>
void distribute_in_place(T* items, const Counts& counts, Digit digit) {
  const std::size_t N = counts.size();
  Counts next = counts;
  Counts ends = counts;
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

// Sorts `items[0, n)`, whose keys agree on every bit from `bits` up, by
// their lower `bits` bits: each range is permuted in place into the buckets
// of its highest eight of them, and each bucket is a range of the bits
// below. The recursion is one level per eight bits, eight at most. (Wider
// digits take fewer steps, but scatter the permutation over more places
// than the caches hold, which costs more time than the steps save.)
template <typename T, typename KeyOf>
void sort_low_bits(T* items, std::size_t n, int bits, KeyOf& key_of) {
  while (bits > 0) {
    if (n <= kInserted) {
      insertion_sort(items, n, key_of);
      return;
    }
    const int shift = std::max(bits - 8, 0);
    const auto digit = [&](const T& item) {
      return static_cast<std::size_t>((key_of(item) >> shift) & 0xFF);
    };
    std::array<std::size_t, 256> counts{};
    for (std::size_t i = 0; i < n; ++i) ++counts[digit(items[i])];
    bits = shift;
    if (counts[digit(items[0])] == n) continue;  // bits they all share
    distribute_in_place(items, counts, digit);
    if (shift == 0) return;
    std::size_t begin = 0;
    for (const std::size_t count : counts) {
      if (count > 1) sort_low_bits(items + begin, count, shift, key_of);
      begin += count;
    }
    return;
  }
}

}  // namespace key_sort_detail

// Sorts `items[0, n)` in place by `key_of(item)`, a std::uint64_t: most
// significant bits first, from the highest bit in which the keys differ.
// Not stable. Items already in order (as sets exported from a database often
// are) cost one pass.
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
  key_sort_detail::sort_low_bits(items, n, 64 - std::countl_zero(differ), key_of);
}

}  // namespace verdane::types
