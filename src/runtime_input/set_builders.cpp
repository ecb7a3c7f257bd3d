#include "runtime_input/set_builders.h"

#if __has_include(<sys/mman.h>)
#include <sys/mman.h>
#endif

#include <algorithm>
#include <array>
#include <cstdlib>
#include <new>
#include <string>
#include <utility>

#include "types/key_sort.h"

namespace verdane::runtime_input {

namespace {

// Blocks of packed strings start small, so that a short list reserves
// little (a set of a request's size costs one small allocation), and double
// up to one huge page.
constexpr std::size_t kFirstBlockBytes = std::size_t{1} << 10;
constexpr std::size_t kHugePageBytes = std::size_t{2} << 20;
// Buffers at least this large ask for huge pages.
constexpr std::size_t kHugeAdviceBytes = std::size_t{8} << 20;
// Sets smaller than this are sorted directly: the buckets and counters used
// for large sets cost more than they save there.
constexpr std::size_t kSmallSet = 1024;

// Asks for huge pages behind the whole 2 MiB pages of a buffer that has not
// been written yet. Fresh memory is otherwise mapped one 4 KiB page at a
// time, each a page fault, which costs more than anything else done with a
// large set. Only advice: where the system does not follow it nothing
// changes.
void advise_huge_pages(void* data, std::size_t size) {
#ifdef MADV_HUGEPAGE
  const auto start = reinterpret_cast<std::uintptr_t>(data);
  const std::uintptr_t begin = (start + kHugePageBytes - 1) & ~(kHugePageBytes - 1);
  const std::uintptr_t end = (start + size) & ~(kHugePageBytes - 1);
  if (end > begin) ::madvise(reinterpret_cast<void*>(begin), end - begin, MADV_HUGEPAGE);
#else
  (void)data;
  (void)size;
#endif
}

// The bytes of `text` from `from` on, the first eight of them as a big-endian
// number padded with zero bytes. Comparing two such keys orders the texts
// whenever the keys differ: a text that ends early pads with zeros, which no
// byte sorts below. Equal keys say nothing.
std::uint64_t key_at(std::string_view text, std::size_t from) {
  std::uint64_t key = 0;
  for (std::size_t i = 0; i < 8; ++i) {
    const std::size_t at = from + i;
    const unsigned char byte = at < text.size() ? static_cast<unsigned char>(text[at]) : 0;
    key = (key << 8) | byte;
  }
  return key;
}

std::size_t common_prefix(std::string_view a, std::string_view b) {
  const std::size_t n = std::min(a.size(), b.size());
  std::size_t i = 0;
  while (i < n && a[i] == b[i]) ++i;
  return i;
}

// Sorts `a[0, n)` in place. Flipping the sign bit orders signed values as
// unsigned ones.
void sort_ints(std::int64_t* a, std::size_t n) {
  types::sort_by_key_in_place(a, n, [](std::int64_t v) {
    return static_cast<std::uint64_t>(v) ^ (std::uint64_t{1} << 63);
  });
}

// A string to sort: its sort key and where it is packed; its length is read
// back only when two keys are equal.
struct Entry {
  std::uint64_t key;
  const char* data;
};

bool entry_less(const Entry& a, const Entry& b) {
  if (a.key != b.key) return a.key < b.key;
  return PackedStrings::string_at(a.data) < PackedStrings::string_at(b.data);
}

// Entries below this many are sorted by comparison: the counters of a radix
// sort cost more than they save there.
constexpr std::size_t kRadixEntries = 256;

// Sorts `entries` by key, then by the whole string where keys are equal:
// many entries by radix on the key, and then only the runs of equal keys by
// comparing strings. `scratch` is room the caller keeps across calls.
void sort_entries(std::vector<Entry>& entries, std::vector<Entry>& scratch) {
  const std::size_t n = entries.size();
  if (n < kRadixEntries) {
    std::sort(entries.begin(), entries.end(), entry_less);
    return;
  }
  scratch.resize(n);
  const Entry* sorted =
      types::sort_by_key(entries.data(), scratch.data(), n, [](const Entry& e) { return e.key; });
  if (sorted != entries.data()) std::copy(sorted, sorted + n, entries.data());
  for (std::size_t begin = 0; begin < n;) {
    std::size_t end = begin + 1;
    while (end < n && entries[end].key == entries[begin].key) ++end;
    if (end - begin > 1) std::sort(entries.begin() + begin, entries.begin() + end, entry_less);
    begin = end;
  }
}

}  // namespace

void PackedStrings::FreeBytes::operator()(char* p) const { std::free(p); }

PackedStrings::Block PackedStrings::new_block(std::size_t need, Pool* pool) const {
  if (pool && !pool->empty() && pool->back().capacity >= need) {
    Block block = std::move(pool->back());
    pool->pop_back();
    return block;
  }
  const std::size_t last = blocks_.empty() ? 0 : blocks_.back().capacity;
  const std::size_t grown = std::clamp(2 * last, kFirstBlockBytes, kHugePageBytes);
  Block block;
  block.capacity = std::max(need, grown);
  void* bytes = block.capacity == kHugePageBytes
                    ? std::aligned_alloc(kHugePageBytes, kHugePageBytes)
                    : std::malloc(block.capacity);
  if (bytes == nullptr) throw std::bad_alloc();
  if (block.capacity >= kHugePageBytes) advise_huge_pages(bytes, block.capacity);
  block.bytes.reset(static_cast<char*>(bytes));
  return block;
}

void PackedStrings::append(std::string_view text, Pool* pool) {
  const std::uint32_t length = static_cast<std::uint32_t>(text.size());
  const std::size_t need = sizeof length + text.size();
  if (blocks_.empty() || blocks_.back().capacity - blocks_.back().used < need) {
    blocks_.push_back(new_block(need, pool));
  }
  Block& block = blocks_.back();
  std::memcpy(block.bytes.get() + block.used, &length, sizeof length);
  std::memcpy(block.bytes.get() + block.used + sizeof length, text.data(), text.size());
  block.used += need;
  ++count_;
}

void StringSetBuilder::add(std::string_view element) {
  if (elements_.empty() && few_.size() + 1 < kSmallSet) {
    // Room for a request's few elements at once, rather than growing by one.
    if (few_.empty()) few_.reserve(8);
    few_.emplace_back(element);
    return;
  }
  for (const std::string& text : few_) elements_.append(text);
  std::vector<std::string>().swap(few_);
  elements_.append(element);
}

types::StringSet StringSetBuilder::build() {
  if (elements_.empty()) return types::StringSet(std::exchange(few_, {}));
  // Packed only once there are kSmallSet elements or more.
  const std::size_t total = elements_.size();

  // Bytes every element starts with: they decide nothing, so the buckets and
  // sort keys below look past them.
  std::string_view first;
  std::size_t prefix = 0;
  bool have_first = false;
  elements_.for_each([&](std::string_view text) {
    if (!have_first) {
      first = text;
      prefix = text.size();
      have_first = true;
    } else {
      prefix = std::min(prefix, common_prefix(first, text));
    }
  });

  // Distribute by the first byte after the common prefix (bucket 0 holds the
  // elements that end there and sort first). The blocks read are reused for
  // the buckets, so this takes no new memory. Buckets in ascending order are
  // then sorted and turned into strings one at a time, each freed as soon as
  // it is done.
  std::array<PackedStrings, 257> buckets;
  {
    PackedStrings::Pool pool;
    elements_.drain(
        [&](std::string_view text) {
          const std::size_t bucket =
              text.size() == prefix ? 0 : 1 + static_cast<unsigned char>(text[prefix]);
          buckets[bucket].append(text, &pool);
        },
        pool);
  }

  std::vector<std::string> sorted;
  sorted.reserve(total);
  if (total * sizeof(std::string) >= kHugeAdviceBytes) {
    advise_huge_pages(sorted.data(), total * sizeof(std::string));
  }
  // Bucket 0 holds copies of the common prefix only.
  if (!buckets[0].empty()) {
    buckets[0].for_each([&](std::string_view text) {
      if (sorted.empty()) sorted.emplace_back(text);
    });
    buckets[0] = PackedStrings{};
  }
  std::vector<Entry> entries;
  std::vector<Entry> scratch;
  for (PackedStrings& bucket : buckets) {
    if (bucket.empty()) continue;
    entries.clear();
    entries.reserve(bucket.size());
    bucket.for_each([&](std::string_view text) {
      entries.push_back({key_at(text, prefix + 1), text.data()});
    });
    sort_entries(entries, scratch);
    for (const Entry& e : entries) {
      const std::string_view text = PackedStrings::string_at(e.data);
      if (sorted.empty() || sorted.back() != text) sorted.emplace_back(text);
    }
    bucket = PackedStrings{};
  }
  return types::StringSet::from_sorted(std::move(sorted));
}

IntSetBuilder::IntSetBuilder(IntSetBuilder&& other) noexcept
    : data_(std::exchange(other.data_, nullptr)),
      size_(std::exchange(other.size_, 0)),
      capacity_(std::exchange(other.capacity_, 0)) {}

IntSetBuilder& IntSetBuilder::operator=(IntSetBuilder&& other) noexcept {
  if (this != &other) {
    std::free(data_);
    data_ = std::exchange(other.data_, nullptr);
    size_ = std::exchange(other.size_, 0);
    capacity_ = std::exchange(other.capacity_, 0);
  }
  return *this;
}

IntSetBuilder::~IntSetBuilder() { std::free(data_); }

void IntSetBuilder::grow() {
  const std::size_t capacity = capacity_ == 0 ? 1024 : 2 * capacity_;
  void* data = std::realloc(data_, capacity * sizeof *data_);
  if (data == nullptr) throw std::bad_alloc();
  data_ = static_cast<std::int64_t*>(data);
  capacity_ = capacity;
  if (capacity * sizeof *data_ >= kHugeAdviceBytes) {
    advise_huge_pages(data_, capacity * sizeof *data_);
  }
}

types::IntSet IntSetBuilder::build() {
  IntSetBuilder elements = std::move(*this);
  if (elements.size_ == 0) return {};
  if (elements.size_ < kSmallSet) {
    return types::IntSet(
        std::vector<std::int64_t>(elements.data_, elements.data_ + elements.size_));
  }
  std::int64_t* const begin = elements.data_;
  sort_ints(begin, elements.size_);
  std::int64_t* const end = std::unique(begin, begin + elements.size_);
  return types::IntSet::from_sorted(std::vector<std::int64_t>(begin, end));
}

types::ValueView IntSetBuilder::build(types::Arena& arena) {
  IntSetBuilder elements = std::move(*this);
  std::size_t n = elements.size_;
  if (n == 0) return types::ValueView::int_set({});
  std::int64_t* const sorted = std::exchange(elements.data_, nullptr);
  arena.adopt(sorted);
  // Sorted where the elements were collected: a copy would double the set's
  // memory at its peak.
  if (n < kSmallSet) {
    std::sort(sorted, sorted + n);
  } else {
    sort_ints(sorted, n);
  }
  n = static_cast<std::size_t>(std::unique(sorted, sorted + n) - sorted);
  return types::ValueView::int_set({sorted, n});
}

namespace {

// Grows a buffer of `capacity` items of `T` from malloc to hold `need`.
template <typename T>
void grow_to(T*& data, std::size_t& capacity, std::size_t need, std::size_t first) {
  if (need <= capacity) return;
  std::size_t grown = capacity == 0 ? first : 2 * capacity;
  while (grown < need) grown *= 2;
  void* moved = std::realloc(data, grown * sizeof(T));
  if (moved == nullptr) throw std::bad_alloc();
  data = static_cast<T*>(moved);
  capacity = grown;
  if (grown * sizeof(T) >= kHugeAdviceBytes) advise_huge_pages(data, grown * sizeof(T));
}

}  // namespace

TextSetBuilder::TextSetBuilder(TextSetBuilder&& other) noexcept { *this = std::move(other); }

TextSetBuilder& TextSetBuilder::operator=(TextSetBuilder&& other) noexcept {
  if (this != &other) {
    if (spans_ != inline_) std::free(spans_);
    std::free(bytes_);
    base_ = other.base_;
    if (other.spans_ == other.inline_) {
      std::copy(other.inline_, other.inline_ + other.size_, inline_);
      spans_ = inline_;
    } else {
      spans_ = other.spans_;
    }
    size_ = other.size_;
    capacity_ = other.capacity_;
    bytes_ = std::exchange(other.bytes_, nullptr);
    bytes_used_ = std::exchange(other.bytes_used_, 0);
    bytes_capacity_ = std::exchange(other.bytes_capacity_, 0);
    other.spans_ = other.inline_;
    other.size_ = 0;
    other.capacity_ = kInline;
  }
  return *this;
}

TextSetBuilder::~TextSetBuilder() {
  if (spans_ != inline_) std::free(spans_);
  std::free(bytes_);
}

void TextSetBuilder::grow() {
  if (spans_ == inline_) {
    types::TextSpan* spans = nullptr;
    std::size_t capacity = 0;
    grow_to(spans, capacity, 4 * kInline, 4 * kInline);
    std::copy(inline_, inline_ + size_, spans);
    spans_ = spans;
    capacity_ = capacity;
  } else {
    grow_to(spans_, capacity_, size_ + 1, 4 * kInline);
  }
}

void TextSetBuilder::add_slowly(std::string_view element) {
  if (size_ == capacity_) grow();
  std::size_t offset;
  if (base_) {
    offset = static_cast<std::size_t>(element.data() - base_);
  } else {
    grow_to(bytes_, bytes_capacity_, bytes_used_ + element.size(), 128);
    if (!element.empty()) std::memcpy(bytes_ + bytes_used_, element.data(), element.size());
    offset = bytes_used_;
    bytes_used_ += element.size();
  }
  spans_[size_++] = {static_cast<std::uint32_t>(offset),
                     static_cast<std::uint32_t>(element.size())};
}

types::ValueView TextSetBuilder::build(types::Arena& arena) {
  TextSetBuilder elements = std::move(*this);
  const char* base = elements.base_ ? elements.base_ : elements.bytes_;
  types::TextSpan* spans = elements.spans_;
  const std::size_t n = types::sort_unique_texts(base, spans, elements.size_);
  if (spans == elements.inline_) {
    spans = arena.allocate_array<types::TextSpan>(n);
    std::copy(elements.inline_, elements.inline_ + n, spans);
  } else {
    arena.adopt(std::exchange(elements.spans_, elements.inline_));
  }
  arena.adopt(std::exchange(elements.bytes_, nullptr));
  return types::ValueView::text_set(types::TextSetView(base, spans, n));
}

}  // namespace verdane::runtime_input
