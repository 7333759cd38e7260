#include "platform/common/text.h"

#include <gtest/gtest.h>

#include <string>

namespace testqav {
namespace {

// The comparison has an ASCII shortcut; these cases are where a shortcut goes wrong.
TEST(EqualsIgnoreCaseTest, AsciiShortcutAgreesWithFolding) {
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
  EXPECT_EQ(FoldCase("Stra\u00DFe"), "stra\u00DFe");
  EXPECT_EQ(FoldCase("[Z]"), "[z]");
}

TEST(ContainsIgnoreCaseTest, AsciiSearchAgreesWithFoldedSearch) {
  EXPECT_TRUE(ContainsIgnoreCase("SMTP:Ann@Litware.test", "ann@LITWARE"));
  EXPECT_TRUE(ContainsIgnoreCase("abc", ""));
  EXPECT_FALSE(ContainsIgnoreCase("", "a"));
  EXPECT_FALSE(ContainsIgnoreCase("ab", "abc"));
  EXPECT_TRUE(ContainsIgnoreCase("aaab", "AAB"));  // a false start just before the match
  EXPECT_FALSE(ContainsIgnoreCase("[x]", "{X}"));
  EXPECT_TRUE(ContainsIgnoreCase("\u212Aelvin", "KEL"));
}

// Letter case is ignored, spelling is not: each character folds to one character (Unicode
// simple folding), so "straße" and "strasse", two mailboxes, stay two texts. Every
// comparison that ignores case, with or without its ASCII shortcut, must say the same.
TEST(FoldCaseTest, SimpleFoldingIgnoresLetterCaseNotSpelling) {
  struct Pair {
    const char* a;
    const char* b;
    bool same;
  };
  const Pair pairs[] = {
      {"stra\u00DFe", "strasse", false},
      {"STRASSE", "strasse", true},
      {"STRA\u1E9EE", "stra\u00DFe", true},  // capital sharp s
      {"STRA\u1E9EE", "STRASSE", false},
      {"gro\u00DF", "GROSS", false},
      {"\uFB03x", "ffix", false},  // the ligature ffi is one letter
      {"\u01C5", "\u01C6", true},  // Dz, dz and DZ with caron
      {"\u01C4", "\u01C6", true},
      {"\u01C5", "\u01C4", true},
      {"\u212A", "k", true},  // KELVIN SIGN
      {"\u212Aelvin", "KELVIN", true},
      {"\u017Fun", "SUN", true},                           // LONG S
      {"\u03A3\u0391\u03A3", "\u03C3\u03B1\u03C2", true},  // final sigma
  };
  for (const Pair& p : pairs) {
    const std::string a = p.a, b = p.b;
    EXPECT_EQ(FoldCase(a) == FoldCase(b), p.same) << a << " / " << b;
    EXPECT_EQ(EqualsIgnoreCase(a, b), p.same) << a << " / " << b;
    EXPECT_EQ(EqualsIgnoreCase(b, a), p.same) << a << " / " << b;
    EXPECT_EQ(EqualsIgnoreCase("x@" + a, "X@" + b), p.same) << a << " / " << b;
    EXPECT_EQ(ContainsIgnoreCase("<" + a + ">", b), p.same) << a << " / " << b;
    EXPECT_EQ(StartsWithIgnoreCase(a + "@x", b), p.same) << a << " / " << b;
    EXPECT_EQ(ContainsElementIgnoreCase("x;" + a + ";y", b, ';'), p.same) << a << " / " << b;
  }
  // Lower casing (the original's LCase) is not folding and keeps its own rules.
  EXPECT_EQ(LowerCase("STRA\u1E9EE"), "stra\u00DFe");
  EXPECT_EQ(LowerCase("\u03A3\u0391\u03A3"), "\u03C3\u03B1\u03C2");
  EXPECT_EQ(FoldCase("\u03A3\u0391\u03A3"), "\u03C3\u03B1\u03C3");
  // Ill-formed UTF-8 folds to the replacement character, the rest as usual.
  EXPECT_EQ(FoldCase("A\xFF\u00C4"), "a\uFFFD\u00E4");
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
