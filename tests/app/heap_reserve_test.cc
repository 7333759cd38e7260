// The program's heap (jemalloc taking its memory from the region that a thread faults in
// ahead): what is stored stays as stored, calloc's memory is zero, and blocks grow in place
// or move with their contents, from two threads at once, well past the stretch faulted in
// ahead.
#include "app/heap_reserve.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <random>
#include <thread>
#include <vector>

namespace testqav {
namespace {

struct Block {
  unsigned char* data;
  size_t size;
  unsigned char fill;
};

bool Holds(const Block& b) {
  for (size_t i = 0; i < b.size; ++i) {
    if (b.data[i] != static_cast<unsigned char>(b.fill + i % 251)) return false;
  }
  return true;
}

void Fill(Block& b) {
  for (size_t i = 0; i < b.size; ++i) b.data[i] = static_cast<unsigned char>(b.fill + i % 251);
}

// Allocates, fills, frees and grows blocks of every size class until `total` bytes went
// through; counts the blocks found changed and the calloc blocks found not zero.
void Churn(uint32_t seed, size_t total, int& changed, int& not_zero) {
  std::mt19937 random(seed);
  std::vector<Block> kept;
  size_t allocated = 0;
  while (allocated < total) {
    const int kind = static_cast<int>(random() % 100);
    size_t size = kind < 70   ? 1 + random() % 512
                  : kind < 95 ? 512 + random() % (256 << 10)
                              : (1 << 20) + random() % (12 << 20);
    allocated += size;
    if (kind % 7 == 0) {
      auto* p = static_cast<unsigned char*>(std::calloc(size, 1));
      for (size_t i = 0; i < size; i += 61) {
        if (p[i] != 0) {
          ++not_zero;
          break;
        }
      }
      std::free(p);
      continue;
    }
    Block b{static_cast<unsigned char*>(std::malloc(size)), size,
            static_cast<unsigned char>(random())};
    Fill(b);
    kept.push_back(b);
    if (kept.size() > 64 && random() % 3 == 0) {
      // A block far back grows: in place where the space after it is free, moved otherwise.
      Block& old = kept[random() % kept.size()];
      if (!Holds(old)) ++changed;
      const size_t grown = old.size * 2 + 4096;
      old.data = static_cast<unsigned char*>(std::realloc(old.data, grown));
      if (!Holds(old)) ++changed;
      old.size = grown;
      Fill(old);
      allocated += grown;
    }
    if (kept.size() > 400) {
      const size_t i = random() % kept.size();
      if (!Holds(kept[i])) ++changed;
      std::free(kept[i].data);
      kept[i] = kept.back();
      kept.pop_back();
    }
  }
  for (Block& b : kept) {
    if (!Holds(b)) ++changed;
    std::free(b.data);
  }
}

TEST(HeapReserve, TwoThreadsStoreAndGrowBlocksWellPastTheStretchFaultedInAhead) {
  const std::optional<HeapReserveUse> before = HeapReserveInUse();
  if (!before) GTEST_SKIP() << "this build's heap has no reserve";
  int changed[2] = {0, 0};
  int not_zero[2] = {0, 0};
  const size_t total = size_t{768} << 20;
  std::thread other([&] { Churn(2, total, changed[1], not_zero[1]); });
  Churn(1, total, changed[0], not_zero[0]);
  other.join();
  EXPECT_EQ(changed[0] + changed[1], 0);
  EXPECT_EQ(not_zero[0] + not_zero[1], 0);
  const std::optional<HeapReserveUse> after = HeapReserveInUse();
  ASSERT_TRUE(after.has_value());
  // The blocks came from the region, which grew well past what is faulted in ahead.
  EXPECT_GT(after->handed_out, before->handed_out + (size_t{64} << 20));
}

}  // namespace
}  // namespace testqav
