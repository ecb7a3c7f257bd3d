#include "runtime_input/set_builders.h"

#include <algorithm>
#include <array>
#include <string>

namespace verdane::runtime_input {

namespace {

// Large enough that block bookkeeping is negligible, small enough that a
// short list of strings does not reserve much.
constexpr std::size_t kBlockBytes = std::size_t{1} << 20;

// The bytes of `text` from `from` on, the first eight of them as a big-endian
// number padded with zero bytes. Comparing two such keys orders the texts
// whenever the keys differ: a text that ends early pads with zeros, which no
// byte sorts below. Equal keys say nothing.
std::uint64_t key_at(std::string_view text, std::size_t from) {
  std::uint64_t key = 0;
  for (std::size_t i = 0; i < 8; ++i) {
    const std::size_t at = from + i;
    const unsigned char byte = at < text.size() ? static_cast<unsigned char>(text[at]) : 0;
    key = (key << 8) | byte;
  }
  return key;
}

std::size_t common_prefix(std::string_view a, std::string_view b) {
  const std::size_t n = std::min(a.size(), b.size());
  return static_cast<std::size_t>(
      std::mismatch(a.begin(), a.begin() + static_cast<std::ptrdiff_t>(n), b.begin()).first -
      a.begin());
}

}  // namespace

void PackedStrings::append(std::string_view text) {
  const std::uint32_t length = static_cast<std::uint32_t>(text.size());
  const std::size_t need = sizeof length + text.size();
  if (blocks_.empty() || blocks_.back().capacity - blocks_.back().used < need) {
    Block block;
    block.capacity = std::max(need, kBlockBytes);
    block.bytes = std::make_unique_for_overwrite<char[]>(block.capacity);
    blocks_.push_back(std::move(block));
  }
  Block& block = blocks_.back();
  std::memcpy(block.bytes.get() + block.used, &length, sizeof length);
  std::memcpy(block.bytes.get() + block.used + sizeof length, text.data(), text.size());
  block.used += need;
  ++count_;
}

types::StringSet StringSetBuilder::build() {
  if (elements_.empty()) return {};
  const std::size_t total = elements_.size();

  // Bytes every element starts with: they decide nothing, so the buckets and
  // sort keys below look past them.
  std::string_view first;
  std::size_t prefix = 0;
  bool have_first = false;
  elements_.for_each([&](std::string_view text) {
    if (!have_first) {
      first = text;
      prefix = text.size();
      have_first = true;
    } else {
      prefix = std::min(prefix, common_prefix(first, text));
    }
  });

  // Distribute by the first byte after the common prefix (bucket 0 holds the
  // elements that end there and sort first), freeing the packed elements as
  // they are copied out. Buckets in ascending order are then sorted and
  // turned into strings one at a time, each freed as soon as it is done.
  std::array<PackedStrings, 257> buckets;
  elements_.drain([&](std::string_view text) {
    const std::size_t bucket =
        text.size() == prefix ? 0 : 1 + static_cast<unsigned char>(text[prefix]);
    buckets[bucket].append(text);
  });

  struct Entry {
    std::uint64_t key;
    std::string_view text;
  };
  std::vector<std::string> sorted;
  sorted.reserve(total);
  std::vector<Entry> entries;
  for (PackedStrings& bucket : buckets) {
    if (bucket.empty()) continue;
    entries.clear();
    entries.reserve(bucket.size());
    bucket.for_each([&](std::string_view text) {
      entries.push_back({key_at(text, prefix + 1), text});
    });
    std::sort(entries.begin(), entries.end(), [](const Entry& a, const Entry& b) {
      return a.key != b.key ? a.key < b.key : a.text < b.text;
    });
    for (const Entry& e : entries) {
      if (sorted.empty() || sorted.back() != e.text) sorted.emplace_back(e.text);
    }
    bucket = PackedStrings{};
  }
  return types::StringSet(std::move(sorted));
}

}  // namespace verdane::runtime_input
