#include "runtime_input/set_builders.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

namespace verdane::runtime_input {
namespace {

types::StringSet built(const std::vector<std::string>& elements) {
  StringSetBuilder builder;
  for (const std::string& e : elements) builder.add(e);
  EXPECT_EQ(builder.size(), elements.size());
  return builder.build();
}

struct StringsCase {
  std::string name;
  std::vector<std::string> elements;
};

class StringSetBuilderTest : public testing::TestWithParam<StringsCase> {};

// The same elements repeated past the size below which sets are sorted
// directly, so that the bucketed path sees them too.
template <typename T>
std::vector<T> repeated(const std::vector<T>& elements) {
  std::vector<T> out;
  while (!elements.empty() && out.size() < 4096)
    out.insert(out.end(), elements.begin(), elements.end());
  return out;
}

TEST_P(StringSetBuilderTest, GivesTheSortedSetOfItsElements) {
  const auto& elements = GetParam().elements;
  EXPECT_EQ(built(elements), types::StringSet(elements));
  EXPECT_EQ(built(repeated(elements)), types::StringSet(elements));
}

INSTANTIATE_TEST_SUITE_P(
    Cases, StringSetBuilderTest,
    testing::Values(
        StringsCase{"none", {}}, StringsCase{"one", {"x"}}, StringsCase{"empty_string", {""}},
        StringsCase{"all_equal", {"ab", "ab", "ab"}},
        // The common prefix is the whole of the shortest element.
        StringsCase{"prefix_of_the_others", {"abcz", "ab", "abc", "ab", "abd"}},
        StringsCase{"empty_among_others", {"b", "", "a", ""}},
        // Keys pad short elements with zero bytes: a real zero byte must
        // still sort after the end of a shorter element.
        StringsCase{"nul_bytes",
                    {std::string("p\0", 2), "p", std::string("p\0\0", 3), std::string("p\0a", 3)}},
        StringsCase{"high_bytes_sort_last", {"\xC3\xA9", "z", "\x7F", "\xFF", "e"}},
        StringsCase{"long_equal_stretch",
                    {std::string(40, 'q') + "b", std::string(40, 'q') + "a", std::string(40, 'q')}},
        StringsCase{"ties_on_eight_bytes",
                    {"k12345678x", "k12345678", "k12345678a", "k22345678", "k12345678x"}}),
    [](const auto& info) { return info.param.name; });

TEST(StringSetBuilder, RandomElementsMatchTheSortedVector) {
  std::mt19937 rng(7);
  const std::string alphabet("ab\0\x7F\x80\xFF", 6);
  for (int round = 0; round < 200; ++round) {
    // Sizes on both sides of the direct path for small sets.
    std::vector<std::string> elements(std::uniform_int_distribution<int>(0, 3000)(rng));
    const std::string prefix(std::uniform_int_distribution<int>(0, 12)(rng), 'p');
    for (std::string& e : elements) {
      e = prefix;
      const int length = std::uniform_int_distribution<int>(0, 14)(rng);
      for (int i = 0; i < length; ++i) {
        e += alphabet[std::uniform_int_distribution<std::size_t>(0, alphabet.size() - 1)(rng)];
      }
    }
    ASSERT_EQ(built(elements), types::StringSet(elements)) << "round " << round;
  }
}

TEST(StringSetBuilder, ElementsLargerThanABlock) {
  const std::vector<std::string> elements{std::string(3 << 20, 'b'), "a", std::string(3 << 20, 'a'),
                                          std::string(2 << 20, 'b')};
  EXPECT_EQ(built(elements), types::StringSet(elements));
}

TEST(StringSetBuilder, BuildLeavesItEmpty) {
  StringSetBuilder builder;
  builder.add("x");
  EXPECT_EQ(builder.build().size(), 1u);
  EXPECT_EQ(builder.size(), 0u);
  EXPECT_TRUE(builder.build().empty());
}

types::IntSet built_ints(const std::vector<std::int64_t>& elements) {
  IntSetBuilder builder;
  for (const std::int64_t e : elements) builder.add(e);
  EXPECT_EQ(builder.size(), elements.size());
  return builder.build();
}

struct IntsCase {
  std::string name;
  std::vector<std::int64_t> elements;
};

class IntSetBuilderTest : public testing::TestWithParam<IntsCase> {};

TEST_P(IntSetBuilderTest, GivesTheSortedSetOfItsElements) {
  const auto& elements = GetParam().elements;
  EXPECT_EQ(built_ints(elements), types::IntSet(elements));
  EXPECT_EQ(built_ints(repeated(elements)), types::IntSet(elements));
}

INSTANTIATE_TEST_SUITE_P(
    Cases, IntSetBuilderTest,
    testing::Values(IntsCase{"none", {}}, IntsCase{"one", {-3}}, IntsCase{"all_equal", {7, 7, 7}},
                    IntsCase{"signs", {1, -1, 0, -2, 2}},
                    IntsCase{"limits", {INT64_MAX, INT64_MIN, -1, 0, INT64_MIN, INT64_MAX}},
                    // Values that differ in one byte only, at either end.
                    IntsCase{"high_byte_only", {3LL << 56, 1LL << 56, 2LL << 56}},
                    IntsCase{"low_byte_only", {0x7F00000003, 0x7F00000001, 0x7F00000002}}),
    [](const auto& info) { return info.param.name; });

TEST(IntSetBuilder, RandomElementsMatchTheSortedVector) {
  std::mt19937_64 rng(11);
  for (int round = 0; round < 100; ++round) {
    std::vector<std::int64_t> elements(std::uniform_int_distribution<int>(0, 5000)(rng));
    const int shift = std::uniform_int_distribution<int>(0, 63)(rng);
    for (std::int64_t& e : elements) e = static_cast<std::int64_t>(rng()) >> shift;
    ASSERT_EQ(built_ints(elements), types::IntSet(elements)) << "round " << round;
  }
}

TEST(IntSetBuilder, BuildLeavesItEmpty) {
  IntSetBuilder builder;
  builder.add(1);
  EXPECT_EQ(builder.build().size(), 1u);
  EXPECT_EQ(builder.size(), 0u);
  EXPECT_TRUE(builder.build().empty());
}

}  // namespace
}  // namespace verdane::runtime_input
