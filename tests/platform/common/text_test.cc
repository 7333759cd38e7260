#include "platform/common/text.h"

#include <gtest/gtest.h>

namespace testqav {
namespace {

// The comparison has an ASCII shortcut; these cases are where a shortcut goes wrong.
TEST(EqualsIgnoreCaseTest, AsciiShortcutAgreesWithFullFolding) {
  EXPECT_TRUE(EqualsIgnoreCase("proxyAddresses", "PROXYaddresses"));
  EXPECT_TRUE(EqualsIgnoreCase("", ""));
  EXPECT_FALSE(EqualsIgnoreCase("mail", "mails"));
  EXPECT_FALSE(EqualsIgnoreCase("mails", "mail"));
  EXPECT_FALSE(EqualsIgnoreCase("mail", ""));
  EXPECT_FALSE(EqualsIgnoreCase("[", "{"));  // 0x5B and 0x7B differ by the case bit only
  EXPECT_FALSE(EqualsIgnoreCase("@", "`"));
  // Characters outside ASCII that fold onto ASCII letters, at the start, after an equal
  // ASCII prefix, and where the byte lengths differ.
  EXPECT_TRUE(EqualsIgnoreCase("k", "\u212A"));  // KELVIN SIGN
  EXPECT_TRUE(EqualsIgnoreCase("ak", "A\u212A"));
  EXPECT_TRUE(EqualsIgnoreCase("STRASSE", "stra\u00DFe"));  // sharp s folds to "ss"
  EXPECT_TRUE(EqualsIgnoreCase("\u00C4rger", "\u00E4RGER"));
  EXPECT_FALSE(EqualsIgnoreCase("\u00C4rger", "Arger"));
  EXPECT_FALSE(EqualsIgnoreCase("abc\u00E9", "abc"));
}

// Lower-casing and folding copy ASCII text in one pass and hand the rest to the Unicode
// rules: a non-ASCII byte anywhere, first or last, must take the slow path.
TEST(LowerCaseTest, AsciiPassHandsOverAtTheFirstOtherCharacter) {
  EXPECT_EQ(LowerCase("Ann.Smith@Litware.TEST"), "ann.smith@litware.test");
  EXPECT_EQ(LowerCase(""), "");
  EXPECT_EQ(LowerCase("\u00C4RGER"), "\u00E4rger");
  EXPECT_EQ(LowerCase("ARGER\u00C4"), "arger\u00E4");
  EXPECT_EQ(FoldCase("STRASSE"), "strasse");
  EXPECT_EQ(FoldCase("Stra\u00DFe"), "strasse");
  EXPECT_EQ(FoldCase("[Z]"), "[z]");
}

TEST(ContainsIgnoreCaseTest, AsciiSearchAgreesWithFoldedSearch) {
  EXPECT_TRUE(ContainsIgnoreCase("SMTP:Ann@Litware.test", "ann@LITWARE"));
  EXPECT_TRUE(ContainsIgnoreCase("abc", ""));
  EXPECT_FALSE(ContainsIgnoreCase("", "a"));
  EXPECT_FALSE(ContainsIgnoreCase("ab", "abc"));
  EXPECT_TRUE(ContainsIgnoreCase("aaab", "AAB"));  // a false start just before the match
  EXPECT_FALSE(ContainsIgnoreCase("[x]", "{X}"));
  EXPECT_TRUE(ContainsIgnoreCase("gro\u00DF", "SS"));
}

// The element test must answer exactly as searching ";element;" in ";list;" does.
TEST(ContainsElementIgnoreCaseTest, AgreesWithSearchingTheDelimitedTexts) {
  const char* lists[] = {"",     ";",      "a",    "a;b;c",  ";a;b;c;",  "ab;c",     "x;A;B;y",
                         "a;;b", "abc;ab", "c;ab", "a@b.c;", "\u00C4;b", "b;a\u212A"};
  const char* elements[] = {"a", "A", "b", "ab", "a;b", "", "c", "x;a", "a@b.c", "\u00E4", "ak"};
  for (const char* list : lists) {
    for (const char* element : elements) {
      const bool expected =
          ContainsIgnoreCase(";" + std::string(list) + ";", ";" + std::string(element) + ";");
      EXPECT_EQ(ContainsElementIgnoreCase(list, element, ';'), expected)
          << "list \"" << list << "\" element \"" << element << "\"";
    }
  }
}

}  // namespace
}  // namespace testqav
