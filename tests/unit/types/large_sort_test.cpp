// Brute-force checks of the radix sorts of large sets against std::sort (and
// std::unique): sizes past every threshold at which the sorts change method,
// keys and texts drawn so that ranges share long prefixes, end early, repeat,
// and hold high bytes (which sort after ASCII) and NUL bytes (which a text
// that ends early must still sort before).
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "types/key_sort.h"
#include "types/value_view.h"

namespace verdane::types {
namespace {

std::vector<std::string> sorted_unique(std::vector<std::string> texts) {
  std::sort(texts.begin(), texts.end());  // std::string orders bytes as unsigned
  texts.erase(std::unique(texts.begin(), texts.end()), texts.end());
  return texts;
}

std::vector<std::string> sorted_by_spans(const std::vector<std::string>& texts) {
  std::string buffer;
  std::vector<TextSpan> spans;
  for (const std::string& text : texts) {
    spans.push_back(
        {static_cast<std::uint32_t>(buffer.size()), static_cast<std::uint32_t>(text.size())});
    buffer += text;
  }
  const std::size_t n = sort_unique_texts(buffer.data(), spans.data(), spans.size());
  std::vector<std::string> got;
  for (std::size_t i = 0; i < n; ++i)
    got.emplace_back(buffer.data() + spans[i].offset, spans[i].size);
  return got;
}

TEST(LargeSort, TextsMatchStdSortAndUnique) {
  std::mt19937 rng(2025);
  const auto pick = [&](int n) { return std::uniform_int_distribution<int>(0, n - 1)(rng); };
  // Sizes around a keyed range (256, 65536 entries) and past it.
  for (const int count : {40, 255, 256, 300, 5000, 65536, 65537, 70000, 150000}) {
    for (int round = 0; round < 2; ++round) {
      // A few stems shared by many texts (long runs of equal 8-byte keys),
      // then a tail from a small or a full alphabet, often empty.
      std::vector<std::string> stems;
      for (int s = 0; s < 1 + pick(6); ++s) {
        std::string stem(static_cast<std::size_t>(pick(3) * 9), 'c');
        for (int k = pick(20); k > 0; --k)
          stem += static_cast<char>(pick(2) ? 'a' + pick(3) : pick(256));
        stems.push_back(stem);
      }
      std::vector<std::string> texts;
      for (int i = 0; i < count; ++i) {
        std::string text = stems[static_cast<std::size_t>(pick(static_cast<int>(stems.size())))];
        if (pick(5) == 0)
          text.resize(static_cast<std::size_t>(pick(static_cast<int>(text.size()) + 1)));
        const int alphabet = round == 0 ? 3 : 256;
        for (int k = pick(14); k > 0; --k) {
          const int c = pick(alphabet);
          text += static_cast<char>(alphabet == 256 ? c : (c == 2 ? '\0' : 'x' + c));
        }
        if (i > 0 && pick(10) == 0) text = texts[static_cast<std::size_t>(pick(i))];  // repeats
        texts.push_back(std::move(text));
      }
      if (round == 1) texts.push_back("");
      ASSERT_EQ(sorted_by_spans(texts), sorted_unique(texts)) << count << " texts, round " << round;
    }
  }
}

TEST(LargeSort, KeysMatchStdSort) {
  std::mt19937_64 rng(7);
  // Sizes around insertion (32) and a few levels of splits.
  for (const std::size_t count : {0u, 1u, 2u, 31u, 33u, 1000u, 70000u, 300000u}) {
    for (const int bits : {1, 9, 20, 37, 64}) {
      std::vector<std::uint64_t> keys(count);
      const std::uint64_t high = rng() & ~(bits == 64 ? 0 : (~std::uint64_t{0} >> (64 - bits)));
      for (std::uint64_t& k : keys) k = high | (bits == 64 ? rng() : rng() >> (64 - bits));
      if (count > 2 && bits == 20) std::sort(keys.begin(), keys.end() - 1);  // nearly in order
      std::vector<std::uint64_t> want = keys;
      std::sort(want.begin(), want.end());

      std::vector<std::uint64_t> in_place = keys;
      sort_by_key_in_place(in_place.data(), count, [](std::uint64_t k) { return k; });
      ASSERT_EQ(in_place, want) << count << " keys of " << bits << " bits";

      std::vector<std::uint64_t> items = keys;
      std::vector<std::uint64_t> room(count);
      const std::uint64_t* sorted =
          sort_by_key(items.data(), room.data(), count, [](std::uint64_t k) { return k; });
      ASSERT_EQ(std::vector<std::uint64_t>(sorted, sorted + count), want)
          << count << " keys of " << bits << " bits, with room";
    }
  }
}

}  // namespace
}  // namespace verdane::types
