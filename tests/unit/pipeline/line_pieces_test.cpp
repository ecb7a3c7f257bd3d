// Cutting a stream into pieces of whole lines, against the text itself: for
// random texts read in reads of random sizes, the pieces joined must give
// the text back, each must end at a line feed (but a last line without
// one), and each must know the number of its first line. Lines shorter and
// longer than a piece, and reads that stop anywhere, cover the boundaries.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <random>
#include <string>
#include <string_view>

#include "pipeline/line_pieces.h"

namespace verdane::pipeline {
namespace {

// Hands out `text` in reads of random sizes (some of them short, as from a
// pipe), then fails once if asked to.
struct Stream {
  std::string_view text;
  std::mt19937& random;
  bool fail_at_end = false;
  std::size_t at = 0;

  Result<std::size_t, std::string> read(char* out, std::size_t n) {
    if (at == text.size() && fail_at_end) {
      fail_at_end = false;
      return make_err(std::string("read failed"));
    }
    std::size_t take = std::min(n, text.size() - at);
    if (take > 1 && random() % 2 == 0) take = 1 + random() % take;
    std::copy_n(text.data() + at, take, out);
    at += take;
    return take;
  }
};

std::string random_text(std::mt19937& random) {
  std::string text;
  const std::size_t lines = random() % 40;
  for (std::size_t i = 0; i < lines; ++i) {
    const unsigned shape = random() % 16;
    const std::size_t length = shape == 0   ? kPieceBytes + random() % kPieceBytes  // longer
                               : shape == 1 ? 0
                                            : random() % 20000;
    text.append(length, static_cast<char>('a' + random() % 26));
    text += '\n';
  }
  if (random() % 2 == 0) text.append(random() % 300, 'z');  // no line feed at the end
  return text;
}

TEST(LinePieces, JoinedPiecesAreTheTextCutAtLineFeeds) {
  std::mt19937 random(25);
  for (int round = 0; round < 60; ++round) {
    const std::string text = random_text(random);
    Stream stream{text, random};
    LinePieces<Stream> pieces(stream);
    std::string joined;
    std::uint64_t line = 1;
    bool torn_seen = false;
    for (;;) {
      auto piece = pieces.next();
      ASSERT_TRUE(piece) << piece.error();
      if (!*piece) break;
      const LinePiece& p = **piece;
      ASSERT_FALSE(torn_seen) << "a piece after the torn one";
      ASSERT_FALSE(p.text.empty());
      EXPECT_EQ(p.first_line, line);
      const std::string_view t = p.text;
      if (p.torn) {
        torn_seen = true;
        EXPECT_EQ(t.find('\n'), std::string_view::npos);
        ++line;
      } else {
        EXPECT_EQ(t.back(), '\n');
        line += static_cast<std::uint64_t>(std::count(t.begin(), t.end(), '\n'));
      }
      joined += t;
    }
    EXPECT_EQ(joined, text) << "round " << round;
    EXPECT_EQ(torn_seen, !text.empty() && text.back() != '\n');
    auto after = pieces.next();
    ASSERT_TRUE(after);
    EXPECT_FALSE(*after) << "the end is the end";
  }
}

TEST(LinePieces, AReadErrorIsTheErrorOfThePieceBeingRead) {
  std::mt19937 random(29);
  const std::string text = "one\ntwo\n";
  Stream stream{text, random, true};
  LinePieces<Stream> pieces(stream);
  std::string joined;
  for (;;) {
    auto piece = pieces.next();
    if (!piece) {
      EXPECT_EQ(piece.error(), "read failed");
      break;
    }
    ASSERT_TRUE(*piece) << "the error must come before the end";
    joined += std::string_view((*piece)->text);
  }
  EXPECT_TRUE(std::string_view(text).starts_with(joined));
}

}  // namespace
}  // namespace verdane::pipeline
