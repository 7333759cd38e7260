// The one UTF-8 rule and the one hexadecimal codec that the run log, the directory, the
// mailbox store and the address book share.
#include <gtest/gtest.h>

#include <string>

#include "platform/common/hex.h"
#include "platform/common/utf8.h"

namespace testqav {
namespace {

TEST(Utf8, WellFormedTextIsAcceptedWithItsSequenceLengths) {
  struct Case {
    std::string text;
    size_t first_length;
  };
  const Case cases[] = {
      {"a", 1},
      {"\xC3\xA9", 2},          // U+00E9
      {"\xDF\xBF", 2},          // U+07FF, the last two-byte value
      {"\xE0\xA0\x80", 3},      // U+0800, the first three-byte value
      {"\xE2\x82\xAC", 3},      // U+20AC
      {"\xED\x9F\xBF", 3},      // U+D7FF, just below the surrogates
      {"\xEE\x80\x80", 3},      // U+E000, just above them
      {"\xF0\x90\x80\x80", 4},  // U+10000
      {"\xF4\x8F\xBF\xBF", 4},  // U+10FFFF, the last value
      {"x\xC3\xA9y\xF0\x9F\x98\x80", 1},
  };
  for (const Case& c : cases) {
    EXPECT_TRUE(IsValidUtf8(c.text)) << c.text;
    EXPECT_EQ(Utf8SequenceLength(c.text), c.first_length) << c.text;
  }
  EXPECT_TRUE(IsValidUtf8(""));
  EXPECT_EQ(Utf8SequenceLength(""), 0u);
}

TEST(Utf8, OverlongSurrogateOutOfRangeAndBrokenSequencesAreRejected) {
  const char* const kMustReject[] = {
      "\xC0\x80",                  // overlong U+0000
      "\xC1\xBF",                  // overlong U+007F
      "\xE0\x80\xAF",              // overlong '/'
      "\xE0\x9F\xBF",              // overlong U+07FF
      "\xF0\x80\x80\x80",          // overlong U+0000
      "\xF0\x8F\xBF\xBF",          // overlong U+FFFF
      "\xED\xA0\x80",              // U+D800, a surrogate
      "\xED\xBF\xBF",              // U+DFFF
      "\xED\xA0\xBD\xED\xB8\x80",  // a surrogate pair written as two sequences (CESU-8)
      "\xF4\x90\x80\x80",          // U+110000
      "\xF5\x80\x80\x80",          // no lead byte beyond F4
      "\xFF",
      "\x80",  // a continuation byte alone
      "\xC3",  // cut short
      "\xE2\x82",
      "\xF0\x9F\x98",
      "\xC3\x28",  // not followed by a continuation byte
  };
  for (const char* text : kMustReject) {
    EXPECT_FALSE(IsValidUtf8(text)) << testing::PrintToString(std::string(text));
    EXPECT_FALSE(IsValidUtf8(std::string("ok ") + text + " ok"))
        << testing::PrintToString(std::string(text));
    EXPECT_EQ(Utf8SequenceLength(text), 0u) << testing::PrintToString(std::string(text));
  }
}

TEST(Hex, EveryByteRoundTripsInEitherCase) {
  std::string all;
  for (int b = 0; b < 256; ++b) all.push_back(static_cast<char>(b));
  const std::string hex = HexUpper(all);
  ASSERT_EQ(hex.size(), 512u);
  EXPECT_EQ(hex.substr(0, 8), "00010203");
  EXPECT_EQ(hex.substr(504), "FCFDFEFF");
  std::string back = "left over";
  ASSERT_TRUE(DecodeHex(hex, &back));
  EXPECT_EQ(back, all);
  std::string lower = hex;
  for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  ASSERT_TRUE(DecodeHex(lower, &back));
  EXPECT_EQ(back, all);
  EXPECT_EQ(HexUpper(""), "");
  ASSERT_TRUE(DecodeHex("", &back));
  EXPECT_EQ(back, "");
}

TEST(Hex, OddLengthsAndOtherCharactersAreRejected) {
  for (const char* text : {"0", "ABC", "0G", "g0", " 0", "0 ", "0x", "+1", "\xC3\xA9"}) {
    std::string bytes;
    EXPECT_FALSE(DecodeHex(text, &bytes)) << text;
  }
  EXPECT_EQ(HexDigitValue('/'), -1);
  EXPECT_EQ(HexDigitValue(':'), -1);
  EXPECT_EQ(HexDigitValue('@'), -1);
  EXPECT_EQ(HexDigitValue('G'), -1);
  EXPECT_EQ(HexDigitValue('`'), -1);
  EXPECT_EQ(HexDigitValue('g'), -1);
  EXPECT_EQ(HexDigitValue('f'), 15);
  EXPECT_EQ(HexDigitValue('A'), 10);
}

}  // namespace
}  // namespace testqav
