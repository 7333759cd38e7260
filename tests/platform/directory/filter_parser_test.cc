// The filter parser against tables of must-accept / must-reject texts, and against
// OpenLDAP's own filter encoder on random texts: the real backend hands the parsed filter to
// it, so every text the library takes must give the tree the library encodes, and every
// text in Active Directory's forms must give the tree of its RFC 4515 spelling.
#include <lber.h>

#include <functional>
#include <iterator>
#include <optional>
#include <random>
#include <string>
#include <utility>

#include <gtest/gtest.h>

#include "platform/common/error_codes.h"
#include "platform/directory/filter.h"

// libldap's filter encoder; exported by the library, not declared in its public headers.
extern "C" int ldap_pvt_put_filter(BerElement* ber, const char* str);

namespace testqav {
namespace {

// The library's BER encoding of a filter text; nullopt when it refuses the text.
std::optional<std::string> LibldapEncoding(const std::string& filter) {
  BerElement* ber = ber_alloc_t(LBER_USE_DER);
  std::optional<std::string> out;
  berval* flat = nullptr;
  if (ldap_pvt_put_filter(ber, filter.c_str()) == 0 && ber_flatten(ber, &flat) == 0) {
    out = std::string(flat->bv_val, flat->bv_len);
    ber_bvfree(flat);
  }
  ber_free(ber, 1);
  return out;
}

bool LibldapAccepts(const std::string& filter) { return LibldapEncoding(filter).has_value(); }

// What the real backend sends for `filter`, as the library encodes it; "" when the parser
// refuses the text.
std::string SentEncoding(const std::string& filter) {
  Result<FilterNode> r = ParseFilter(filter);
  if (!r.ok()) return "";
  return LibldapEncoding(FilterToString(*r)).value_or("unencodable " + FilterToString(*r));
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
    std::optional<std::string> encoded = LibldapEncoding(f);
    ASSERT_TRUE(encoded) << "oracle disagrees with the table: " << f;
    Result<FilterNode> r = ParseFilter(f);
    EXPECT_TRUE(r.ok()) << f << ": " << r.status().description();
    EXPECT_EQ(SentEncoding(f), *encoded) << f;
  }
}

// Forms that Active Directory accepts and the library does not, with the RFC 4515 text each
// one means.
TEST(DirectoryFilterParser, AcceptsActiveDirectoryForms) {
  const std::pair<const char*, const char*> forms[] = {
      {"(!cn=SystemMailbox{*})", "(!(cn=SystemMailbox{*}))"},
      {"(&(!cn=SystemMailbox{*})(&(& (mailnickname=*) (| (&(objectCategory=person)"
       "(objectClass=user)(|(homeMDB=*)(msExchHomeServerName=*))) ))))",
       "(&(!(cn=SystemMailbox{*}))(&(&(mailnickname=*)(|(&(objectCategory=person)"
       "(objectClass=user)(|(homeMDB=*)(msExchHomeServerName=*)))))))"},
      {"(! cn=a b)", "(!(cn=a b))"},
      {"(&cn=a)", "(&(cn=a))"},
      {"( | mail=*@example.com)", "(|(mail=*@example.com))"},
      {"(!groupType:1.2.840.113556.1.4.803:=2)", "(!(groupType:1.2.840.113556.1.4.803:=2))"},
      {"(!cn=\\28x\\29)", "(!(cn=\\28x\\29))"},
      {"(!(cn=a) )", "(!(cn=a))"},
      {"(!(!cn=a) )", "(!(!(cn=a)))"},
      {" (cn=a)", "(cn=a)"},
      {"(cn=a) \t\n", "(cn=a)"},
      {"  ( & (cn=a) (| (sn=b) (!  sn=c) ) )  ", "(&(cn=a)(|(sn=b)(!(sn=c))))"},
      {" cn=a", "(cn=a)"},
  };
  for (const auto& [ad, rfc] : forms) {
    Result<FilterNode> r = ParseFilter(ad);
    ASSERT_TRUE(r.ok()) << ad << ": " << r.status().description();
    EXPECT_EQ(FilterToString(*r), rfc) << ad;
    EXPECT_EQ(SentEncoding(ad), LibldapEncoding(rfc).value_or("?")) << ad;
  }
}

// Texts that neither the library nor Active Directory accepts; the error names the filter.
TEST(DirectoryFilterParser, RejectsWhatNeitherDialectAccepts) {
  const char* rejected[] = {
      "(cn=a",         "cn=a)",           "(cn=a))",        "((cn=a))",     "(cn=\\zz)",
      "(cn=\\4)",      "(cn=a\\)",        "(cn=a(b)",       "(cn=a)b)",     "(c n=a)",
      "(cn =a)",       "(cn=a**b)",       "(cn=**)",        "(=a)",         "(cn)",
      "(!)",           "(!(cn=a)(cn=b))", "(&(cn=a)x)",     "(cn>=a*)",     "(1.2.=a)",
      "(_cn=a)",       "(cn:foo:1.2:=x)", "(:dn:=x)",       "(:=x)",        "(cn:1.2.:=x)",
      "(!cn=a)(cn=b)", "(&(cn=a)cn=b)",   "(|cn=a (cn=b))", "(! )",         "(!cn=a(b)",
      "(!cn)",         "(!=a)",           "(&(cn=a) ) x",   "(! (cn=a) x)", "(cn=a)\n(cn=b)",
  };
  for (const char* f : rejected) {
    EXPECT_FALSE(LibldapAccepts(f)) << "oracle disagrees with the table: " << f;
    Result<FilterNode> r = ParseFilter(f);
    ASSERT_FALSE(r.ok()) << f;
    EXPECT_EQ(r.status().number(), err::kDirInvalidFilter) << f;
    const std::string named = "invalid search filter \"" + std::string(f) + "\": ";
    EXPECT_EQ(r.status().description().rfind(named, 0), 0u) << r.status().description();
    EXPECT_GT(r.status().description().size(), named.size()) << "no fault given for " << f;
  }
}

// The library encodes an empty (or all-blank) text as nothing at all (the server then refuses the
// request); the parser says so at once.
TEST(DirectoryFilterParser, RejectsAnEmptyFilter) {
  for (const char* blank : {"", "  ", " \t"}) {
    Result<FilterNode> r = ParseFilter(blank);
    ASSERT_FALSE(r.ok());
    EXPECT_EQ(r.status().description(),
              "invalid search filter \"" + std::string(blank) + "\": empty filter");
  }
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

// Random texts over the characters that matter to the grammar: whatever the library takes,
// the parser takes and sends as the library would encode it; what the parser takes beyond
// that (Active Directory's forms) it sends as a text the library takes.
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
    std::optional<std::string> library = LibldapEncoding(f);
    Result<FilterNode> ours = ParseFilter(f);
    if (library) {
      ASSERT_TRUE(ours.ok()) << "filter: \"" << f << "\": " << ours.status().description();
      ASSERT_EQ(SentEncoding(f), *library) << "filter: \"" << f << "\"";
      ++accepted;
    } else if (ours.ok()) {
      ASSERT_TRUE(LibldapAccepts(FilterToString(*ours))) << "filter: \"" << f << "\"";
    }
  }
  EXPECT_GT(accepted, 100);  // the corpus exercises acceptance too
}

// Random filter trees written in RFC 4515 and again in Active Directory's forms (blanks
// around every member, bare items as only members): both mean the same filter.
TEST(DirectoryFilterParser, ActiveDirectoryFormsMeanTheirRfcSpelling) {
  const char* const kItems[] = {"cn=a",
                                "sn=*x*",
                                "mail=*",
                                "cn=a\\29b",
                                "description=x y",
                                "uid>=m",
                                "cn~=k",
                                "c=*e",
                                "groupType:1.2.840.113556.1.4.803:=2",
                                "cn:dn:=x"};
  std::mt19937 rng(20240611u);
  // Writes one random tree both ways.
  std::function<void(int, std::string&, std::string&)> write = [&](int depth, std::string& rfc,
                                                                   std::string& ad) {
    auto blanks = [&] { return std::string(rng() % 3, ' '); };
    if (depth == 0 || rng() % 3 == 0) {
      std::string item = kItems[rng() % std::size(kItems)];
      rfc += "(" + item + ")";
      ad += "(" + item + ")";
      return;
    }
    const char op = "&|!"[rng() % 3];
    const size_t members = op == '!' ? 1 : rng() % 4;
    rfc += std::string("(") + op;
    ad += "(" + blanks() + op;
    if (members == 1 && rng() % 2 == 0) {
      // One member that is an item: without its parentheses, running to the ")".
      std::string item = kItems[rng() % std::size(kItems)];
      rfc += "(" + item + ")";
      ad += blanks() + item;
    } else {
      for (size_t m = 0; m < members; ++m) {
        ad += blanks();
        write(depth - 1, rfc, ad);
      }
      ad += blanks();
    }
    rfc += ")";
    ad += ")";
  };
  int differ = 0;
  for (int i = 0; i < 3000; ++i) {
    std::string rfc;
    std::string ad = std::string(rng() % 2, ' ');
    write(4, rfc, ad);
    ad += std::string(rng() % 2, ' ');
    Result<FilterNode> r = ParseFilter(ad);
    ASSERT_TRUE(r.ok()) << ad << ": " << r.status().description();
    ASSERT_EQ(FilterToString(*r), FilterToString(*ParseFilter(rfc))) << ad;
    ASSERT_EQ(SentEncoding(ad), LibldapEncoding(rfc).value_or("?")) << ad;
    differ += LibldapAccepts(ad) ? 0 : 1;
  }
  EXPECT_GT(differ, 1000);  // most texts use a form that only Active Directory takes
}

}  // namespace
}  // namespace testqav
