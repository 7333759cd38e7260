// The embedded directory's compact entry store: what goes in comes out, texts survive the
// block boundaries, and the parts worked out on adding (DN, classes, `name`) are right.
#include "platform/directory/embedded/entry_store.h"

#include "platform/directory/matching.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace testqav {
namespace {

std::vector<std::string> Texts(std::span<const std::string_view> views) {
  return {views.begin(), views.end()};
}

TEST(EntryStoreTest, GivesBackWhatWasAddedWithNameAsTheRdnValue) {
  EntryStore store(Schema::Builtin());
  DirectoryEntry user{"CN=Smith\\, Ann,OU=Staff,DC=example,DC=com",
                      {{"objectClass", {"top", "person", "organizationalPerson", "user"}},
                       {"cn", {"Smith, Ann"}},
                       {"proxyAddresses", {"SMTP:ann@example.com", "smtp:as@example.com"}},
                       {"name", {"something else"}},
                       {"x-unknown", {"kept"}}}};
  DirectoryEntry group{"CN=All,DC=example,DC=com", {{"objectClass", {"group"}}, {"member", {}}}};
  store.Add(user);
  store.Add(group);
  ASSERT_EQ(store.size(), 2u);

  StoredEntry a = store[0];
  EXPECT_EQ(a.dn(), user.dn);
  EXPECT_EQ(a.name(), "Smith, Ann");
  // The file's `name` gives way to the RDN value, in its place.
  DirectoryEntry back = a.ToEntry();
  ASSERT_EQ(back.attributes.size(), user.attributes.size());
  for (size_t i = 0; i < back.attributes.size(); ++i) {
    EXPECT_EQ(back.attributes[i].name, user.attributes[i].name);
    if (back.attributes[i].name == "name") {
      EXPECT_EQ(back.attributes[i].values, std::vector<std::string>{"Smith, Ann"});
    } else {
      EXPECT_EQ(back.attributes[i].values, user.attributes[i].values) << back.attributes[i].name;
    }
  }
  EXPECT_EQ(Texts(a.Values("PROXYADDRESSES")), user.attributes[2].values);
  EXPECT_TRUE(a.Values("mail").empty());
  // An attribute the schema lacks has a Unicode string type of its own, which filters on
  // that name (in any spelling) find; a name no entry holds has another.
  ASSERT_NE(a.type(4), nullptr);
  EXPECT_EQ(a.type(4)->equality, MatchKind::kCaseIgnore);
  EXPECT_EQ(a.type(4)->ordering, MatchKind::kCaseIgnore);
  EXPECT_EQ(store.AttributeFor("X-Unknown"), a.type(4));
  EXPECT_NE(store.AttributeFor("x-other"), a.type(4));
  EXPECT_EQ(store.AttributeFor("x-other")->substr, MatchKind::kCaseIgnore);
  EXPECT_EQ(store.AttributeFor("PROXYADDRESSES"), a.type(2));
  ASSERT_NE(a.type(2), nullptr);
  EXPECT_EQ(a.type(2)->PrimaryName(), "proxyAddresses");
  std::optional<ParsedDn> parsed = ParseDn(user.dn, *Schema::Builtin());
  ASSERT_TRUE(parsed.has_value());
  EXPECT_EQ(Texts(a.rdns()), parsed->rdns);
  EXPECT_EQ(a.rdns().size(), 4u);
  const std::vector<std::string>& classes = a.classes();
  EXPECT_NE(std::find(classes.begin(), classes.end(), "user"), classes.end());
  EXPECT_NE(std::find(classes.begin(), classes.end(), "person"), classes.end());

  // An entry without `name` gets one; an attribute without values stays.
  StoredEntry g = store[1];
  EXPECT_EQ(Texts(g.Values("name")), std::vector<std::string>{"All"});
  EXPECT_TRUE(g.Values("member").empty());
  EXPECT_EQ(g.attribute_count(), 3u);
}

TEST(EntryStoreTest, TextsSurviveManyBlocksAndLargeValues) {
  EntryStore store(Schema::Builtin());
  std::vector<DirectoryEntry> added;
  const std::string large(700 * 1024, 'x');  // larger than a block
  for (int i = 0; i < 3000; ++i) {
    std::string n = std::to_string(i);
    DirectoryEntry e{
        "CN=u" + n + ",DC=example,DC=com",
        {{"description", {std::string(static_cast<size_t>(300 + i % 700), 'a' + i % 26)}},
         {"mail", {"u" + n + "@example.com"}}}};
    if (i % 1000 == 7) e.attributes.push_back({"info", {large + n}});
    store.Add(e);
    added.push_back(std::move(e));
  }
  for (size_t i = 0; i < added.size(); ++i) {
    DirectoryEntry back = store[i].ToEntry();
    ASSERT_EQ(back.dn, added[i].dn);
    for (const DirectoryAttribute& a : added[i].attributes) {
      ASSERT_EQ(back.Values(a.name), a.values) << i << " " << a.name;
    }
  }
}

TEST(EntryStoreTest, KnowsHowAttributesAreSpelled) {
  EntryStore store(Schema::Builtin());
  const AttributeType* street = Schema::Builtin()->FindAttribute("street");
  ASSERT_NE(street, nullptr);
  EXPECT_TRUE(store.SpelledOnlyAs(street, "streetAddress"));  // no entry has it
  store.Add({"CN=a,DC=example,DC=com", {{"streetAddress", {"1 Main St"}}}});
  EXPECT_TRUE(store.SpelledOnlyAs(street, "streetAddress"));
  EXPECT_FALSE(store.SpelledOnlyAs(street, "street"));
  store.Add({"CN=b,DC=example,DC=com", {{"street", {"2 Main St"}}}});
  EXPECT_FALSE(store.SpelledOnlyAs(street, "streetAddress"));
}

}  // namespace
}  // namespace testqav
