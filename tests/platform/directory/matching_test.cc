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

// Generalized times compare as the instants they name: any zone, any precision, a fraction
// of the last unit given; what RFC 4517 refuses is Undefined (no normal form).
TEST(MatchingTest, GeneralizedTimesCompareAsInstants) {
  const auto schema = Schema::Builtin();
  auto normal = [&](const char* t) {
    std::optional<std::string> n = NormalizeValue(MatchKind::kGeneralizedTime, t, *schema);
    EXPECT_TRUE(n) << t;
    return n.value_or("");
  };
  const std::vector<std::vector<const char*>> same = {
      {"20210301110000Z", "20210301110000.0Z", "20210301120000+0100", "202103011100Z",
       "2021030111Z", "20210301063000-0430", "20210301110000,000Z"},
      {"2021030110.5Z", "20210301103000Z", "202103011030.00Z"},
      {"202103011030.25Z", "20210301103015Z"},
      {"20000229235959.9+0000", "20000229235959.90Z"},
  };
  for (const auto& group : same) {
    for (const char* t : group) EXPECT_EQ(normal(t), normal(group[0])) << t;
  }
  const std::vector<const char*> ascending = {
      "00000101000000+2359", "19991231235959Z",   "20201231235959.9Z", "20210101000000Z",
      "20210301110000.05Z",  "20210301110000.5Z", "20210301110001Z",   "99991231235959Z"};
  for (size_t i = 1; i < ascending.size(); ++i) {
    EXPECT_EQ(CompareNormalized(MatchKind::kGeneralizedTime, normal(ascending[i - 1]),
                                normal(ascending[i])),
              -1)
        << ascending[i - 1] << " < " << ascending[i];
  }
  for (const char* bad :
       {"21000229000000Z", "20210431000000Z", "20211301000000Z", "20210301240000Z",
        "20210301116000Z", "2021030111", "20210301110000.Z", "20210301110000+24",
        "20210301110000+0160", "2021-03-01", "2021Z", "20210301110000Zx", ""}) {
    EXPECT_FALSE(NormalizeValue(MatchKind::kGeneralizedTime, bad, *schema)) << bad;
  }
}

}  // namespace
}  // namespace testqav
