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

}  // namespace
}  // namespace testqav
