// Word-at-a-time scans of a small JSON text, for the one-pass loader: the
// checks it makes before parsing fused into the copy it parses, and the
// skip over the plain bytes of a string while parsing.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

namespace verdane::runtime_input::text_scan {

// Readable bytes a buffer holds past the NUL that ends its text, so that a
// word may be read wherever that text has a byte.
inline constexpr std::size_t kWordPadding = 8;

inline constexpr std::uint64_t kOnes = 0x0101010101010101ull;
inline constexpr std::uint64_t kHigh = 0x8080808080808080ull;

// The high bit of each byte of `w` that is zero. Borrows only run upwards
// from a byte flagged itself, so the lowest flag is exact (higher ones may
// be spurious).
constexpr std::uint64_t zero_bytes(std::uint64_t w) { return (w - kOnes) & ~w & kHigh; }
// The same for each byte below 0x20 (a control character).
constexpr std::uint64_t control_bytes(std::uint64_t w) { return (w - kOnes * 0x20) & ~w & kHigh; }
// The same for each byte equal to `c`.
constexpr std::uint64_t bytes_equal(std::uint64_t w, unsigned char c) {
  return zero_bytes(w ^ (kOnes * c));
}

inline std::uint64_t load_word(const char* p) {
  std::uint64_t w;
  std::memcpy(&w, p, sizeof w);
  return w;
}

// The offset from `p` of the first byte that ends the plain run of a string
// in little-endian words: a quote, a backslash or a control character. `p`
// must lead to one, with kWordPadding readable bytes after it.
inline std::size_t plain_run(const char* p) {
  for (std::size_t at = 0;; at += sizeof(std::uint64_t)) {
    const std::uint64_t w = load_word(p + at);
    const std::uint64_t hit = control_bytes(w) | bytes_equal(w, '"') | bytes_equal(w, '\\');
    if (hit != 0) return at + static_cast<std::size_t>(std::countr_zero(hit)) / 8;
  }
}

// What the checks before parsing need to know of a text.
struct TextFacts {
  bool high = false;       // a byte of 0x80 or more: its UTF-8 needs checking
  bool nul = false;        // a NUL byte, which ends the parser's input
  bool backslash = false;  // an escape, maybe a \u one
};

// Copies `text` to `out` and tells what it holds, sixteen bytes at a time
// (the compiler's vectors: SSE2 on x86-64, plain words elsewhere). `out` has
// room for text.size() bytes.
inline TextFacts copy_and_scan(std::string_view text, char* out) {
  using Bytes = unsigned char __attribute__((vector_size(16)));
  const char* in = text.data();
  const std::size_t n = text.size();
  if (n < sizeof(Bytes)) {
    TextFacts facts;
    for (std::size_t at = 0; at < n; ++at) {
      const unsigned char c = static_cast<unsigned char>(in[at]);
      out[at] = in[at];
      facts.high |= c >= 0x80;
      facts.nul |= c == 0;
      facts.backslash |= c == '\\';
    }
    return facts;
  }
  Bytes any{};   // every byte or-ed: its high bits
  Bytes nul{};   // all ones where a NUL byte was
  Bytes back{};  // all ones where a backslash was
  const auto take = [&](std::size_t at) {
    Bytes v;
    std::memcpy(&v, in + at, sizeof v);
    std::memcpy(out + at, &v, sizeof v);
    any |= v;
    nul |= reinterpret_cast<Bytes>(v == 0);
    back |= reinterpret_cast<Bytes>(v == '\\');
  };
  std::size_t at = 0;
  for (; at + sizeof(Bytes) <= n; at += sizeof(Bytes)) take(at);
  // The last block overlaps the one before: its bytes are checked twice,
  // which changes nothing.
  if (at != n) take(n - sizeof(Bytes));
  const auto some = [](Bytes v, std::uint64_t bits) {
    std::uint64_t halves[2];
    std::memcpy(halves, &v, sizeof v);
    return ((halves[0] | halves[1]) & bits) != 0;
  };
  return TextFacts{some(any, kHigh), some(nul, kHigh), some(back, kHigh)};
}

}  // namespace verdane::runtime_input::text_scan
