// A stream cut into pieces of whole lines, for deciding line by line on
// several threads.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "pipeline/read_buffer.h"
#include "support/result.h"

namespace verdane::pipeline {

// A stream is read this much at a time; a piece is what one read gives, so
// it holds about this much text (or one longer line).
inline constexpr std::size_t kPieceBytes = std::size_t{256} << 10;

struct LinePiece {
  std::uint64_t first_line = 1;  // number of the first line of `text`
  ReadBuffer text;               // whole lines, each ending in a line feed...
  bool torn = false;             // ...but the one line of a piece where the stream ends inside it
};

// `Stream` has `Result<std::size_t, std::string> read(char*, std::size_t)`:
// the number of bytes read, 0 at the end, or the io error text.
template <typename Stream>
class LinePieces {
 public:
  explicit LinePieces(Stream& stream) : stream_(stream) {}

  // The next piece; nullopt at the end of the stream; the stream's error text.
  Result<std::optional<LinePiece>, std::string> next() {
    if (ended_) return std::optional<LinePiece>();
    LinePiece piece;
    piece.first_line = line_;
    piece.text.room(carry_.size() + kPieceBytes);
    piece.text.assign(carry_);
    carry_.truncate(0);
    for (;;) {
      char* const room = piece.text.room(kPieceBytes);
      auto n = stream_.read(room, kPieceBytes);
      if (!n) return make_err(std::move(n).error());
      if (*n == 0) break;
      piece.text.commit(*n);
      // The carried start of a line holds no line feed, so none found in
      // what was just read means that no line has ended yet: a line longer
      // than what was read so far.
      const void* last = memrchr(room, '\n', *n);
      if (last == nullptr) continue;
      const std::size_t end =
          static_cast<std::size_t>(static_cast<const char*>(last) + 1 - piece.text.data());
      carry_.assign(piece.text.view().substr(end));
      piece.text.truncate(end);
      count_lines(piece.text);
      return std::optional<LinePiece>(std::move(piece));
    }
    // The stream ended: what is left is its last line, without a line feed.
    ended_ = true;
    if (piece.text.empty()) return std::optional<LinePiece>();
    piece.torn = true;
    ++line_;
    return std::optional<LinePiece>(std::move(piece));
  }

 private:
  // Line feeds are a few hundred bytes apart: memchr's wide steps cost a
  // tenth of a byte-by-byte count.
  void count_lines(std::string_view text) {
    const char* at = text.data();
    const char* const end = at + text.size();
    while (const void* found = std::memchr(at, '\n', static_cast<std::size_t>(end - at))) {
      ++line_;
      at = static_cast<const char*>(found) + 1;
    }
  }

  Stream& stream_;
  ReadBuffer carry_;  // the start of a line not yet ended
  std::uint64_t line_ = 1;
  bool ended_ = false;
};

}  // namespace verdane::pipeline
