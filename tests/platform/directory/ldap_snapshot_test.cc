// The snapshot of an LDAP server against the server itself (the directory suites' slapd):
// whatever the page size, it holds the entries the server's search gives, and a search of it
// answers as the server does; an answer the server would cut short fails the snapshot.
#include "platform/directory/ldap/ldap_snapshot.h"

#include <gtest/gtest.h>

#include "platform/common/error_codes.h"
#include "platform/directory/filter.h"
#include "test_support.h"

namespace testqav {
namespace {

using testing_support::Env;
using testing_support::SlapdConfigured;

constexpr char kMailEnabled[] = "(|(mail=*)(legacyExchangeDN=*)(proxyAddresses=*))";

Result<std::shared_ptr<LdapDirectory>> OpenServer(int page_size, int size_limit) {
  LdapConfig config;
  config.url = Env("TESTQAV_SLAPD_URL");
  config.bind_dn = Env("TESTQAV_SLAPD_BIND_DN");
  config.password_file = Env("TESTQAV_SLAPD_PASSWORD_FILE");
  config.timeout_seconds = 10;
  config.page_size = page_size;
  config.size_limit = size_limit;
  return OpenLdapServer(config);
}

std::string BaseOf(Directory& d) {
  Result<DirectoryEntry> root = d.RootDse();
  return root.ok() ? root->First("defaultNamingContext") : "";
}

// Entries as comparable text: DN, then each requested attribute's values in order.
std::vector<std::string> Texts(const std::vector<DirectoryEntry>& entries,
                               const std::vector<std::string>& attributes) {
  std::vector<std::string> out;
  for (const DirectoryEntry& e : entries) {
    std::string t = e.dn;
    for (const std::string& a : attributes) {
      t += "|" + a + ":";
      for (const std::string& v : e.Values(a)) t += v + ";";
    }
    out.push_back(t);
  }
  return out;
}

TEST(LdapSnapshot, HoldsWhatTheServerGivesWhateverThePageSize) {
  if (!SlapdConfigured()) GTEST_SKIP() << "TESTQAV_SLAPD_URL is not set";
  // slapd answers streetAddress as street: the snapshot stores it under the asked name.
  const std::vector<std::string> attributes = {"mail", "proxyAddresses", "displayName",
                                               "cn",   "name",           "streetAddress"};
  Result<std::shared_ptr<LdapDirectory>> reference = OpenServer(500, 0);
  ASSERT_TRUE(reference.ok()) << reference.status().description();
  const std::string base = BaseOf(**reference);
  Result<std::vector<DirectoryEntry>> expected =
      (*reference)->Search(base, SearchScope::kSubtree, kMailEnabled, attributes);
  ASSERT_TRUE(expected.ok()) << expected.status().description();
  ASSERT_GT(expected->size(), 3u);
  // Searches the address book makes: by address, by name, by prefix; a member by its DN.
  const std::vector<std::string> filters = {"(mail=*)", "(|(displayName=a*)(cn=b*))",
                                            "(proxyAddresses=smtp:*)", "(cn=*)"};

  for (int page_size : {1, 3, 1000}) {
    SCOPED_TRACE(page_size);
    Result<std::shared_ptr<LdapDirectory>> server = OpenServer(page_size, 0);
    ASSERT_TRUE(server.ok()) << server.status().description();
    const uint64_t before = (*server)->RequestsSent();
    Result<std::shared_ptr<Directory>> snapshot =
        TakeSnapshot(**server, {base, kMailEnabled, attributes});
    ASSERT_TRUE(snapshot.ok()) << snapshot.status().description();
    // One request a page, and the base entry's own.
    EXPECT_EQ((*server)->RequestsSent() - before,
              (expected->size() + page_size - 1) / page_size + 1);

    Result<std::vector<DirectoryEntry>> held =
        (*snapshot)->Search(base, SearchScope::kSubtree, kMailEnabled, attributes);
    ASSERT_TRUE(held.ok()) << held.status().description();
    EXPECT_EQ(Texts(*held, attributes), Texts(*expected, attributes));
    for (const std::string& filter : filters) {
      Result<std::vector<DirectoryEntry>> direct =
          (*reference)
              ->Search(base, SearchScope::kSubtree, "(&" + std::string(kMailEnabled) + filter + ")",
                       attributes);
      Result<std::vector<DirectoryEntry>> from_snapshot =
          (*snapshot)->Search(base, SearchScope::kSubtree, filter, attributes);
      ASSERT_TRUE(direct.ok() && from_snapshot.ok()) << filter;
      EXPECT_EQ(Texts(*from_snapshot, attributes), Texts(*direct, attributes)) << filter;
    }
    // Asked for as they are held, the entries are handed out themselves, not copied.
    const std::vector<std::string> held_names = {"mail", "proxyAddresses", "displayName", "cn",
                                                 "streetAddress"};  // name is worked out
    FilterNode any;
    any.kind = FilterNode::Kind::kPresent;
    any.attribute = "mail";
    Result<std::vector<SharedDirectoryEntry>> shared =
        SearchShared(**snapshot, base, SearchScope::kSubtree, any, held_names);
    ASSERT_TRUE(shared.ok());
    ASSERT_FALSE(shared->empty());
    for (const SharedDirectoryEntry& e : *shared) {
      EXPECT_EQ(dynamic_cast<const DirectoryEntryView*>(e.get()), nullptr) << e->Dn();
    }
    const DirectoryEntry& member = expected->back();
    Result<std::vector<DirectoryEntry>> one =
        (*snapshot)->Search(member.dn, SearchScope::kBase, "(objectClass=*)", attributes);
    ASSERT_TRUE(one.ok()) << one.status().description();
    EXPECT_EQ(Texts(*one, attributes), Texts({member}, attributes));
  }
}

TEST(LdapSnapshot, AnAnswerCutShortFailsInsteadOfMissingEntries) {
  if (!SlapdConfigured()) GTEST_SKIP() << "TESTQAV_SLAPD_URL is not set";
  // A size limit below the number of entries: the server stops, the snapshot fails. Small
  // pages do not get around it: the limit is on the search, not on each page.
  for (int page_size : {2, 500}) {
    SCOPED_TRACE(page_size);
    Result<std::shared_ptr<LdapDirectory>> server = OpenServer(page_size, 3);
    ASSERT_TRUE(server.ok()) << server.status().description();
    Result<std::shared_ptr<Directory>> snapshot =
        TakeSnapshot(**server, {BaseOf(**server), kMailEnabled, {"mail"}});
    ASSERT_FALSE(snapshot.ok());
    EXPECT_EQ(snapshot.status().number(), err::kDirSizeLimitExceeded);
    EXPECT_NE(snapshot.status().description().find("Size limit exceeded (LDAP result code 4)"),
              std::string::npos)
        << snapshot.status().description();
    // The server answered: it is not lost, only the answer was too large.
    EXPECT_TRUE((*server)->Failure().ok());
  }
  // A base that the server does not hold.
  Result<std::shared_ptr<LdapDirectory>> server = OpenServer(500, 0);
  ASSERT_TRUE(server.ok());
  Result<std::shared_ptr<Directory>> missing =
      TakeSnapshot(**server, {"OU=Nowhere," + BaseOf(**server), kMailEnabled, {"mail"}});
  ASSERT_FALSE(missing.ok());
  EXPECT_EQ(missing.status().number(), err::kDirNoSuchObject);
}

}  // namespace
}  // namespace testqav
