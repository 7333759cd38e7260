// The filter parser against a table of must-accept / must-reject texts, and against
// OpenLDAP's own filter encoder on random texts (the real backend hands filters to it, so
// both must agree on what is a filter).
#include <lber.h>

#include <random>
#include <string>

#include <gtest/gtest.h>

#include "platform/common/error_codes.h"
#include "platform/directory/filter.h"

// libldap's filter encoder; exported by the library, not declared in its public headers.
extern "C" int ldap_pvt_put_filter(BerElement* ber, const char* str);

namespace testqav {
namespace {

bool LibldapAccepts(const std::string& filter) {
  BerElement* ber = ber_alloc_t(LBER_USE_DER);
  int rc = ldap_pvt_put_filter(ber, filter.c_str());
  ber_free(ber, 1);
  return rc == 0;
}

TEST(DirectoryFilterParser, AcceptsWhatTheLibraryAccepts) {
  const char* accepted[] = {
      "(cn=a)",
      "cn=a",
      "(&)",
      "(|)",
      "(& (mailnickname=*) (| (objectCategory=group) ))",
      "(&(objectClass=user)(objectCategory=person)(mailNickname=*)(msExchHomeServerName=*))",
      "(!(name=SystemMailbox{*))",
      "(!(!(cn=a)))",
      "( cn=a)",
      "(cn=\\2a)",
      "(cn=\\*)",
      "(cn=\\(x\\))",
      "(cn=a\\\\b)",
      "(cn=a*b*c)",
      "(cn=*a)",
      "(cn=a*)",
      "(cn=*a*)",
      "(cn=)",
      "(groupType:1.2.840.113556.1.4.803:=2147483648)",
      "(cn:dn:2.5.13.5:=x)",
      "(:1.2.3:=x)",
      "(cn:=x)",
      "(cn:dn:=x)",
      "(cn~=x)",
      "(cn>=x)",
      "(cn<=x)",
      "(2.5.4.3=x)",
      "(cn;lang-en=x)",
      "(cn=a=b)",
      "(!  (cn=a))",
  };
  for (const char* f : accepted) {
    EXPECT_TRUE(LibldapAccepts(f)) << "oracle disagrees with the table: " << f;
    Result<FilterNode> r = ParseFilter(f);
    EXPECT_TRUE(r.ok()) << f << ": " << r.status().description();
  }
}

TEST(DirectoryFilterParser, RejectsWhatTheLibraryRejects) {
  const char* rejected[] = {
      " (cn=a)",         "(cn=a",      "cn=a)",    "(cn=a))",      "((cn=a))", "(cn=\\zz)",
      "(cn=\\4)",        "(cn=a\\)",   "(cn=a(b)", "(cn=a)b)",     "(c n=a)",  "(cn =a)",
      "(cn=a**b)",       "(cn=**)",    "(=a)",     "(cn)",         "(!)",      "(!(cn=a)(cn=b))",
      "(!(cn=a) )",      "(&(cn=a)x)", "(cn=a) ",  "(cn>=a*)",     "(1.2.=a)", "(_cn=a)",
      "(cn:foo:1.2:=x)", "(:dn:=x)",   "(:=x)",    "(cn:1.2.:=x)",
  };
  for (const char* f : rejected) {
    EXPECT_FALSE(LibldapAccepts(f)) << "oracle disagrees with the table: " << f;
    Result<FilterNode> r = ParseFilter(f);
    ASSERT_FALSE(r.ok()) << f;
    EXPECT_EQ(r.status().number(), err::kDirInvalidFilter) << f;
    EXPECT_TRUE(r.status().description().rfind("invalid search filter: ", 0) == 0)
        << r.status().description();
  }
}

// The library encodes an empty (or all-blank) text as nothing at all (the server then refuses the
// request); the parser says so at once.
TEST(DirectoryFilterParser, RejectsAnEmptyFilter) {
  Result<FilterNode> r = ParseFilter("");
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.status().description(), "invalid search filter: empty filter");
}

TEST(DirectoryFilterParser, BuildsTheTree) {
  Result<FilterNode> r = ParseFilter("(& (mailnickname=*) (| (objectCategory=group) ))");
  ASSERT_TRUE(r.ok());
  ASSERT_EQ(r->kind, FilterNode::Kind::kAnd);
  ASSERT_EQ(r->children.size(), 2u);
  EXPECT_EQ(r->children[0].kind, FilterNode::Kind::kPresent);
  EXPECT_EQ(r->children[0].attribute, "mailnickname");
  ASSERT_EQ(r->children[1].kind, FilterNode::Kind::kOr);
  ASSERT_EQ(r->children[1].children.size(), 1u);
  EXPECT_EQ(r->children[1].children[0].value, "group");

  r = ParseFilter("(cn=a\\2ab*\\28*c\\5c)");
  ASSERT_TRUE(r.ok());
  EXPECT_EQ(r->kind, FilterNode::Kind::kSubstrings);
  EXPECT_EQ(r->initial.value_or("?"), "a*b");
  ASSERT_EQ(r->any.size(), 1u);
  EXPECT_EQ(r->any[0], "(");
  EXPECT_EQ(r->final_part.value_or("?"), "c\\");

  r = ParseFilter("(groupType:1.2.840.113556.1.4.803:=-2147483646)");
  ASSERT_TRUE(r.ok());
  EXPECT_EQ(r->kind, FilterNode::Kind::kExtensible);
  EXPECT_EQ(r->attribute, "groupType");
  EXPECT_EQ(r->rule, "1.2.840.113556.1.4.803");
  EXPECT_EQ(r->value, "-2147483646");
  EXPECT_FALSE(r->dn_attributes);
}

TEST(DirectoryFilterParser, WritesBackWhatItRead) {
  const char* filters[] = {"(&(cn=a\\2a)(|(sn=*x*y)(!(mail=*))))",
                           "(cn:dn:2.5.13.5:=x\\29)",
                           "(&)",
                           "(cn>=m)",
                           "(cn~=k)",
                           "(cn=*a)"};
  for (const char* f : filters) {
    Result<FilterNode> r = ParseFilter(f);
    ASSERT_TRUE(r.ok()) << f;
    std::string text = FilterToString(*r);
    Result<FilterNode> again = ParseFilter(text);
    ASSERT_TRUE(again.ok()) << text;
    EXPECT_EQ(FilterToString(*again), text);
    EXPECT_TRUE(LibldapAccepts(text)) << text;
  }
  EXPECT_EQ(FilterToString(*ParseFilter("(&(cn=a\\2a)(|(sn=*x*y)(!(mail=*))))")),
            "(&(cn=a\\2a)(|(sn=*x*y)(!(mail=*))))");
}

// Random texts over the characters that matter to the grammar: the parser and libldap must
// agree on every one.
TEST(DirectoryFilterParser, AgreesWithTheLibraryOnRandomTexts) {
  std::mt19937 rng(::testing::UnitTest::GetInstance()->random_seed() + 20240611u);
  const std::string alphabet = "()&|!=*~<>:\\ ab1.;-2fZ";
  int accepted = 0;
  for (int i = 0; i < 20000; ++i) {
    std::string f;
    int len = 1 + static_cast<int>(rng() % 14);
    if (rng() % 2 == 0) f = "(";
    for (int k = 0; k < len; ++k) f += alphabet[rng() % alphabet.size()];
    if (rng() % 2 == 0) f += ")";
    if (f.find_first_not_of(' ') == std::string::npos) continue;  // empty: see above
    bool ours = ParseFilter(f).ok();
    ASSERT_EQ(ours, LibldapAccepts(f)) << "filter: \"" << f << "\"";
    accepted += ours ? 1 : 0;
  }
  EXPECT_GT(accepted, 100);  // the corpus exercises acceptance too
}

}  // namespace
}  // namespace testqav
