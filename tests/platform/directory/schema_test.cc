// The schema compiled into the program, against the two other places that define attributes:
// slapd's stock schema (what the embedded directory copies from it must compare alike, and
// what it adds must not clash with it) and the test organisation's data (every attribute it
// carries is defined, except those it carries to test undefined ones).
#include "platform/directory/schema.h"

#include <fstream>
#include <set>
#include <sstream>

#include <gtest/gtest.h>

#include "platform/directory/embedded/ldif_reader.h"
#include "support/files.h"
#include "test_support.h"

namespace testqav {
namespace {

using testing::ReadFile;

TEST(DirectorySchema, CompiledTextsParse) {
  Schema schema;
  Status base = schema.Add(kBaseSchemaText, "base.schema");
  EXPECT_TRUE(base.ok()) << base.description();
  Status additions = schema.Add(kTestqavSchemaText, "testqav.schema");
  EXPECT_TRUE(additions.ok()) << additions.description();
}

// Active Directory offers ordering on every string attribute.
TEST(DirectorySchema, StringAttributesHaveOrdering) {
  for (const AttributeType& t : Schema::Builtin()->attributes()) {
    if (t.equality == MatchKind::kCaseIgnore || t.equality == MatchKind::kCaseIgnoreIA5) {
      EXPECT_EQ(t.ordering, MatchKind::kCaseIgnore) << t.PrimaryName();
    }
  }
}

TEST(DirectorySchema, AgreesWithSlapdsStockSchema) {
  const std::string dir = "/etc/ldap/schema/";
  if (!std::ifstream(dir + "core.schema")) GTEST_SKIP() << "no stock OpenLDAP schema here";
  // slapd's built-in types that the stock files build on.
  Schema stock;
  ASSERT_TRUE(stock
                  .Add("attributetype ( 2.5.4.41 NAME 'name' EQUALITY caseIgnoreMatch"
                       " SUBSTR caseIgnoreSubstringsMatch SYNTAX 1.3.6.1.4.1.1466.115.121.1.15 )\n"
                       "attributetype ( 2.5.4.49 NAME 'distinguishedName'"
                       " EQUALITY distinguishedNameMatch SYNTAX 1.3.6.1.4.1.1466.115.121.1.12 )\n",
                       "built-in")
                  .ok());
  for (const char* file : {"core.schema", "cosine.schema", "inetorgperson.schema"}) {
    Status st = stock.Add(ReadFile(dir + file), file);
    ASSERT_TRUE(st.ok()) << st.description();
  }
  int compared = 0;
  for (const AttributeType& ours : Schema::Builtin()->attributes()) {
    const AttributeType* theirs = stock.FindAttribute(ours.PrimaryName());
    if (theirs == nullptr) continue;
    ++compared;
    EXPECT_EQ(ours.oid, theirs->oid) << ours.PrimaryName();
    EXPECT_EQ(ours.equality, theirs->equality) << ours.PrimaryName();
    EXPECT_EQ(ours.substr, theirs->substr) << ours.PrimaryName();
    EXPECT_EQ(ours.syntax, theirs->syntax) << ours.PrimaryName();
    // Ordering is Active Directory's where the stock type has none.
    if (theirs->ordering != MatchKind::kNone) {
      EXPECT_EQ(ours.ordering, theirs->ordering) << ours.PrimaryName();
    }
  }
  EXPECT_GT(compared, 30);
  // slapd loads testqav.schema after its stock files: a name defined twice stops it.
  Schema additions;
  ASSERT_TRUE(additions.Add(kTestqavSchemaText, "testqav.schema").ok());
  for (const AttributeType& t : additions.attributes()) {
    for (const std::string& n : t.names) EXPECT_EQ(stock.FindAttribute(n), nullptr) << n;
  }
}

TEST(DirectorySchema, DefinesWhatTheTestOrganisationCarries) {
  const std::string data = testing_support::SourceDir() + "/tests/platform/directory/data/";
  Schema undefined;
  ASSERT_TRUE(undefined.Add(ReadFile(data + "unknown-attributes.schema"), "unknown").ok());
  std::ostringstream diagnostics;
  Result<std::vector<DirectoryEntry>> entries =
      ParseLdif(ReadFile(data + "org.ldif"), "org.ldif", diagnostics);
  ASSERT_TRUE(entries.ok()) << entries.status().description();
  std::set<std::string> carried_undefined;
  for (const DirectoryEntry& e : *entries) {
    for (const DirectoryAttribute& a : e.attributes) {
      if (undefined.FindAttribute(a.name) != nullptr) {
        carried_undefined.insert(a.name);
        EXPECT_EQ(Schema::Builtin()->FindAttribute(a.name), nullptr) << a.name;
      } else {
        EXPECT_NE(Schema::Builtin()->FindAttribute(a.name), nullptr) << a.name;
      }
    }
  }
  EXPECT_EQ(carried_undefined.size(), undefined.attributes().size());
}

}  // namespace
}  // namespace testqav
