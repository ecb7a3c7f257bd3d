// Bytes read from a stream, held in one block of memory that grows without
// being cleared: every byte it is given room for is written by a read before
// it counts, so clearing it first (as std::string::resize does) would only
// cost a pass over memory per read.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string_view>
#include <utility>

namespace verdane::pipeline {

class ReadBuffer {
 public:
  ReadBuffer() = default;
  ReadBuffer(ReadBuffer&& other) noexcept
      : data_(std::exchange(other.data_, nullptr)),
        size_(std::exchange(other.size_, 0)),
        capacity_(std::exchange(other.capacity_, 0)) {}
  // What this buffer held goes with `other`.
  ReadBuffer& operator=(ReadBuffer&& other) noexcept {
    std::swap(data_, other.data_);
    std::swap(size_, other.size_);
    std::swap(capacity_, other.capacity_);
    return *this;
  }
  ReadBuffer(const ReadBuffer&) = delete;
  ReadBuffer& operator=(const ReadBuffer&) = delete;
  ~ReadBuffer() { std::free(data_); }

  const char* data() const { return data_; }
  std::size_t size() const { return size_; }
  bool empty() const { return size_ == 0; }
  std::string_view view() const { return {data_, size_}; }
  operator std::string_view() const { return view(); }

  // Room for `n` more bytes past the end, for a read to fill; they count
  // only once committed.
  char* room(std::size_t n) {
    if (capacity_ - size_ < n) grow(n);
    return data_ + size_;
  }
  // Counts `n` bytes written into the room as part of the text.
  void commit(std::size_t n) { size_ += n; }
  // Keeps the first `n` bytes (n <= size()).
  void truncate(std::size_t n) { size_ = n; }
  void assign(std::string_view text) {
    size_ = 0;
    if (text.empty()) return;
    std::memcpy(room(text.size()), text.data(), text.size());
    size_ = text.size();
  }

 private:
  void grow(std::size_t more) {
    constexpr std::size_t kMost = PTRDIFF_MAX;
    if (more > kMost - size_) throw std::bad_alloc();
    const std::size_t need = size_ + more;
    const std::size_t capacity = capacity_ > kMost / 2 ? need : std::max(need, 2 * capacity_);
    void* data = std::realloc(data_, capacity);
    if (data == nullptr) throw std::bad_alloc();
    data_ = static_cast<char*>(data);
    capacity_ = capacity;
  }

  char* data_ = nullptr;
  std::size_t size_ = 0;
  std::size_t capacity_ = 0;
};

}  // namespace verdane::pipeline
