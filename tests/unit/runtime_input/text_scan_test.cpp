// The word-at-a-time scans against plain byte loops: every length around
// the block sizes and the small-document limit, with the bytes they look for
// at every position.
#include "runtime_input/text_scan.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

namespace verdane::runtime_input::text_scan {
namespace {

// Bytes the scans tell apart, and plain ones.
constexpr char kBytes[] = {'a', 'z',    '"',    '\\',   '\0',   '\x1F',
                           ' ', '\x7F', '\x80', '\xC3', '\xFF', 'u'};

std::string random_text(std::mt19937& random, std::size_t size, int special_one_in) {
  std::string text(size, 'a');
  for (char& c : text) {
    if (static_cast<int>(random() % special_one_in) == 0) c = kBytes[random() % sizeof kBytes];
  }
  return text;
}

std::vector<std::size_t> lengths() {
  std::vector<std::size_t> out;
  for (std::size_t n = 0; n <= 70; ++n) out.push_back(n);
  for (std::size_t n = 1000; n <= 1030; ++n) out.push_back(n);
  return out;
}

TEST(CopyAndScan, CopiesAndTellsWhatTheSeparateChecksTell) {
  std::mt19937 random(25);
  for (const std::size_t n : lengths()) {
    for (int round = 0; round < 60; ++round) {
      std::string text = random_text(random, n, round % 3 == 0 ? 4 : 200);
      // One byte of each kind at every position, in turn.
      if (n > 0 && round < 12) text[random() % n] = kBytes[round];
      std::vector<char> out(n + 1, '#');
      const TextFacts facts = copy_and_scan(text, out.data());
      ASSERT_EQ(std::string(out.data(), n), text);
      ASSERT_EQ(out[n], '#') << "wrote past the copy";
      bool high = false;
      for (const char c : text) high |= static_cast<unsigned char>(c) >= 0x80;
      ASSERT_EQ(facts.high, high) << n;
      ASSERT_EQ(facts.nul, text.find('\0') != std::string::npos) << n;
      ASSERT_EQ(facts.backslash, text.find('\\') != std::string::npos) << n;
    }
  }
}

TEST(PlainRun, StopsWhereAByteLoopStops) {
  std::mt19937 random(26);
  for (const std::size_t n : lengths()) {
    for (int round = 0; round < 40; ++round) {
      // As a small document's copy ends: a NUL, then the padding.
      std::string buffer = random_text(random, n, round % 2 ? 3 : 30);
      buffer.append(1 + kWordPadding, '\0');
      std::size_t want = 0;
      while (true) {
        const unsigned char c = static_cast<unsigned char>(buffer[want]);
        if (c == '"' || c == '\\' || c < 0x20) break;
        ++want;
      }
      for (std::size_t from = 0; from <= want; from += 1 + random() % 5) {
        ASSERT_EQ(from + plain_run(buffer.data() + from), want) << n << " from " << from;
      }
    }
  }
}

}  // namespace
}  // namespace verdane::runtime_input::text_scan
