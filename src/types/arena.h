// A monotonic arena: memory handed out in order from a few large chunks and
// given back all at once when the arena is destroyed or reset.
//
// Loaded requests keep their decoded texts, set elements and slot arrays
// here, so a request costs a few allocations however many values it holds.
// Chunks never move, so pointers into them stay valid when the arena itself
// is moved; they die with the arena.
#pragma once

#include <cstddef>
#include <cstring>
#include <string_view>

namespace verdane::types {

class Arena {
 public:
  // `first_chunk`: the size of the first chunk, taken on the first request.
  explicit Arena(std::size_t first_chunk = 1024) : next_chunk_(first_chunk) {}
  Arena(Arena&& other) noexcept;
  Arena& operator=(Arena&& other) noexcept;
  Arena(const Arena&) = delete;
  Arena& operator=(const Arena&) = delete;
  ~Arena();

  // `size` bytes aligned to `align` (a power of two up to 16). Zero bytes
  // from an arena with no chunk come back as a null pointer.
  void* allocate(std::size_t size, std::size_t align) {
    const std::size_t at = (used_ + align - 1) & ~(align - 1);
    if (at + size > capacity_) return allocate_in_new_chunk(size, align);
    used_ = at + size;
    return current_ + at;
  }

  template <typename T>
  T* allocate_array(std::size_t count) {
    return static_cast<T*>(allocate(count * sizeof(T), alignof(T)));
  }

  // A copy of `text` kept by the arena.
  std::string_view copy(std::string_view text) {
    if (text.empty()) return {};
    char* out = static_cast<char*>(allocate(text.size(), 1));
    std::memcpy(out, text.data(), text.size());
    return {out, text.size()};
  }

  // Takes over `block`, which std::malloc or std::realloc returned, and
  // frees it with the arena.
  void adopt(void* block);

  // Gives back everything handed out, as if the arena were new, but keeps
  // its current chunk for what comes next when that chunk is small: one
  // request after another then costs no allocation at all. Every pointer
  // into the arena dies here.
  void reset();

 private:
  // Every block the arena frees: its chunks and adopted blocks, each with a
  // header in front (chunks) or a node of its own in the arena (adopted).
  struct Block {
    void* memory;
    Block* next;
  };
  void* allocate_in_new_chunk(std::size_t size, std::size_t align);
  // Adds `memory` to the list in `block` (room the arena holds).
  void link(void* memory, void* block);
  void release();

  char* current_ = nullptr;
  std::size_t used_ = 0;
  std::size_t capacity_ = 0;
  std::size_t next_chunk_;
  Block* blocks_ = nullptr;
};

}  // namespace verdane::types
