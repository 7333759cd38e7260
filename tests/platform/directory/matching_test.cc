#include "platform/directory/matching.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

namespace testqav {
namespace {

// The on-the-fly comparison must agree with normalising and comparing, for every rule and
// for the texts where blank folding, case and validity decide.
TEST(NormalizedEqualsTest, AgreesWithNormalizeValue) {
  const auto schema = Schema::Builtin();
  const std::vector<MatchKind> kinds = {MatchKind::kCaseIgnore,       MatchKind::kCaseExact,
                                        MatchKind::kCaseIgnoreIA5,    MatchKind::kCaseExactIA5,
                                        MatchKind::kTelephoneNumber,  MatchKind::kInteger,
                                        MatchKind::kDistinguishedName};
  const std::vector<std::string> pieces = {" ", " ", "a", "A",        "b",        "Z",    "1",
                                           "-", "=", ",", "\xC3\xA9", "\xC3\x89", "\xFF", "cn"};
  std::mt19937 rng(7);
  auto random_text = [&] {
    std::string s;
    for (int n = static_cast<int>(rng() % 7); n > 0; --n) s += pieces[rng() % pieces.size()];
    return s;
  };
  int equal_cases = 0;
  for (int i = 0; i < 40000; ++i) {
    const MatchKind kind = kinds[rng() % kinds.size()];
    const std::string value = random_text();
    // Half the assertions are the normalised form of a related text, so that equal cases
    // are common; the rest are any text (normalised forms or not).
    std::string assertion;
    if (rng() % 2 == 0) {
      std::string other = rng() % 2 == 0 ? value : random_text();
      if (!other.empty() && rng() % 3 == 0) other[rng() % other.size()] ^= 0x20;
      assertion = NormalizeValue(kind, other, *schema).value_or(other);
    } else {
      assertion = random_text();
    }
    const std::optional<std::string> n = NormalizeValue(kind, value, *schema);
    const bool expected = n && *n == assertion;
    equal_cases += expected ? 1 : 0;
    ASSERT_EQ(NormalizedEquals(kind, value, assertion, *schema), expected)
        << "kind " << static_cast<int>(kind) << " value \"" << value << "\" assertion \""
        << assertion << "\"";
  }
  EXPECT_GT(equal_cases, 3000);
}

TEST(NormalizedEqualsTest, BlankAndEmptyValues) {
  const auto schema = Schema::Builtin();
  EXPECT_TRUE(NormalizedEquals(MatchKind::kCaseIgnore, "  Ann   Lee ", "ann lee", *schema));
  EXPECT_FALSE(NormalizedEquals(MatchKind::kCaseIgnore, "AnnLee", "ann lee", *schema));
  EXPECT_FALSE(NormalizedEquals(MatchKind::kCaseExact, "Ann Lee", "ann lee", *schema));
  EXPECT_TRUE(NormalizedEquals(MatchKind::kCaseIgnore, "   ", " ", *schema));
  EXPECT_FALSE(NormalizedEquals(MatchKind::kCaseIgnore, "", "", *schema));
  EXPECT_TRUE(NormalizedEquals(MatchKind::kCaseIgnoreIA5, "", "", *schema));
  EXPECT_FALSE(NormalizedEquals(MatchKind::kCaseIgnore, "ann", "ann ", *schema));
}

}  // namespace
}  // namespace testqav
