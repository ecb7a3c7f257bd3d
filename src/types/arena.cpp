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
// A chunk starts with its list node, so that it costs no allocation besides
// its own; malloc's alignment (16) is kept for what follows.
constexpr std::size_t kHeader = 16;
// A reset keeps a chunk up to this size; a larger one was for a large
// document and is not held on to.
constexpr std::size_t kKeptChunk = std::size_t{64} << 10;

}  // namespace

Arena::Arena(Arena&& other) noexcept
    : current_(std::exchange(other.current_, nullptr)),
      used_(std::exchange(other.used_, 0)),
      capacity_(std::exchange(other.capacity_, 0)),
      next_chunk_(other.next_chunk_),
      blocks_(std::exchange(other.blocks_, nullptr)) {}

Arena& Arena::operator=(Arena&& other) noexcept {
  if (this != &other) {
    release();
    current_ = std::exchange(other.current_, nullptr);
    used_ = std::exchange(other.used_, 0);
    capacity_ = std::exchange(other.capacity_, 0);
    next_chunk_ = other.next_chunk_;
    blocks_ = std::exchange(other.blocks_, nullptr);
  }
  return *this;
}

Arena::~Arena() { release(); }

void Arena::release() {
  // A node adopted blocks use lies in a chunk linked before it, so it is
  // read before its chunk is freed; each node's successor is read before
  // its own block goes.
  for (Block* b = blocks_; b != nullptr;) {
    Block* const next = b->next;
    std::free(b->memory);
    b = next;
  }
  blocks_ = nullptr;
  current_ = nullptr;
  used_ = capacity_ = 0;
}

void Arena::reset() {
  if (current_ == nullptr || capacity_ > kKeptChunk) {
    release();
    // The next chunk is one a reset keeps.
    next_chunk_ = std::min(next_chunk_, kKeptChunk);
    return;
  }
  // The current chunk's node is at its start; every other block goes, in
  // the order release() frees them, for the same reason.
  Block* const kept = reinterpret_cast<Block*>(current_);
  for (Block* b = blocks_; b != nullptr;) {
    Block* const next = b->next;
    if (b != kept) std::free(b->memory);
    b = next;
  }
  kept->next = nullptr;
  blocks_ = kept;
  used_ = kHeader;
}

void Arena::link(void* memory, void* block) {
  Block* const node = static_cast<Block*>(block);
  node->memory = memory;
  node->next = blocks_;
  blocks_ = node;
}

void Arena::adopt(void* block) {
  if (block == nullptr) return;
  void* node;
  try {
    node = allocate(sizeof(Block), alignof(Block));
  } catch (...) {
    std::free(block);
    throw;
  }
  link(block, node);
}

void* Arena::allocate_in_new_chunk(std::size_t size, std::size_t align) {
  static_assert(sizeof(Block) <= kHeader);
  // malloc aligns to 16, which covers every alignment asked for here.
  if (size + align >= kOwnChunk && size + align > next_chunk_) {
    void* block = std::malloc(kHeader + size);
    if (block == nullptr) throw std::bad_alloc();
    link(block, block);
    return static_cast<char*>(block) + kHeader;
  }
  const std::size_t capacity = std::max(next_chunk_, kHeader + size + align);
  void* chunk = std::malloc(capacity);
  if (chunk == nullptr) throw std::bad_alloc();
  link(chunk, chunk);
  current_ = static_cast<char*>(chunk);
  capacity_ = capacity;
  used_ = kHeader + size;
  next_chunk_ = std::min(2 * capacity, std::max(kLargestChunk, capacity));
  return current_ + kHeader;
}

}  // namespace verdane::types
