// Sorting the spans of a set of texts by the bytes of their texts.
//
// A large set is split most significant byte first, in place, until its
// ranges are of a size whose sort keys fit a small buffer; each such range is
// then sorted by the next eight bytes of its texts as one number, by radix,
// and only texts whose eight bytes agree are compared further. Comparing
// texts directly costs a call and a pointer chase into the text per
// comparison, which dominated loading a set of a million texts.
#include <algorithm>
#include <array>
#include <bit>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string_view>
#include <vector>

#include "types/key_sort.h"
#include "types/value_view.h"

namespace verdane::types {

namespace {

// Sets this small are sorted by inserting each element in turn.
constexpr std::size_t kInserted = 8;
// Ranges this small are sorted by comparison.
constexpr std::size_t kCompared = 32;
// Ranges up to this many texts are sorted by their keys, in a buffer of this
// many entries (1 MiB): more room would add to the peak memory of loading a
// large set for little gain. The keys are sorted by comparison, which here
// costs fewer steps than a radix sort's eight passes.
constexpr std::size_t kKeyed = std::size_t{1} << 16;
// What a repeated text's span becomes until the spans are compacted: no span
// of a buffer below 4 GiB reaches that far.
constexpr TextSpan kRepeat{UINT32_MAX, UINT32_MAX};

class Texts {
 public:
  explicit Texts(const char* base) : base_(base) {}

  std::string_view text(TextSpan s) const { return {base_ + s.offset, s.size}; }
  // The bytes of a text from `depth` on (depth <= its size).
  std::string_view tail(TextSpan s, std::size_t depth) const {
    return {base_ + s.offset + depth, s.size - depth};
  }
  unsigned char byte(TextSpan s, std::size_t at) const {
    return static_cast<unsigned char>(base_[s.offset + at]);
  }

  // The bytes of a text from `depth` on, the first eight of them as a
  // big-endian number padded with zero bytes. Two such keys order their
  // texts whenever they differ: a text that ends early pads with zeros,
  // which no byte sorts below. Equal keys say nothing.
  std::uint64_t key(TextSpan s, std::size_t depth) const {
    const char* p = base_ + s.offset + depth;
    if (s.size >= depth + 8) {
      std::uint64_t word;
      std::memcpy(&word, p, sizeof word);
      if constexpr (std::endian::native == std::endian::little) word = __builtin_bswap64(word);
      return word;
    }
    std::uint64_t key = 0;
    for (std::size_t i = 0; depth + i < s.size; ++i) {
      key |= std::uint64_t{static_cast<unsigned char>(p[i])} << (56 - 8 * i);
    }
    return key;
  }

  // Sorts spans whose texts agree before `depth` by comparing the rest, and
  // marks repeats.
  void compare_sort(TextSpan* begin, TextSpan* end, std::size_t depth) const {
    std::sort(begin, end, [&](TextSpan a, TextSpan b) { return tail(a, depth) < tail(b, depth); });
    TextSpan* kept = begin;
    for (TextSpan* s = begin + 1; s < end; ++s) {
      if (tail(*s, depth) == tail(*kept, depth)) {
        *s = kRepeat;
      } else {
        kept = s;
      }
    }
  }

 private:
  const char* base_;
};

// How many bytes `a` and `b` share at their start, up to `limit` (at most
// the size of either), eight at a time.
std::size_t shared_bytes(const char* a, const char* b, std::size_t limit) {
  std::size_t k = 0;
  for (; k + 8 <= limit; k += 8) {
    std::uint64_t x, y;
    std::memcpy(&x, a + k, sizeof x);
    std::memcpy(&y, b + k, sizeof y);
    if (x != y) {
      if constexpr (std::endian::native == std::endian::little) {
        return k + static_cast<std::size_t>(std::countr_zero(x ^ y)) / 8;
      } else {
        return k + static_cast<std::size_t>(std::countl_zero(x ^ y)) / 8;
      }
    }
  }
  while (k < limit && a[k] == b[k]) ++k;
  return k;
}

// A range of spans whose texts agree on their first `depth` bytes.
struct Range {
  std::size_t begin, end, depth;
};

// The state of one sort: the texts, the ranges left and the buffer of the
// keyed sorts. Repeats are marked as kRepeat where they are found: texts
// that end at a split's depth, equal neighbours where texts are compared.
// Texts in different buckets or of different keys differ.
class TextSorter {
 public:
  TextSorter(const char* base, TextSpan* spans) : texts_(base), spans_(spans) {}

  void sort(std::size_t count, std::size_t depth) {
    pending_.push_back({0, count, depth});
    while (!pending_.empty()) {
      const Range r = pending_.back();
      pending_.pop_back();
      const std::size_t n = r.end - r.begin;
      if (n <= kCompared) {
        texts_.compare_sort(spans_ + r.begin, spans_ + r.end, r.depth);
      } else if (n <= kKeyed) {
        sort_by_keys(r);
      } else {
        split(r);
      }
    }
  }

 private:
  struct Entry {
    std::uint64_t key;
    TextSpan span;
  };

  // Distributes a range into the buckets of its byte at `depth`, in place
  // (bucket 0 for texts that end there, which are all equal); each bucket
  // is a range of the next byte.
  void split(const Range& r) {
    const auto bucket = [&](TextSpan s) -> std::size_t {
      return s.size <= r.depth ? 0 : 1 + texts_.byte(s, r.depth);
    };
    std::array<std::size_t, 257> counts{};
    for (std::size_t i = r.begin; i < r.end; ++i) ++counts[bucket(spans_[i])];
    distribute_in_place(spans_ + r.begin, counts, bucket);
    if (counts[0] > 1) std::fill_n(spans_ + r.begin + 1, counts[0] - 1, kRepeat);
    std::size_t begin = r.begin + counts[0];
    for (std::size_t b = 1; b < counts.size(); ++b) {
      if (counts[b] > 1) pending_.push_back({begin, begin + counts[b], r.depth + 1});
      begin += counts[b];
    }
  }

  // Sorts a range by the keys of its texts at its depth; texts of equal keys
  // that all go on past those eight bytes form a range eight bytes deeper,
  // the others are compared.
  void sort_by_keys(const Range& r) {
    const std::size_t n = r.end - r.begin;
    if (n > capacity_) {
      capacity_ = n;
      entries_ = std::unique_ptr<Entry[]>(new Entry[n]);
    }
    Entry* entries = entries_.get();
    for (std::size_t i = 0; i < n; ++i) {
      const TextSpan s = spans_[r.begin + i];
      entries[i] = {texts_.key(s, r.depth), s};
    }
    std::sort(entries, entries + n, [](const Entry& a, const Entry& b) { return a.key < b.key; });
    TextSpan* const out = spans_ + r.begin;
    for (std::size_t i = 0; i < n; ++i) out[i] = entries[i].span;
    const std::size_t deeper = r.depth + 8;
    for (std::size_t i = 0; i < n;) {
      std::size_t j = i + 1;
      bool all_go_on = out[i].size >= deeper;
      while (j < n && entries[j].key == entries[i].key) {
        all_go_on = all_go_on && out[j].size >= deeper;
        ++j;
      }
      if (j - i > kCompared && all_go_on) {
        pending_.push_back({r.begin + i, r.begin + j, deeper});
      } else if (j - i > 1) {
        texts_.compare_sort(out + i, out + j, r.depth);
      }
      i = j;
    }
  }

  Texts texts_;
  TextSpan* spans_;
  std::vector<Range> pending_;  // an explicit stack: depth follows the texts' lengths
  std::unique_ptr<Entry[]> entries_;
  std::size_t capacity_ = 0;
};

}  // namespace

std::size_t sort_unique_texts(const char* base, TextSpan* spans, std::size_t count) {
  const Texts texts(base);
  const auto less = [&](TextSpan a, TextSpan b) { return texts.text(a) < texts.text(b); };
  if (count <= kInserted) {
    // A request's few elements: inserted in turn.
    for (std::size_t i = 1; i < count; ++i) {
      const TextSpan item = spans[i];
      std::size_t j = i;
      for (; j > 0 && less(item, spans[j - 1]); --j) spans[j] = spans[j - 1];
      spans[j] = item;
    }
  } else if (count <= kCompared) {
    std::sort(spans, spans + count, less);
  } else {
    // Large sets mark their repeats while they are sorted.
    // Bytes every element starts with decide nothing.
    const TextSpan first = spans[0];
    std::size_t prefix = first.size;
    for (std::size_t i = 1; i < count && prefix > 0; ++i) {
      const TextSpan s = spans[i];
      prefix =
          shared_bytes(base + first.offset, base + s.offset, std::min<std::size_t>(prefix, s.size));
    }
    TextSorter(base, spans).sort(count, prefix);
    std::size_t kept = 0;
    for (std::size_t i = 0; i < count; ++i) {
      if (spans[i].offset != kRepeat.offset || spans[i].size != kRepeat.size) {
        spans[kept++] = spans[i];
      }
    }
    return kept;
  }
  // Repeats are neighbours now.
  std::size_t kept = 0;
  for (std::size_t i = 0; i < count; ++i) {
    if (kept == 0 || texts.text(spans[kept - 1]) != texts.text(spans[i])) spans[kept++] = spans[i];
  }
  return kept;
}

}  // namespace verdane::types
