#include "support/utf8.h"

#include <cstring>

namespace verdane::utf8 {

namespace {

bool is_cont(unsigned char b) { return (b & 0xC0) == 0x80; }

// Checks one character at `i`. Returns its length when valid, otherwise
// fills `err_len` (0 meaning the input ended inside the character).
std::size_t check_char(std::string_view s, std::size_t i, std::size_t& err_len) {
  const auto at = [&](std::size_t k) { return static_cast<unsigned char>(s[k]); };
  const unsigned char b0 = at(i);
  if (b0 < 0x80) return 1;
  std::size_t need;
  unsigned char lo = 0x80, hi = 0xBF;  // allowed range of the second byte
  if (b0 >= 0xC2 && b0 <= 0xDF) {
    need = 2;
  } else if (b0 >= 0xE0 && b0 <= 0xEF) {
    need = 3;
    if (b0 == 0xE0) lo = 0xA0;  // no overlong forms
    if (b0 == 0xED) hi = 0x9F;  // no surrogates
  } else if (b0 >= 0xF0 && b0 <= 0xF4) {
    need = 4;
    if (b0 == 0xF0) lo = 0x90;  // no overlong forms
    if (b0 == 0xF4) hi = 0x8F;  // nothing above U+10FFFF
  } else {
    err_len = 1;
    return 0;
  }
  for (std::size_t k = 1; k < need; ++k) {
    if (i + k >= s.size()) {
      err_len = 0;
      return 0;
    }
    const unsigned char b = at(i + k);
    const bool good = (k == 1) ? (b >= lo && b <= hi) : is_cont(b);
    if (!good) {
      err_len = k;
      return 0;
    }
  }
  return need;
}

}  // namespace

std::optional<Utf8Error> validate(std::string_view bytes) {
  // Templates and JSON texts are almost all ASCII: test eight bytes at a time
  // for a set high bit before looking at single characters.
  constexpr std::uint64_t kHighBits = 0x8080808080808080ULL;
  std::size_t i = 0;
  while (i < bytes.size()) {
    // Long ASCII runs, as in large documents, 32 bytes a step.
    if (i + 32 <= bytes.size()) {
      std::uint64_t words[4];
      std::memcpy(words, bytes.data() + i, sizeof words);
      if (((words[0] | words[1] | words[2] | words[3]) & kHighBits) == 0) {
        i += 32;
        continue;
      }
    }
    if (i + 8 <= bytes.size()) {
      std::uint64_t word;
      std::memcpy(&word, bytes.data() + i, sizeof word);
      if ((word & kHighBits) == 0) {
        i += 8;
        continue;
      }
    }
    if (static_cast<unsigned char>(bytes[i]) < 0x80) {
      ++i;
      continue;
    }
    std::size_t err_len = 0;
    const std::size_t n = check_char(bytes, i, err_len);
    if (n == 0) {
      Utf8Error e;
      e.valid_up_to = i;
      if (err_len != 0) e.error_len = err_len;
      return e;
    }
    i += n;
  }
  return std::nullopt;
}

std::string to_lossy(std::string_view bytes) {
  std::string out;
  out.reserve(bytes.size());
  std::size_t i = 0;
  while (i < bytes.size()) {
    std::size_t err_len = 0;
    const std::size_t n = check_char(bytes, i, err_len);
    if (n != 0) {
      out.append(bytes.substr(i, n));
      i += n;
      continue;
    }
    out.append("\xEF\xBF\xBD");
    i += (err_len == 0) ? bytes.size() - i : err_len;
  }
  return out;
}

std::size_t char_len(unsigned char lead) {
  if (lead >= 0xF0 && lead <= 0xF4) return 4;
  if (lead >= 0xE0 && lead <= 0xEF) return 3;
  if (lead >= 0xC2 && lead <= 0xDF) return 2;
  return 1;
}

char32_t decode_at(std::string_view text, std::size_t offset) {
  const auto b = [&](std::size_t k) {
    return static_cast<char32_t>(static_cast<unsigned char>(text[offset + k]));
  };
  switch (char_len(static_cast<unsigned char>(text[offset]))) {
    case 2:
      return ((b(0) & 0x1F) << 6) | (b(1) & 0x3F);
    case 3:
      return ((b(0) & 0x0F) << 12) | ((b(1) & 0x3F) << 6) | (b(2) & 0x3F);
    case 4:
      return ((b(0) & 0x07) << 18) | ((b(1) & 0x3F) << 12) | ((b(2) & 0x3F) << 6) | (b(3) & 0x3F);
    default:
      return b(0);
  }
}

void append(std::string& out, char32_t c) {
  if (c < 0x80) {
    out.push_back(static_cast<char>(c));
  } else if (c < 0x800) {
    out.push_back(static_cast<char>(0xC0 | (c >> 6)));
    out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
  } else if (c < 0x10000) {
    out.push_back(static_cast<char>(0xE0 | (c >> 12)));
    out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
  } else {
    out.push_back(static_cast<char>(0xF0 | (c >> 18)));
    out.push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
  }
}

std::size_t prefix_length(std::string_view text, std::size_t limit) {
  if (text.size() <= limit) return text.size();
  std::size_t n = limit;
  while (n > 0 && is_cont(static_cast<unsigned char>(text[n]))) --n;
  return n;
}

}  // namespace verdane::utf8
