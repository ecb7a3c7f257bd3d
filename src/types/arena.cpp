#include "types/arena.h"

#include <algorithm>
#include <cstdlib>
#include <new>
#include <utility>

namespace verdane::types {

namespace {

// Requests of this size or more get a chunk of their own, so that the
// current chunk's free room is not thrown away for them.
constexpr std::size_t kOwnChunk = std::size_t{16} << 10;
constexpr std::size_t kLargestChunk = std::size_t{1} << 20;

}  // namespace

Arena::Arena(Arena&& other) noexcept
    : current_(std::exchange(other.current_, nullptr)),
      used_(std::exchange(other.used_, 0)),
      capacity_(std::exchange(other.capacity_, 0)),
      next_chunk_(other.next_chunk_),
      blocks_(std::move(other.blocks_)) {
  other.blocks_.clear();
}

Arena& Arena::operator=(Arena&& other) noexcept {
  if (this != &other) {
    release();
    current_ = std::exchange(other.current_, nullptr);
    used_ = std::exchange(other.used_, 0);
    capacity_ = std::exchange(other.capacity_, 0);
    next_chunk_ = other.next_chunk_;
    blocks_ = std::move(other.blocks_);
    other.blocks_.clear();
  }
  return *this;
}

Arena::~Arena() { release(); }

void Arena::release() {
  for (void* block : blocks_) std::free(block);
  blocks_.clear();
  current_ = nullptr;
  used_ = capacity_ = 0;
}

void Arena::adopt(void* block) {
  if (block == nullptr) return;
  try {
    blocks_.push_back(block);
  } catch (...) {
    std::free(block);
    throw;
  }
}

void* Arena::allocate_in_new_chunk(std::size_t size, std::size_t align) {
  // malloc aligns to 16, which covers every alignment asked for here.
  if (size + align >= kOwnChunk && size + align > next_chunk_) {
    void* block = std::malloc(std::max<std::size_t>(size, 1));
    if (block == nullptr) throw std::bad_alloc();
    adopt(block);
    return block;
  }
  const std::size_t capacity = std::max(next_chunk_, size + align);
  void* chunk = std::malloc(capacity);
  if (chunk == nullptr) throw std::bad_alloc();
  adopt(chunk);
  current_ = static_cast<char*>(chunk);
  capacity_ = capacity;
  used_ = size;
  next_chunk_ = std::min(2 * capacity, std::max(kLargestChunk, capacity));
  return current_;
}

}  // namespace verdane::types
