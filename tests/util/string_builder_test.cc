#include "util/string_builder.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <limits>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

namespace testqav {
namespace {

constexpr int32_t kObjectErrorBase = static_cast<int32_t>(0x80040000u);

// Runs `call`, expecting a StringListError with exactly these fields.
void ExpectListError(const std::function<void()>& call, int32_t number, const char* source,
                     const char* description) {
  try {
    call();
    ADD_FAILURE() << "no error raised; expected " << description;
  } catch (const StringListError& e) {
    EXPECT_EQ(e.number(), number);
    EXPECT_EQ(e.source(), source);
    EXPECT_EQ(e.description(), description);
    EXPECT_STREQ(e.what(), description);
  }
}

TEST(StringBuilderTest, NewListIsEmptyAndUnallocated) {
  StringBuilder sb;
  EXPECT_EQ(sb.lCount(), 0);
  EXPECT_EQ(sb.lCapacity(), 0);
  EXPECT_EQ(sb.lGrowthRate(), 50);
  EXPECT_EQ(sb.GetContent(), "");
}

TEST(StringBuilderTest, ErrorNumbersAreTheObjectErrorBasePlusOffsets) {
  EXPECT_EQ(StringListError::kGrowthRateNumber, kObjectErrorBase + 1000);
  EXPECT_EQ(StringListError::kIndexNumber, kObjectErrorBase + 1002);
  EXPECT_EQ(StringListError::kInitialCapacityNumber, kObjectErrorBase + 1003);
  EXPECT_EQ(StringListError::kGrowthRateNumber, -2147220504);
  EXPECT_LT(StringListError::kIndexNumber, 0);
}

TEST(StringBuilderTest, FirstAddAllocatesFiftyAndTheFiftyFirstGrowsByFifty) {
  StringBuilder sb;
  sb.Add("t0");
  EXPECT_EQ(sb.lCapacity(), 50);
  EXPECT_EQ(sb.lCount(), 1);
  for (int i = 1; i < 50; ++i) sb.Add("t" + std::to_string(i));
  EXPECT_EQ(sb.lCount(), 50);
  EXPECT_EQ(sb.lCapacity(), 50);  // full, but not grown before it is needed
  sb.Add("t50");
  EXPECT_EQ(sb.lCount(), 51);
  EXPECT_EQ(sb.lCapacity(), 100);
  std::string expected;
  for (int i = 0; i < 51; ++i) {
    EXPECT_EQ(sb.Item(i), "t" + std::to_string(i));
    expected += "t" + std::to_string(i);
  }
  EXPECT_EQ(sb.GetContent(), expected);
}

TEST(StringBuilderTest, GetContentJoinsInOrderWithoutSeparator) {
  StringBuilder sb;
  sb.Add("a");
  sb.Add("b");
  sb.Add("c");
  EXPECT_EQ(sb.GetContent(), "abc");
  // Empty texts count as items but add nothing to the content.
  sb.Add("");
  EXPECT_EQ(sb.lCount(), 4);
  EXPECT_EQ(sb.Item(3), "");
  EXPECT_EQ(sb.GetContent(), "abc");
}

TEST(StringBuilderTest, TextsAreKeptByteForByte) {
  StringBuilder sb;
  const std::string with_nul("x\0y", 3);
  sb.Add(with_nul);
  sb.Add("Grüße\r\n");
  EXPECT_EQ(sb.Item(0), with_nul);
  EXPECT_EQ(sb.GetContent(), with_nul + "Grüße\r\n");
}

TEST(StringBuilderTest, InitialCapacityCountsOnlyBeforeTheFirstAdd) {
  StringBuilder sb;
  sb.SetInitialCapacity(10);
  EXPECT_EQ(sb.lCapacity(), 0);  // nothing allocated yet
  sb.Add("x");
  EXPECT_EQ(sb.lCapacity(), 10);
  sb.SetInitialCapacity(3);  // ignored now
  EXPECT_EQ(sb.lCapacity(), 10);
  // Ignored after allocation even for an invalid value: no error.
  EXPECT_NO_THROW(sb.SetInitialCapacity(0));
  EXPECT_NO_THROW(sb.SetInitialCapacity(-7));
  for (int i = 1; i < 10; ++i) sb.Add("x");
  EXPECT_EQ(sb.lCapacity(), 10);
  sb.Add("x");
  EXPECT_EQ(sb.lCapacity(), 60);
}

TEST(StringBuilderTest, InitialCapacityBelowOneRaisesAndKeepsTheOldValue) {
  StringBuilder sb;
  sb.SetInitialCapacity(7);
  for (int32_t bad : {0, -1, std::numeric_limits<int32_t>::min()}) {
    ExpectListError([&] { sb.SetInitialCapacity(bad); }, StringListError::kInitialCapacityNumber,
                    "GLArrayList->SetInitialCapacity",
                    "The Initial Capacity must greater than zero.");
  }
  sb.Add("x");
  EXPECT_EQ(sb.lCapacity(), 7);
}

TEST(StringBuilderTest, InitialCapacityOfOneGrowsOnTheSecondAdd) {
  StringBuilder sb;
  sb.SetInitialCapacity(1);
  sb.lGrowthRate(2);
  sb.Add("a");
  EXPECT_EQ(sb.lCapacity(), 1);
  sb.Add("b");
  EXPECT_EQ(sb.lCapacity(), 3);
  sb.Add("c");
  EXPECT_EQ(sb.lCapacity(), 3);
  sb.Add("d");
  EXPECT_EQ(sb.lCapacity(), 5);
  EXPECT_EQ(sb.GetContent(), "abcd");
}

TEST(StringBuilderTest, GrowthRateBelowOneRaisesAndKeepsTheOldRate) {
  StringBuilder sb;
  sb.lGrowthRate(5);
  EXPECT_EQ(sb.lGrowthRate(), 5);
  for (int32_t bad : {0, -1, std::numeric_limits<int32_t>::min()}) {
    ExpectListError([&] { sb.lGrowthRate(bad); }, StringListError::kGrowthRateNumber,
                    "GLStringList->Let_lGrowthRate", "The Growth Rate must be greater than zero");
    EXPECT_EQ(sb.lGrowthRate(), 5);
  }
  sb.lGrowthRate(1);
  EXPECT_EQ(sb.lGrowthRate(), 1);
}

TEST(StringBuilderTest, GrowthRateChangeAppliesToTheNextGrowth) {
  StringBuilder sb;
  sb.SetInitialCapacity(2);
  sb.Add("a");
  sb.Add("b");
  sb.lGrowthRate(3);
  sb.Add("c");
  EXPECT_EQ(sb.lCapacity(), 5);
  sb.lGrowthRate(1);
  sb.Add("d");
  sb.Add("e");
  EXPECT_EQ(sb.lCapacity(), 5);
  sb.Add("f");
  EXPECT_EQ(sb.lCapacity(), 6);
  EXPECT_EQ(sb.GetContent(), "abcdef");
}

TEST(StringBuilderTest, ItemOutsideTheAddedTextsRaises) {
  StringBuilder sb;
  const char* kSource = "GLStringList->Item";
  const char* kText = "Index out of bounds";
  ExpectListError([&] { (void)sb.Item(0); }, StringListError::kIndexNumber, kSource, kText);
  sb.Add("a");
  sb.Add("b");
  EXPECT_EQ(sb.Item(0), "a");
  EXPECT_EQ(sb.Item(1), "b");
  // Index equal to the count: the slot exists (capacity 50) but holds no added text.
  ExpectListError([&] { (void)sb.Item(2); }, StringListError::kIndexNumber, kSource, kText);
  ExpectListError([&] { (void)sb.Item(-1); }, StringListError::kIndexNumber, kSource, kText);
  ExpectListError([&] { (void)sb.Item(49); }, StringListError::kIndexNumber, kSource, kText);
  ExpectListError([&] { (void)sb.Item(std::numeric_limits<int32_t>::max()); },
                  StringListError::kIndexNumber, kSource, kText);
  ExpectListError([&] { (void)sb.Item(std::numeric_limits<int32_t>::min()); },
                  StringListError::kIndexNumber, kSource, kText);
}

TEST(StringBuilderTest, CapacityThatWouldPassTheLimitRaisesOverflowAndKeepsTheList) {
  StringBuilder sb;
  sb.SetInitialCapacity(2);
  sb.lGrowthRate(std::numeric_limits<int32_t>::max());
  sb.Add("a");
  sb.Add("b");
  EXPECT_THROW(sb.Add("c"), std::overflow_error);
  EXPECT_EQ(sb.lCount(), 2);
  EXPECT_EQ(sb.lCapacity(), 2);
  EXPECT_EQ(sb.GetContent(), "ab");
  // A sane rate lets the list go on.
  sb.lGrowthRate(1);
  sb.Add("c");
  EXPECT_EQ(sb.GetContent(), "abc");
}

// Random sequences of operations against a plain model of the rules: a vector of the added
// texts and the capacity arithmetic written out directly.
TEST(StringBuilderTest, RandomOperationsMatchAPlainModel) {
  std::mt19937 rng(20240611);
  for (int round = 0; round < 200; ++round) {
    StringBuilder sb;
    std::vector<std::string> texts;
    int32_t capacity = 0;
    int32_t rate = 50;
    int32_t initial = 50;
    for (int step = 0; step < 300; ++step) {
      const int op = static_cast<int>(rng() % 10);
      if (op < 6) {
        std::string t(rng() % 4, static_cast<char>('a' + rng() % 26));
        sb.Add(t);
        if (capacity == 0) capacity = initial;
        if (static_cast<int32_t>(texts.size()) + 1 > capacity) capacity += rate;
        texts.push_back(t);
      } else if (op == 6) {
        const auto r = static_cast<int32_t>(rng() % 8) - 1;
        if (r < 1) {
          EXPECT_THROW(sb.lGrowthRate(r), StringListError);
        } else {
          sb.lGrowthRate(r);
          rate = r;
        }
      } else if (op == 7) {
        const auto c = static_cast<int32_t>(rng() % 6) - 1;
        if (capacity > 0) {
          EXPECT_NO_THROW(sb.SetInitialCapacity(c));
        } else if (c < 1) {
          EXPECT_THROW(sb.SetInitialCapacity(c), StringListError);
        } else {
          sb.SetInitialCapacity(c);
          initial = c;
        }
      } else {
        const auto i = static_cast<int32_t>(rng() % (texts.size() + 3)) - 1;
        if (i >= 0 && i < static_cast<int32_t>(texts.size())) {
          ASSERT_EQ(sb.Item(i), texts[static_cast<size_t>(i)]);
        } else {
          EXPECT_THROW((void)sb.Item(i), StringListError);
        }
      }
      ASSERT_EQ(sb.lCount(), static_cast<int32_t>(texts.size()));
      ASSERT_EQ(sb.lCapacity(), capacity);
      ASSERT_EQ(sb.lGrowthRate(), rate);
    }
    std::string joined;
    for (const auto& t : texts) joined += t;
    ASSERT_EQ(sb.GetContent(), joined);
  }
}

}  // namespace
}  // namespace testqav
