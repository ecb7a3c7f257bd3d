// The arena under random use: allocations of every size (in the current
// chunk, in new ones, in chunks of their own), adopted blocks and resets in
// any order. Every live allocation is filled with its own byte pattern and
// must keep it until the next reset, so no two overlap and a reset hands
// out nothing still in use; ASan's leak check sees every block freed.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <random>
#include <vector>

#include "types/arena.h"

namespace verdane::types {
namespace {

struct Live {
  unsigned char* at;
  std::size_t size;
  unsigned char fill;
};

bool intact(const Live& l) {
  for (std::size_t i = 0; i < l.size; ++i)
    if (l.at[i] != l.fill) return false;
  return true;
}

TEST(Arena, AllocationsKeepTheirBytesUntilTheArenaIsReset) {
  std::mt19937 random(7);
  for (int round = 0; round < 40; ++round) {
    Arena arena(round % 2 == 0 ? 1024 : 64);
    std::vector<Live> live;
    for (int step = 0; step < 400; ++step) {
      const unsigned what = random() % 100;
      if (what < 3) {
        for (const Live& l : live) ASSERT_TRUE(intact(l)) << "round " << round;
        arena.reset();
        live.clear();
        continue;
      }
      std::size_t size = 0;
      void* at = nullptr;
      if (what < 8) {
        size = 1 + random() % 4096;
        at = std::malloc(size);
        ASSERT_NE(at, nullptr);
        arena.adopt(at);
      } else {
        const unsigned shape = random() % 20;
        size = shape == 0   ? (16 << 10) + random() % (80 << 10)  // a chunk of its own
               : shape == 1 ? 0
                            : random() % 600;
        const std::size_t align = std::size_t{1} << (random() % 5);
        at = arena.allocate(size, align);
        ASSERT_EQ(reinterpret_cast<std::uintptr_t>(at) % align, 0u);
      }
      const auto fill = static_cast<unsigned char>(random());
      if (size != 0) std::memset(at, fill, size);  // zero bytes may come back as null
      live.push_back({static_cast<unsigned char*>(at), size, fill});
    }
    for (const Live& l : live) ASSERT_TRUE(intact(l)) << "round " << round;
    // A moved arena keeps what it handed out.
    Arena moved(std::move(arena));
    for (const Live& l : live) ASSERT_TRUE(intact(l)) << "round " << round;
  }
}

}  // namespace
}  // namespace verdane::types
