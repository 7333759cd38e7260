#include "platform/directory/result_attributes.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/directory/schema.h"

namespace testqav {
namespace {

// A server's entry: attributes in its own spelling, one of them under an alias of another
// name that a request may use.
DirectoryEntry ServerEntry() {
  return {"CN=Ann Lee,OU=Staff,DC=x,DC=test",
          {{"mail", {"ann@x.test"}},
           {"street", {"1 Main St"}},
           {"otherTelephone", {"+1 555 0100", "+1 555 0101"}},
           {"extensionAttribute9", {"green"}},
           {"objectCategory", {"CN=Person,CN=Schema,CN=Configuration,DC=x,DC=test"}}}};
}

// Projecting an entry that is no longer needed moves its values; the result must be what
// projecting a kept entry copies, whatever the request repeats or names twice.
TEST(AttributeRequest, ProjectingATakenEntryGivesWhatACopyGives) {
  const auto schema = Schema::Builtin();
  const std::vector<std::vector<std::string>> requests = {
      {"name", "mail", "streetAddress", "otherTelephone", "objectCategory"},
      {"mail", "MAIL", "otherTelephone"},
      {"streetAddress", "street", "mail"},
      {"extensionAttribute9", "noSuchAttribute", "distinguishedName"},
      {"otherTelephone", "extensionattribute9", "mail", "name"},
  };
  for (const std::vector<std::string>& request : requests) {
    const DirectoryEntry entry = ServerEntry();
    std::vector<const AttributeType*> types;
    for (const DirectoryAttribute& a : entry.attributes) {
      types.push_back(schema->FindAttribute(a.name));
    }
    const AttributeRequest wanted(request, *schema);
    const DirectoryEntry copied = wanted.Project(entry, types, "Ann Lee");
    DirectoryEntry taken_from = ServerEntry();
    const DirectoryEntry moved = wanted.Project(std::move(taken_from), types, "Ann Lee");
    ASSERT_EQ(moved.attributes.size(), copied.attributes.size()) << request.front();
    EXPECT_EQ(moved.dn, copied.dn);
    for (size_t i = 0; i < copied.attributes.size(); ++i) {
      EXPECT_EQ(moved.attributes[i].name, copied.attributes[i].name) << request.front();
      EXPECT_EQ(moved.attributes[i].values, copied.attributes[i].values)
          << request.front() << " " << copied.attributes[i].name;
    }
  }
}

}  // namespace
}  // namespace testqav
