// Collecting the elements of large sets while a document is read, and
// turning them into sorted sets afterwards.
//
// A set of a million strings held as std::string costs about 80 bytes per
// element, and sorting such a vector chases one heap pointer per comparison,
// in an order unrelated to where the strings live. StringSetBuilder instead
// packs the elements into large blocks while the document is read, sorts them
// there once it is read, and only then creates the strings, in ascending
// order, so that they also lie in memory in that order.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string_view>
#include <vector>

#include "types/model.h"

namespace verdane::runtime_input {

// Byte strings packed back to back into large blocks, each preceded by its
// length. Appending never moves what is already stored.
class PackedStrings {
 public:
  PackedStrings() = default;
  PackedStrings(PackedStrings&&) noexcept = default;
  PackedStrings& operator=(PackedStrings&&) noexcept = default;

  // Appends a copy of `text`, which must be shorter than 4 GiB (as every
  // string the JSON parser hands out is).
  void append(std::string_view text);
  std::size_t size() const { return count_; }
  bool empty() const { return count_ == 0; }

  // Calls `f(std::string_view)` for every string, in the order appended.
  template <typename F>
  void for_each(F&& f) const {
    for (const Block& block : blocks_) {
      for (std::size_t at = 0; at < block.used;) at = visit(block, at, f);
    }
  }
  // The same, but frees each block as soon as its strings have been visited
  // and leaves this object empty. Views handed to `f` die with their block.
  template <typename F>
  void drain(F&& f) {
    for (Block& block : blocks_) {
      for (std::size_t at = 0; at < block.used;) at = visit(block, at, f);
      block = Block{};
    }
    *this = PackedStrings{};
  }

 private:
  struct Block {
    std::unique_ptr<char[]> bytes;
    std::size_t used = 0;
    std::size_t capacity = 0;
  };

  template <typename F>
  static std::size_t visit(const Block& block, std::size_t at, F& f) {
    std::uint32_t length;
    std::memcpy(&length, block.bytes.get() + at, sizeof length);
    at += sizeof length;
    f(std::string_view(block.bytes.get() + at, length));
    return at + length;
  }

  std::vector<Block> blocks_;
  std::size_t count_ = 0;
};

// The elements of one set<string> as they are read.
class StringSetBuilder {
 public:
  void add(std::string_view element) { elements_.append(element); }
  std::size_t size() const { return elements_.size(); }

  // The set of every element added, repeated ones collapsed; leaves the
  // builder empty. The packed elements are freed while the strings are made,
  // so the two are never both held in full.
  types::StringSet build();

 private:
  PackedStrings elements_;
};

}  // namespace verdane::runtime_input
