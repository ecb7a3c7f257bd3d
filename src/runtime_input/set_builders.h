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
#include <string>
#include <string_view>
#include <vector>

#include "types/arena.h"
#include "types/model.h"
#include "types/value_view.h"

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
  void append(std::string_view text) { append(text, nullptr); }
  std::size_t size() const { return count_; }
  bool empty() const { return count_ == 0; }

  // The whole string whose bytes start at `data`, for a view handed out by
  // for_each: its length is stored just in front of it.
  static std::string_view string_at(const char* data) {
    std::uint32_t length;
    std::memcpy(&length, data - sizeof length, sizeof length);
    return {data, length};
  }

  // Calls `f(std::string_view)` for every string, in the order appended.
  template <typename F>
  void for_each(F&& f) const {
    for (const Block& block : blocks_) {
      for (std::size_t at = 0; at < block.used;) at = visit(block, at, f);
    }
  }

 private:
  friend class StringSetBuilder;

  struct FreeBytes {
    void operator()(char* p) const;
  };
  struct Block {
    std::unique_ptr<char[], FreeBytes> bytes;
    std::size_t used = 0;
    std::size_t capacity = 0;
  };
  // Blocks emptied by drain, for appends to take before allocating.
  using Pool = std::vector<Block>;

  void append(std::string_view text, Pool* pool);
  Block new_block(std::size_t need, Pool* pool) const;

  // for_each, but hands each block to `pool` once its strings have been
  // visited, leaving this object empty. Views handed to `f` die with their
  // block's contents.
  template <typename F>
  void drain(F&& f, Pool& pool) {
    for (Block& block : blocks_) {
      for (std::size_t at = 0; at < block.used;) at = visit(block, at, f);
      block.used = 0;
      pool.push_back(std::move(block));
    }
    *this = PackedStrings{};
  }

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

// The elements of one set<string> as they are read: the first few as
// strings (a set of a request's size needs nothing more), the rest packed.
class StringSetBuilder {
 public:
  void add(std::string_view element);
  std::size_t size() const { return few_.size() + elements_.size(); }

  // The set of every element added, repeated ones collapsed; leaves the
  // builder empty. The packed elements are freed while the strings are made,
  // so the two are never both held in full.
  types::StringSet build();

 private:
  std::vector<std::string> few_;  // all of them while there are few
  PackedStrings elements_;        // all of them once there are many
};

// The elements of one set<int> as they are read, in a buffer that grows
// without copying where the system allows (realloc of large blocks remaps
// their pages).
class IntSetBuilder {
 public:
  IntSetBuilder() = default;
  IntSetBuilder(IntSetBuilder&& other) noexcept;
  IntSetBuilder& operator=(IntSetBuilder&& other) noexcept;
  IntSetBuilder(const IntSetBuilder&) = delete;
  IntSetBuilder& operator=(const IntSetBuilder&) = delete;
  ~IntSetBuilder();

  void add(std::int64_t element) {
    if (size_ == capacity_) grow();
    data_[size_++] = element;
  }
  std::size_t size() const { return size_; }

  // The set of every element added, repeated ones collapsed; leaves the
  // builder empty.
  types::IntSet build();
  // The same as a view whose elements `arena` keeps.
  types::ValueView build(types::Arena& arena);

 private:
  void grow();

  std::int64_t* data_ = nullptr;
  std::size_t size_ = 0;
  std::size_t capacity_ = 0;
};

// The elements of one set<string> as they are read, as spans of one
// buffer: the buffer the parser decodes texts in, when it keeps them there
// (`base`, parsed in place), or else copies of them packed back to back.
// Either way no element becomes a string of its own.
class TextSetBuilder {
 public:
  // `base`: where every element added lies, or nullptr when elements pass
  // by only for the call and are copied.
  explicit TextSetBuilder(const char* base) : base_(base) {}
  TextSetBuilder(TextSetBuilder&& other) noexcept;
  TextSetBuilder& operator=(TextSetBuilder&& other) noexcept;
  TextSetBuilder(const TextSetBuilder&) = delete;
  TextSetBuilder& operator=(const TextSetBuilder&) = delete;
  ~TextSetBuilder();

  void add(std::string_view element) {
    // Inline for the common case: a span of the buffer parsed in place.
    if (base_ && size_ < capacity_) {
      spans_[size_++] = {static_cast<std::uint32_t>(element.data() - base_),
                         static_cast<std::uint32_t>(element.size())};
      return;
    }
    add_slowly(element);
  }
  std::size_t size() const { return size_; }

  // The set of every element added, sorted by bytes, repeated ones
  // collapsed, kept by `arena`; leaves the builder empty.
  types::ValueView build(types::Arena& arena);

 private:
  static constexpr std::size_t kInline = 8;  // a request's few elements

  void add_slowly(std::string_view element);
  void grow();

  const char* base_;
  types::TextSpan inline_[kInline];
  types::TextSpan* spans_ = inline_;  // inline_, or from malloc grown by realloc
  std::size_t size_ = 0;
  std::size_t capacity_ = kInline;
  char* bytes_ = nullptr;  // the copies, when there is no base
  std::size_t bytes_used_ = 0;
  std::size_t bytes_capacity_ = 0;
};

}  // namespace verdane::runtime_input
