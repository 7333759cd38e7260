#include "platform/addressbook/sharded_text_map.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace testqav {
namespace {

TEST(ShardedTextMapTest, KeepsTheFirstValueForAKey) {
  ShardedTextMap<int> map;
  EXPECT_FALSE(map.Find("a").has_value());
  EXPECT_EQ(map.Emplace("a", 1), 1);
  EXPECT_EQ(map.Emplace("a", 2), 1);
  EXPECT_EQ(map.Find("a"), 1);
  // Keys differ by letter case, as the caller gives them.
  EXPECT_EQ(map.Emplace("A", 3), 3);
  EXPECT_EQ(map.size(), 2u);
}

// Two threads keep values for the same keys, in opposite orders and at once: for every key
// both must be handed the same value (the one kept first), and nothing may be lost.
TEST(ShardedTextMapTest, BothThreadsGetTheValueKeptFirst) {
  constexpr int kKeys = 50000;
  ShardedTextMap<int> map;
  std::vector<int> got_a(kKeys);
  std::vector<int> got_b(kKeys);
  std::thread a([&] {
    for (int i = 0; i < kKeys; ++i) got_a[i] = map.Emplace("key " + std::to_string(i), i);
  });
  // A reader meanwhile: a key, once found, keeps its value while the tables grow under it.
  std::vector<int> seen(kKeys, 0);
  bool changed = false;
  std::thread reader([&] {
    for (int round = 0; round < 3; ++round) {
      for (int i = 0; i < kKeys; i += 7) {
        std::optional<int> v = map.Find("key " + std::to_string(i));
        if (!v) continue;
        if (seen[i] != 0 && seen[i] != *v + kKeys + 1) changed = true;
        seen[i] = *v + kKeys + 1;
      }
    }
  });
  std::thread b([&] {
    for (int i = kKeys - 1; i >= 0; --i) {
      got_b[i] = map.Emplace("key " + std::to_string(i), -i - 1);
    }
  });
  a.join();
  b.join();
  reader.join();
  EXPECT_FALSE(changed);
  EXPECT_EQ(map.size(), size_t{kKeys});
  for (int i = 0; i < kKeys; ++i) {
    ASSERT_EQ(got_a[i], got_b[i]) << i;
    ASSERT_TRUE(got_a[i] == i || got_a[i] == -i - 1) << i;
    ASSERT_EQ(map.Find("key " + std::to_string(i)), got_a[i]) << i;
    if (seen[i] != 0) {
      ASSERT_EQ(seen[i], got_a[i] + kKeys + 1) << i;
    }
  }
}

}  // namespace
}  // namespace testqav
