#include "types/value_view.h"

#include <gtest/gtest.h>

#include <random>
#include <set>
#include <string>
#include <vector>

namespace verdane::types {
namespace {

// Random texts laid out in one buffer, sorted through their spans, against
// std::set: every size around the thresholds of the sort, alphabets from
// two letters (long runs of repeats and shared prefixes) to every byte, and
// the set operations on the result.
TEST(SortUniqueTexts, GivesTheSetOfItsTextsInByteOrder) {
  std::mt19937 rng(25);
  const auto pick = [&](int n) { return std::uniform_int_distribution<int>(0, n - 1)(rng); };
  for (int round = 0; round < 300; ++round) {
    const int count = round < 100 ? round : pick(3000);
    const int alphabet = std::vector<int>{2, 3, 16, 256}[static_cast<std::size_t>(pick(4))];
    const std::string prefix(static_cast<std::size_t>(pick(3) * 7), 'p');
    std::string buffer;
    std::vector<TextSpan> spans;
    std::set<std::string> want;
    for (int i = 0; i < count; ++i) {
      std::string text = pick(4) ? prefix : "";
      for (int k = pick(12); k > 0; --k)
        text += static_cast<char>(pick(alphabet) + (alphabet == 256 ? 0 : 'a'));
      spans.push_back(
          {static_cast<std::uint32_t>(buffer.size()), static_cast<std::uint32_t>(text.size())});
      buffer += text;
      want.insert(text);
    }
    const std::size_t n = sort_unique_texts(buffer.data(), spans.data(), spans.size());
    const TextSetView set(buffer.data(), spans.data(), n);
    std::vector<std::string> got;
    for (std::size_t i = 0; i < n; ++i) got.emplace_back(set[i]);
    ASSERT_EQ(got, std::vector<std::string>(want.begin(), want.end())) << "round " << round;

    // Membership of present and absent texts, and subsets both ways.
    for (const std::string& text : want) ASSERT_TRUE(set.contains(text));
    for (const std::string& probe :
         {prefix + "#", prefix + "ab", std::string("zz"), std::string()}) {
      ASSERT_EQ(set.contains(probe), want.contains(probe)) << probe;
    }
    Arena arena;
    std::vector<std::string> half;
    for (const std::string& text : want)
      if (pick(2)) half.push_back(text);
    const StringSet half_set{std::vector<std::string>(half)};
    const ValueView sub = view_of(Scalar(half_set), arena);
    EXPECT_TRUE(sub.as_texts().is_subset_of(set));
    EXPECT_EQ(set.is_subset_of(sub.as_texts()), half.size() == want.size());
    EXPECT_EQ(sub == ValueView::text_set(set), half.size() == want.size());
    EXPECT_EQ(to_scalar(ValueView::text_set(set)),
              Scalar(StringSet(std::vector<std::string>(want.begin(), want.end()))));
  }
}

}  // namespace
}  // namespace verdane::types
