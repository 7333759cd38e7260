#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "engine/qav.h"
#include "support/test_runtime.h"

namespace testqav {
namespace {

class ValueHelpersTest : public ::testing::Test {
 protected:
  testing::TestRuntime t;
  // The engine's construction needs a session only for its folders and helper; without one it
  // logs and carries on, which is all these pure helpers need.
  QAV& engine() {
    if (!engine_) engine_ = std::make_unique<QAV>(t.rt);
    return *engine_;
  }
  std::unique_ptr<QAV> engine_;
};

TEST_F(ValueHelpersTest, EncodeAndDecodeWildcards) {
  QAV& q = engine();
  EXPECT_EQ(q.EncodeWildcards("50%_off"), "50#25#95off");
  EXPECT_EQ(q.DecodeWildcards("50#25#95off"), "50%_off");
  EXPECT_EQ(q.EncodeWildcards("tom#25x@x.com"), "tom#2325x@x.com");
  // A text that already holds an encoded form (never encoded) decodes to the plain
  // character; any other "#" is left as it is.
  EXPECT_EQ(q.DecodeWildcards("#25"), "%");
  EXPECT_EQ(q.DecodeWildcards("a#b#2#9#"), "a#b#2#9#");
  // Every text comes back as it was (so two texts are never stored alike), whatever "#",
  // codes and wildcards it holds, also where pieces join into a code ("#2" + "5"), and no
  // wildcard character is left in the stored form.
  const std::vector<std::string> pieces = {"",  "#", "#2", "#23", "#25", "#95", "%",
                                           "_", "2", "5",  "3",   "9",   "x",   "#9"};
  for (const std::string& a : pieces) {
    for (const std::string& b : pieces) {
      for (const std::string& c : pieces) {
        const std::string text = a + b + c;
        const std::string encoded = q.EncodeWildcards(text);
        EXPECT_EQ(q.DecodeWildcards(encoded), text) << encoded;
        EXPECT_EQ(encoded.find_first_of("%_"), std::string::npos) << encoded;
      }
    }
  }
}

TEST_F(ValueHelpersTest, QuoteFilterValue) {
  QAV& q = engine();
  EXPECT_EQ(q.QuoteFilterValue(Variant("''''")), "");
  EXPECT_EQ(q.QuoteFilterValue(Variant("O'Brien")), "O''Brien");
  EXPECT_EQ(q.QuoteFilterValue(Variant("O''Brien")), "O''Brien");
  EXPECT_EQ(q.QuoteFilterValue(Variant("a''''b")), "a''b");
  EXPECT_EQ(q.QuoteFilterValue(Variant("'wrapped'")), "wrapped");
  EXPECT_EQ(q.QuoteFilterValue(Variant("a_b%")), "a#95b#25");
  EXPECT_EQ(q.QuoteFilterValue(Variant::Null()), "");
  // Encoded as stored values are, and then no character of the value is a wildcard.
  EXPECT_EQ(q.QuoteFilterValue(Variant("tom#25x")), "tom#2325x");
  EXPECT_EQ(q.QuoteFilterValue(Variant("*ner@x.com")), "[*]ner@x.com");
  EXPECT_EQ(q.QuoteFilterValue(Variant("a[b]*")), "a[[]b][*]");
  EXPECT_EQ(q.QuoteFilterValue(Variant("'*o'neil*'")), "[*]o''neil[*]");
  // Appended to a filter being written, every one of them reads the same.
  for (const char* text : {"''''", "O'Brien", "O''Brien", "a''''b", "'wrapped'", "a_b%", "",
                           "tom#25x", "*ner@x.com", "a[b]*", "'*o'neil*'", "plain@x.com", "'"}) {
    std::string appended = "<";
    q.AppendQuotedFilterValue(appended, text);
    EXPECT_EQ(appended, "<" + q.QuoteFilterValue(Variant(text))) << text;
  }
  EXPECT_EQ(q.BuildEmailFilter("*x@y.com", "", ";*x@y.com;a[1]@y.com;", ""),
            "[SMTP] LIKE '[*]x@y.com' OR [Proxies] Like '*;[*]x@y.com;*' OR "
            "[Proxies] Like '*;a[[]1]@y.com;*'");
}

TEST_F(ValueHelpersTest, BuildEmailFilter) {
  QAV& q = engine();
  EXPECT_EQ(q.BuildEmailFilter("", "", "", ""), "");
  EXPECT_EQ(q.BuildEmailFilter("", "", ";;", ""), "");
  EXPECT_EQ(q.BuildEmailFilter("S", "", "", ""), "[SMTP] LIKE 'S'");
  EXPECT_EQ(q.BuildEmailFilter("S", "", ";P1;P2;", ""),
            "[SMTP] LIKE 'S' OR [Proxies] Like '*;P1;*' OR [Proxies] Like '*;P2;*'");
  EXPECT_EQ(q.BuildEmailFilter("", "/o=x/cn=o'neil", "", ""), "[ODN] LIKE '/o=x/cn=o''neil'");
  EXPECT_EQ(q.BuildEmailFilter("a_b@x.com", "", "", ";/o=x/cn=y;"),
            "[SMTP] LIKE 'a#95b@x.com' OR [X500Proxies] Like '*;/o=x/cn=y;*'");
}

TEST_F(ValueHelpersTest, BuildEmailFilterStopsWhenAsked) {
  QAV& q = engine();
  t.host.stop = true;
  EXPECT_EQ(q.BuildEmailFilter("s@x.com", "", ";p@x.com;", ""), "");
}

TEST_F(ValueHelpersTest, GetEmailValues) {
  std::string filter, list;
  engine().GetEmailValues({Variant(), Variant("A@X.COM"), Variant("/o=x/cn=y"), Variant("abc")},
                          filter, list);
  EXPECT_EQ(list, "a@x.com;/o=x/cn=y;abc");
  EXPECT_EQ(filter,
            "SMTP LIKE 'a@x.com' OR Proxies Like '*;a@x.com;*' OR ODN LIKE '/o=x/cn=y' OR "
            "X500Proxies Like '*;/o=x/cn=y;*'");
}

TEST_F(ValueHelpersTest, ShapeTests) {
  QAV& q = engine();
  EXPECT_TRUE(q.IsEmailAddress(Variant("@.")));
  EXPECT_FALSE(q.IsEmailAddress(Variant(".@")));
  EXPECT_FALSE(q.IsEmailAddress(Variant("no-at.example")));
  EXPECT_TRUE(q.IsODN(Variant("/O=ORG/OU=SITE/CN=RECIPIENTS/CN=JSMITH")));
  EXPECT_FALSE(q.IsODN(Variant("jsmith@example.com")));
  EXPECT_TRUE(q.IsNullMarker("<NULL>"));
  EXPECT_EQ(q.NullToEmpty(Variant("NULL")), "");
  EXPECT_EQ(q.NullToEmpty(Variant("null")), "null");
  EXPECT_EQ(q.NullToEmpty(Variant("  x  ")), "x");
  EXPECT_EQ(q.StrToHex("AB"), "4142");
  EXPECT_EQ(q.StrToHex(""), "");
}

TEST_F(ValueHelpersTest, GetTypedValue) {
  QAV& q = engine();
  EXPECT_EQ(q.GetTypedValue(Variant::Null(), 0), Variant(""));
  EXPECT_EQ(q.GetTypedValue(Variant("  x "), 0), Variant("x"));
  EXPECT_EQ(q.GetTypedValue(Variant::Integer(12), 4), Variant::Integer(0));
  EXPECT_EQ(q.GetTypedValue(Variant::Long(12), 4), Variant::Long(12));
  EXPECT_EQ(q.GetTypedValue(Variant::Long(12), 1), Variant::Integer(0));
  EXPECT_EQ(q.GetTypedValue(Variant::Bytes({1, 171, 255}), 3), Variant("01ABFF"));
  EXPECT_EQ(q.GetTypedValue(Variant("x"), 3), Variant(""));
  EXPECT_EQ(q.GetTypedValue(Variant("True"), 5), Variant::Boolean(false));
  EXPECT_EQ(q.GetTypedValue(Variant::Boolean(true), 5), Variant::Boolean(true));
  EXPECT_EQ(q.GetTypedValue(Variant("x"), 2), Variant::Date(0));
  EXPECT_TRUE(q.GetTypedValue(Variant("x"), 9).IsEmpty());
}

}  // namespace
}  // namespace testqav
