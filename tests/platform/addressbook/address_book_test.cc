// The address book over a real directory implementation, loaded from data/org.ldif: the
// embedded directory always, and OpenLDAP's slapd loaded with the same LDIF when the
// environment runs the directory suites against slapd (TESTQAV_SLAPD_URL is set). That
// server holds the directory suites' own data, so this suite starts its own slapd with
// scripts/start-slapd.sh, once per test process, and stops it at the end.
#include <gtest/gtest.h>

#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <mutex>
#include <sstream>
#include <thread>

#include "platform/addressbook/address_book.h"
#include "platform/addressbook/entry_id.h"
#include "platform/common/error_codes.h"
#include "platform/common/text.h"
#include "platform/directory/embedded/ldif_directory.h"
#include "platform/directory/ldap/ldap_directory.h"
#include "platform/messaging/look_ahead.h"
#include "support/files.h"
#include "support/own_slapd.h"

namespace testqav {
namespace {

constexpr char kRecipients[] = "/o=Contoso/ou=First Administrative Group/cn=Recipients/cn=";

std::string Dn(std::string_view alias) { return kRecipients + std::string(alias); }

std::filesystem::path DataDir() {
  const char* src = std::getenv("TESTQAV_SOURCE_DIR");
  return std::filesystem::path(src ? src : ".") / "tests/platform/addressbook/data";
}

struct Backend {
  std::string name;
  // Returns nullptr (and sets *skip) when the backend is not available here.
  std::function<Result<std::shared_ptr<Directory>>(std::string* skip)> open;
  // The book answers from a snapshot of the server taken when it opens (OpenLdapAddressBook).
  bool snapshot = false;
};

std::ostream& operator<<(std::ostream& os, const Backend& b) { return os << b.name; }

Result<std::shared_ptr<Directory>> OpenEmbedded(std::string*) {
  std::ostringstream diagnostics;
  return LoadLdifDirectory((DataDir() / "org.ldif").string(), diagnostics);
}

Result<std::shared_ptr<Directory>> OpenSlapd(std::string* skip) {
  if (std::getenv("TESTQAV_SLAPD_URL") == nullptr) {
    *skip = "TESTQAV_SLAPD_URL not set: directory suites do not run against slapd here";
    return Status(err::kNotImplemented, *skip);
  }
  // One server per test process, loaded with this suite's organisation, stopped at exit.
  static testing::OwnSlapd slapd(DataDir() / "org.ldif");
  if (!slapd.failure().empty()) return Status(err::kFail, slapd.failure());
  LdapConfig config;
  config.url = slapd.url();
  config.bind_dn = slapd.BindDn();
  config.password_file = slapd.PasswordFile().string();
  config.timeout_seconds = 10;
  config.base = "DC=contoso,DC=com";
  return OpenLdapDirectory(config);
}

class AddressBookTest : public ::testing::TestWithParam<Backend> {
 protected:
  void SetUp() override {
    std::string skip;
    Result<std::shared_ptr<Directory>> dir = GetParam().open(&skip);
    if (!skip.empty()) GTEST_SKIP() << skip;
    ASSERT_TRUE(dir.ok()) << dir.status().description();
    Result<DirectoryEntry> root = (*dir)->RootDse();
    ASSERT_TRUE(root.ok()) << root.status().description();
    std::string base = root->First("defaultNamingContext");
    ASSERT_FALSE(base.empty());
    if (GetParam().snapshot) {
      auto server = std::dynamic_pointer_cast<LdapDirectory>(*dir);
      ASSERT_NE(server, nullptr);
      Result<std::shared_ptr<AddressBook>> book = OpenLdapAddressBook(server);
      ASSERT_TRUE(book.ok()) << book.status().description();
      book_ = *book;
      return;
    }
    book_ = MakeDirectoryAddressBook(*dir, base);
  }

  AddressEntryPtr Resolve(std::string_view name) {
    Result<AddressEntryPtr> e = book_->ResolveName(name);
    EXPECT_TRUE(e.ok()) << name << ": " << e.status().description();
    return e.ok() ? *e : nullptr;
  }

  std::shared_ptr<AddressBook> book_;
};

// Outcome of one resolution: the entry's type and address, or an error number.
struct Resolution {
  std::string input;
  std::string type;     // "" when an error is expected
  std::string address;  // legacyExchangeDN for EX, the address for SMTP
  int32_t error = 0;
};

TEST_P(AddressBookTest, ResolutionTable) {
  const std::vector<Resolution> table = {
      // Distinguished names, any letter case.
      {"EX:" + Dn("jsmith"), "EX", Dn("jsmith")},
      {"ex:" + UpperCase(Dn("jsmith")), "EX", Dn("jsmith")},
      {"EX:/o=Contoso/cn=nobody", "", "", err::kUnresolved},
      // A bare distinguished name resolves by name resolution's exact legacyExchangeDN match.
      {LowerCase(Dn("jsmith")), "EX", Dn("jsmith")},
      // SMTP addresses: primary, secondary "smtp:" proxy, upper-case input, mail only.
      {"SMTP:Jane.Smith@contoso.com", "EX", Dn("jsmith")},
      {"SMTP:JS@CONTOSO.COM", "EX", Dn("jsmith")},
      {"smtp:js@contoso.com", "EX", Dn("jsmith")},
      {"jane.smith@CONTOSO.com", "EX", Dn("jsmith")},
      {"  js@contoso.com  ", "EX", Dn("jsmith")},
      {"sales@contoso.com", "EX", Dn("sales")},
      {"web.only@partner.example", "SMTP", "web.only@partner.example"},
      // Unknown internet addresses become one-off entries, the address as given.
      {"SMTP:Someone@Elsewhere.example", "SMTP", "Someone@Elsewhere.example"},
      {"someone@elsewhere.example", "SMTP", "someone@elsewhere.example"},
      // Hidden objects are not entries; their address is just an internet address.
      {"Hidden.User@contoso.com", "SMTP", "Hidden.User@contoso.com"},
      {"SMTP:not an address", "", "", err::kUnresolved},
      // Names: exact display name, alias, given + surname both ways, prefixes.
      {"Jane Smith", "EX", Dn("jsmith")},
      {"jane smith", "EX", Dn("jsmith")},
      {"jsmith", "EX", Dn("jsmith")},
      {"Johanna Brown", "EX", Dn("jbrown")},
      {"Brown Johanna", "EX", Dn("jbrown")},
      {"Smith Jane", "EX", Dn("jsmith")},
      {"Johan", "EX", Dn("jbrown")},
      {"Walker J", "EX", Dn("jwalker")},
      {"Sales", "EX", Dn("sales")},
      {"Zoë Ünal", "EX", Dn("zunal")},
      {"Ext Partner", "EX", Dn("extpartner")},
      // An exact match wins over prefixes that would be ambiguous.
      {"John", "EX", Dn("johns")},
      {"Smith", "", "", err::kAmbiguous},
      {"Jo", "", "", err::kAmbiguous},
      {"=Johan", "", "", err::kUnresolved},
      {"Nobody Here", "", "", err::kUnresolved},
      {"Hidden User", "", "", err::kUnresolved},
      {"Plain User", "", "", err::kUnresolved},
      {"", "", "", err::kUnresolved},
      {"a*)(mail=*", "", "", err::kUnresolved},  // filter characters are escaped
  };
  for (const Resolution& r : table) {
    SCOPED_TRACE(r.input);
    Result<AddressEntryPtr> e = book_->ResolveName(r.input);
    if (r.error != 0) {
      ASSERT_FALSE(e.ok());
      EXPECT_EQ(e.status().number(), r.error) << e.status().description();
      continue;
    }
    ASSERT_TRUE(e.ok()) << e.status().description();
    EXPECT_EQ((*e)->Type().value_or(""), r.type);
    EXPECT_EQ((*e)->Address().value_or(""), r.address);
  }
}

TEST_P(AddressBookTest, OneOffEntryForUnknownAddress) {
  AddressEntryPtr e = Resolve("SMTP:Someone@Elsewhere.example");
  ASSERT_NE(e, nullptr);
  EXPECT_EQ(e->Name().value_or(""), "Someone@Elsewhere.example");
  EXPECT_EQ(e->SmtpAddress().value_or(""), "Someone@Elsewhere.example");
  EXPECT_EQ(e->ID().value_or(""),
            BytesToHex(EncodeOneOffEntryId("Someone@Elsewhere.example", "SMTP",
                                           "Someone@Elsewhere.example")));
  EXPECT_EQ(e->Members()->size(), 0u);
  EXPECT_EQ(e->Field(0x800F101E).status().number(), err::kNotFound);
}

TEST_P(AddressBookTest, MailboxProperties) {
  AddressEntryPtr e = Resolve("Jane Smith");
  ASSERT_NE(e, nullptr);
  EXPECT_EQ(e->Name().value_or(""), "Jane Smith");
  EXPECT_EQ(e->DisplayType().value_or(-1), 0);
  EXPECT_EQ(e->SmtpAddress().value_or(""), "Jane.Smith@contoso.com");
  EXPECT_EQ(e->ID().value_or(""), BytesToHex(EncodeAddressBookEntryId(0, Dn("jsmith"))));
  const std::vector<std::pair<uint32_t, std::string>> texts = {
      {0x3001001E, "Jane Smith"},  {0x3002001E, "EX"},
      {0x3003001E, Dn("jsmith")},  {0x39FE001E, "Jane.Smith@contoso.com"},
      {0x3A1C001E, "+1 555 0100"}, {0x3A08001E, "+1 555 0110"},
      {0x3A23001E, "+1 555 0120"}, {0x3A09001E, "+1 555 0130"},
      {0x3A21001E, "+1 555 0140"}, {0x3A17001E, "Sales Manager"},
      {0x3A16001E, "Contoso Ltd"}, {0x3A18001E, "Sales"},
      {0x3A19001E, "Building 1"},  {0x3A29001E, "1 Main Street"},
      {0x3A27001E, "Springfield"}, {0x3A28001E, "IL"},
      {0x3A2A001E, "62701"},       {0x3A26001E, "United States"},
      {0x3A06001E, "Jane"},        {0x3A11001E, "Smith"},
      {0x3A44001E, "Q"},           {0x3A05001E, "Jr."},
  };
  for (const auto& [tag, expected] : texts) {
    Result<Variant> v = e->Field(tag);
    ASSERT_TRUE(v.ok()) << std::hex << tag << ": " << v.status().description();
    EXPECT_EQ(v->ToText(), expected) << std::hex << tag;
  }
  EXPECT_EQ(*e->Field(0x39000003), Variant::Long(0));
  EXPECT_EQ(e->Field(0x0FFF0102)->ToText(), e->ID().value_or(""));
  EXPECT_EQ(*e->Field(0x800F101E),
            Variant::Array({Variant("smtp:js@contoso.com"), Variant("SMTP:Jane.Smith@contoso.com"),
                            Variant("X500:/o=Old Org/ou=Site/cn=Recipients/cn=jsmith"),
                            Variant("X400:c=US;a= ;p=Contoso;o=First;s=Smith;g=Jane;")}));
  EXPECT_EQ(*e->Field(0x3A1B001E),
            Variant::Array({Variant("+1 555 0101"), Variant("+1 555 0102")}));
  EXPECT_EQ(*e->Field(0x3A2F001E), Variant::Array({Variant("+1 555 0200")}));
  for (uint32_t absent : {0x3A1F001Eu, 0x3A25001Eu}) {
    EXPECT_EQ(e->Field(absent).status().number(), err::kNotFound) << std::hex << absent;
  }
  // John has no phones at all.
  AddressEntryPtr john = Resolve("John Smith");
  ASSERT_NE(john, nullptr);
  for (uint32_t absent : {0x3A1C001Eu, 0x3A1B001Eu, 0x3A17001Eu}) {
    EXPECT_EQ(john->Field(absent).status().number(), err::kNotFound) << std::hex << absent;
  }
}

TEST_P(AddressBookTest, DisplayTypesFromDirectory) {
  const std::vector<std::pair<std::string, int32_t>> cases = {
      {"EX:" + Dn("jsmith"), 0},       // msExchHomeServerName
      {"EX:" + Dn("jbrown"), 0},       // msExchHomeServerName
      {"EX:" + Dn("jwalker"), 0},      // msExchRecipientDisplayType 0x40000000
      {"EX:" + Dn("extpartner"), 6},   // contact
      {"EX:" + Dn("sales"), 1},        // group
      {"EX:" + Dn("secadmins"), 1},    // security group 0x40000009
      {"EX:" + Dn("springfield"), 3},  // dynamic group
      {"EX:" + Dn("supportfolder"), 2}, {"EX:" + Dn("room101"), 0},  // room
      {"web.only@partner.example", 6},
  };
  for (const auto& [name, type] : cases) {
    AddressEntryPtr e = Resolve(name);
    ASSERT_NE(e, nullptr);
    EXPECT_EQ(e->DisplayType().value_or(-1), type) << name;
    EXPECT_EQ(*e->Field(0x39000003), Variant::Long(type)) << name;
  }
  // The display type is part of the entry ID.
  AddressEntryPtr sales = Resolve("Sales");
  ASSERT_NE(sales, nullptr);
  EXPECT_EQ(sales->ID().value_or(""), BytesToHex(EncodeAddressBookEntryId(1, Dn("sales"))));
}

std::vector<std::string> Names(const std::vector<AddressEntryPtr>& entries) {
  std::vector<std::string> out;
  for (const AddressEntryPtr& e : entries) out.push_back(e->Name().value_or("?"));
  return out;
}

TEST_P(AddressBookTest, MembersInStoredOrderSkippingNonEntries) {
  AddressEntryPtr sales = Resolve("Sales Team");
  ASSERT_NE(sales, nullptr);
  Result<std::vector<AddressEntryPtr>> members = sales->Members();
  ASSERT_TRUE(members.ok()) << members.status().description();
  // Hidden User, Plain User (not mail-enabled) and a member that no longer exists are left out.
  EXPECT_EQ(Names(*members), (std::vector<std::string>{"John Smith", "Ext Partner", "Jane Smith"}));

  AddressEntryPtr all = Resolve("All Staff");
  ASSERT_NE(all, nullptr);
  Result<std::vector<AddressEntryPtr>> nested = all->Members();
  ASSERT_TRUE(nested.ok());
  ASSERT_EQ(Names(*nested), (std::vector<std::string>{"Sales Team", "Brown, Johanna"}));
  EXPECT_EQ((*nested)[0]->DisplayType().value_or(-1), 1);
  EXPECT_EQ(Names((*nested)[0]->Members().value()).size(), 3u);

  AddressEntryPtr jane = Resolve("Jane Smith");
  ASSERT_NE(jane, nullptr);
  EXPECT_TRUE(jane->Members()->empty());
}

TEST_P(AddressBookTest, FindByDNIgnoresCaseAndSkipsHidden) {
  for (const std::string& dn : {Dn("jsmith"), UpperCase(Dn("jsmith")), LowerCase(Dn("jsmith"))}) {
    Result<AddressEntryPtr> e = book_->FindByDN(dn);
    ASSERT_TRUE(e.ok()) << dn;
    EXPECT_EQ((*e)->Address().value_or(""), Dn("jsmith"));
    EXPECT_EQ((*e)->Name().value_or(""), "Jane Smith");
  }
  for (const std::string& dn : {Dn("hidden"), Dn("nobody"), std::string(), Dn("jsmit")}) {
    Result<AddressEntryPtr> e = book_->FindByDN(dn);
    ASSERT_FALSE(e.ok()) << dn;
    EXPECT_EQ(e.status().number(), err::kNotFound) << dn;
  }
}

TEST_P(AddressBookTest, GetEntryRoundTrips) {
  for (std::string name : {"Jane Smith", "Sales Team", "Springfield Staff", "Ext Partner"}) {
    AddressEntryPtr e = Resolve(name);
    ASSERT_NE(e, nullptr);
    std::string id = e->ID().value_or("");
    for (const std::string& text : {id, LowerCase(id)}) {
      Result<AddressEntryPtr> back = book_->GetEntry(text);
      ASSERT_TRUE(back.ok()) << name << ": " << back.status().description();
      EXPECT_EQ((*back)->Address().value_or(""), e->Address().value_or("")) << name;
      EXPECT_EQ((*back)->ID().value_or(""), id) << name;
      EXPECT_EQ((*back)->DisplayType().value_or(-1), e->DisplayType().value_or(-2)) << name;
    }
  }
  // A directory object without Exchange DN comes back with its directory properties.
  AddressEntryPtr web = Resolve("web.only@partner.example");
  ASSERT_NE(web, nullptr);
  Result<AddressEntryPtr> web_back = book_->GetEntry(web->ID().value_or(""));
  ASSERT_TRUE(web_back.ok());
  EXPECT_EQ((*web_back)->Name().value_or(""), "Web Only");
  EXPECT_EQ((*web_back)->DisplayType().value_or(-1), 6);

  // A one-off ID of an unknown address, with a non-ASCII name, is rebuilt from its bytes.
  std::string one_off = BytesToHex(EncodeOneOffEntryId("Zoë Outside", "SMTP", "zo@out.example"));
  Result<AddressEntryPtr> outside = book_->GetEntry(one_off);
  ASSERT_TRUE(outside.ok()) << outside.status().description();
  EXPECT_EQ((*outside)->Type().value_or(""), "SMTP");
  EXPECT_EQ((*outside)->Name().value_or(""), "Zoë Outside");
  EXPECT_EQ((*outside)->Address().value_or(""), "zo@out.example");
  EXPECT_EQ((*outside)->ID().value_or(""), one_off);

  // A well-formed ID of an unknown or hidden DN, and text that is no entry ID.
  for (const std::string& dn : {Dn("nobody"), Dn("hidden")}) {
    Result<AddressEntryPtr> none = book_->GetEntry(BytesToHex(EncodeAddressBookEntryId(0, dn)));
    ASSERT_FALSE(none.ok());
    EXPECT_EQ(none.status().number(), err::kNotFound);
  }
  for (std::string bad : {"", "XYZ", "00000000"}) {
    Result<AddressEntryPtr> none = book_->GetEntry(bad);
    ASSERT_FALSE(none.ok()) << bad;
    EXPECT_EQ(none.status().number(), err::kInvalidEntryId) << bad;
  }
}

TEST_P(AddressBookTest, ListAndInternetDirectoryEntries) {
  AddressEntryPtr sales = Resolve("Sales Team");
  ASSERT_NE(sales, nullptr);
  EXPECT_EQ(sales->SmtpAddress().value_or(""), "Sales@contoso.com");
  // A list without an SMTP proxy: its mail is the SMTP address.
  AddressEntryPtr sec = Resolve("Security Admins");
  ASSERT_NE(sec, nullptr);
  EXPECT_EQ(sec->SmtpAddress().value_or(""), "SecAdmins@contoso.com");
  EXPECT_EQ(sec->Field(0x800F101E).status().number(), err::kNotFound);

  AddressEntryPtr web = Resolve("SMTP:WEB.ONLY@partner.example");
  ASSERT_NE(web, nullptr);
  EXPECT_EQ(web->Type().value_or(""), "SMTP");
  EXPECT_EQ(web->Address().value_or(""), "web.only@partner.example");
  EXPECT_EQ(web->Name().value_or(""), "Web Only");
  EXPECT_EQ(web->ID().value_or(""),
            BytesToHex(EncodeOneOffEntryId("Web Only", "SMTP", "web.only@partner.example")));
  EXPECT_EQ(web->Field(0x3003001E)->ToText(), "web.only@partner.example");
}

INSTANTIATE_TEST_SUITE_P(AddressBook, AddressBookTest,
                         ::testing::Values(Backend{"Embedded", OpenEmbedded},
                                           Backend{"Slapd", OpenSlapd},
                                           Backend{"SlapdSnapshot", OpenSlapd, true}),
                         [](const ::testing::TestParamInfo<Backend>& p) { return p.param.name; });

}  // namespace
}  // namespace testqav

namespace testqav {
namespace {

// Passes searches on to the embedded directory and records their filters, so that the cost
// of a look-up can be asserted.
class CountingDirectory : public Directory {
 public:
  explicit CountingDirectory(std::shared_ptr<Directory> inner) : inner_(std::move(inner)) {}
  Result<DirectoryEntry> RootDse() override { return inner_->RootDse(); }
  Result<std::vector<DirectoryEntry>> Search(std::string_view base_dn, SearchScope scope,
                                             std::string_view filter,
                                             const std::vector<std::string>& attributes) override {
    (scope == SearchScope::kBase ? reads : filters).emplace_back(filter);
    if (down) return Status(err::kDirServerDown, "The server is not operational");
    return inner_->Search(base_dn, scope, filter, attributes);
  }
  bool down = false;                 // every search fails as with a server that is gone
  std::vector<std::string> filters;  // searches under the base
  std::vector<std::string> reads;    // base searches: one object read whole

 private:
  std::shared_ptr<Directory> inner_;
};

// A directory of `users` mailboxes, each with a primary and a secondary SMTP address.
std::string LargeOrg(int users) {
  std::string ldif = "dn: DC=big,DC=example\nobjectClass: top\nobjectClass: domain\ndc: big\n\n";
  for (int i = 0; i < users; ++i) {
    std::string n = std::to_string(i);
    ldif += "dn: CN=User " + n + ",DC=big,DC=example\nobjectClass: user\ncn: User " + n +
            "\ndisplayName: User " + n + "\nmail: user" + n +
            "@big.example\nlegacyExchangeDN: " + "/o=Big/cn=Recipients/cn=user" + n +
            "\nproxyAddresses: SMTP:user" + n + "@big.example\nproxyAddresses: smtp:u" + n +
            "@old.example\n\n";
  }
  return ldif;
}

TEST(AddressBookCostTest, AddressLookupsAreSingleEqualitySearches) {
  std::ostringstream diagnostics;
  auto inner = LdifDirectoryFromText(LargeOrg(10000), "big.ldif", diagnostics);
  ASSERT_TRUE(inner.ok()) << inner.status().description();
  auto counting = std::make_shared<CountingDirectory>(*inner);
  std::shared_ptr<AddressBook> book = MakeDirectoryAddressBook(counting, "DC=big,DC=example");

  // Every user resolved by a secondary address: one search each, no substring filters, and
  // each object read whole once, when it first becomes an entry.
  auto resolve_all = [&] {
    for (int i = 0; i < 10000; ++i) {
      std::string n = std::to_string(i);
      Result<AddressEntryPtr> e = book->ResolveName("SMTP:U" + n + "@OLD.example");
      ASSERT_TRUE(e.ok()) << n;
      ASSERT_EQ((*e)->Address().value_or(""), "/o=Big/cn=Recipients/cn=user" + n);
    }
  };
  resolve_all();
  ASSERT_EQ(counting->filters.size(), 10000u);
  for (const std::string& f : counting->filters) {
    ASSERT_EQ(f.find('*'), std::string::npos) << f;
  }
  EXPECT_EQ(counting->reads.size(), 10000u);

  // Resolving them again is answered from what the first pass found.
  counting->filters.clear();
  counting->reads.clear();
  resolve_all();
  EXPECT_EQ(counting->filters.size(), 0u);
  EXPECT_EQ(counting->reads.size(), 0u);

  // The same address without the prefix is the same search, already made.
  for (int i = 0; i < 10000; i += 997) {
    std::string n = std::to_string(i);
    Result<AddressEntryPtr> bare = book->ResolveName("U" + n + "@OLD.example");
    ASSERT_TRUE(bare.ok()) << n;
    EXPECT_EQ((*bare)->Address().value_or(""), "/o=Big/cn=Recipients/cn=user" + n);
  }
  EXPECT_EQ(counting->filters.size(), 0u);
  // Another spelling of it is another search (a one-off entry keeps the spelling given).
  ASSERT_TRUE(book->ResolveName("u5@old.example").ok());
  EXPECT_EQ(counting->filters.size(), 1u);
  counting->filters.clear();

  // So is a name that resolves to nothing: the second attempt gives the same answer
  // without searching.
  Result<AddressEntryPtr> nobody = book->ResolveName("Nobody Known");
  ASSERT_EQ(nobody.status().number(), err::kUnresolved);
  EXPECT_GT(counting->filters.size(), 0u);
  counting->filters.clear();
  EXPECT_EQ(book->ResolveName("Nobody Known").status().number(), err::kUnresolved);
  EXPECT_EQ(counting->filters.size(), 0u);

  // A name found by ambiguous name resolution answers its other spellings too (every
  // attribute compared ignores case): an ODN as a registration and as the directory spell it.
  Result<AddressEntryPtr> odn = book->ResolveName("/o=Big/cn=Recipients/cn=user42");
  ASSERT_TRUE(odn.ok()) << odn.status().description();
  counting->filters.clear();
  Result<AddressEntryPtr> upper = book->ResolveName(" /O=BIG/CN=RECIPIENTS/CN=USER42");
  ASSERT_TRUE(upper.ok());
  EXPECT_EQ(upper->get(), odn->get());
  EXPECT_EQ(counting->filters.size(), 0u);
  // A failure is not shared: its message names the text given.
  EXPECT_EQ(book->ResolveName("NOBODY KNOWN").status().description().find("Nobody"),
            std::string::npos);

  // A failing directory is not an answer: the same name is searched again once it is back.
  counting->down = true;
  EXPECT_EQ(book->ResolveName("User 5").status().number(), err::kDirServerDown);
  counting->down = false;
  Result<AddressEntryPtr> back = book->ResolveName("User 5");
  ASSERT_TRUE(back.ok()) << back.status().description();
  EXPECT_EQ((*back)->Address().value_or(""), "/o=Big/cn=Recipients/cn=user5");

  // The DN of an entry already seen costs no search; an unseen one costs one.
  counting->filters.clear();
  ASSERT_TRUE(book->FindByDN("/O=BIG/cn=Recipients/cn=user17").ok());
  EXPECT_EQ(counting->filters.size(), 0u);
  counting->filters.clear();
  ASSERT_TRUE(
      book->GetEntry(BytesToHex(EncodeAddressBookEntryId(0, "/o=Big/cn=x"))).status().number() ==
      err::kNotFound);
  EXPECT_EQ(counting->filters.size(), 1u);
}

}  // namespace
}  // namespace testqav

namespace testqav {
namespace {

// Like CountingDirectory, for a directory that may be searched from two threads: it says so,
// and counts under a lock.
class ConcurrentCountingDirectory : public Directory, public SearchHints {
 public:
  ConcurrentCountingDirectory(std::shared_ptr<Directory> inner, bool concurrent)
      : inner_(std::move(inner)), concurrent_(concurrent) {}
  Result<DirectoryEntry> RootDse() override { return inner_->RootDse(); }
  Result<std::vector<DirectoryEntry>> Search(std::string_view base_dn, SearchScope scope,
                                             std::string_view filter,
                                             const std::vector<std::string>& attributes) override {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      filters_.emplace_back(filter);
    }
    searched_.notify_all();
    return inner_->Search(base_dn, scope, filter, attributes);
  }
  void ExpectEqualitySearches(const std::vector<std::string>& /*attributes*/) override {}
  void ExpectPrefixSearches(const std::vector<std::string>& /*attributes*/) override {}
  bool ConcurrentSearches() const override { return concurrent_; }
  // Waits (up to a minute, for slow sanitized builds) until `count` searches were made.
  bool WaitForSearches(size_t count) {
    std::unique_lock<std::mutex> lock(mutex_);
    return searched_.wait_for(lock, std::chrono::minutes(1),
                              [&] { return filters_.size() >= count; });
  }
  std::vector<std::string> Filters() {
    std::lock_guard<std::mutex> lock(mutex_);
    return filters_;
  }
  void Clear() {
    std::lock_guard<std::mutex> lock(mutex_);
    filters_.clear();
  }

 private:
  std::shared_ptr<Directory> inner_;
  bool concurrent_;
  std::mutex mutex_;
  std::condition_variable searched_;
  std::vector<std::string> filters_;  // every search, base ones included
};

using Kind = AnticipatedLookup::Kind;

std::shared_ptr<Directory> EmbeddedOrg() {
  std::ostringstream diagnostics;
  Result<std::shared_ptr<Directory>> dir =
      LoadLdifDirectory((DataDir() / "org.ldif").string(), diagnostics);
  return dir.ok() ? *dir : nullptr;
}

// What a look-up answered, as text, for comparing two address books.
std::string Outcome(const Result<AddressEntryPtr>& e) {
  if (!e.ok())
    return "error " + std::to_string(e.status().number()) + " " + e.status().description();
  return (*e)->Type().value_or("?") + " " + (*e)->Address().value_or("?") + " " +
         (*e)->ID().value_or("?");
}

TEST(AddressBookAnticipationTest, AnswersAreThoseOfABookNotToldAhead) {
  std::shared_ptr<Directory> dir = EmbeddedOrg();
  ASSERT_NE(dir, nullptr);
  auto* hints = dynamic_cast<SearchHints*>(dir.get());
  ASSERT_TRUE(hints != nullptr && hints->ConcurrentSearches());
  const std::string base = dir->RootDse()->First("defaultNamingContext");
  // Found and not found, ambiguous, one-off, prefix-only and hidden: every kind of answer.
  const std::vector<std::string> names = {"EX:" + Dn("jsmith"),
                                          LowerCase(Dn("jsmith")),
                                          "SMTP:Jane.Smith@contoso.com",
                                          "js@contoso.com",
                                          "SMTP:Someone@Elsewhere.example",
                                          "Smith",
                                          "Jo",
                                          "Johan",
                                          "Nobody Here",
                                          "Hidden.User@contoso.com",
                                          "SMTP:not an address",
                                          "",
                                          "Zoë Ünal",
                                          "sales@contoso.com"};
  const std::vector<std::string> dns = {Dn("jsmith"), UpperCase(Dn("jbrown")),
                                        "/o=Contoso/cn=nobody", Dn("sales"), ""};
  std::shared_ptr<AddressBook> plain = MakeDirectoryAddressBook(EmbeddedOrg(), base);
  // Several rounds, so that the caller races the other thread at different points.
  for (int round = 0; round < 20; ++round) {
    SCOPED_TRACE(round);
    std::shared_ptr<AddressBook> ahead = MakeDirectoryAddressBook(dir, base);
    std::vector<AnticipatedLookup> lookups;
    for (const std::string& n : names) lookups.push_back({Kind::kName, n, false, {}});
    for (const std::string& d : dns) lookups.push_back({Kind::kDistinguishedName, d, true, {}});
    dynamic_cast<LookAhead&>(*ahead).Anticipate(lookups);
    for (size_t i = 0; i < names.size(); ++i) {
      const std::string& n = names[(i + round) % names.size()];
      Result<AddressEntryPtr> first = ahead->ResolveName(n);
      EXPECT_EQ(Outcome(first), Outcome(plain->ResolveName(n))) << n;
      // Every later call hands out the very same entry.
      Result<AddressEntryPtr> again = ahead->ResolveName(n);
      if (first.ok() && again.ok()) {
        EXPECT_EQ(first->get(), again->get()) << n;
      }
    }
    for (const std::string& d : dns) {
      EXPECT_EQ(Outcome(ahead->FindByDN(d)), Outcome(plain->FindByDN(d))) << d;
    }
    // The book goes with work possibly still queued: it must stop its thread cleanly.
    dynamic_cast<LookAhead&>(*ahead).Anticipate(lookups);
  }
}

// LargeOrg(users) in the embedded directory, behind a ConcurrentCountingDirectory; nullptr
// when it does not load.
std::shared_ptr<ConcurrentCountingDirectory> CountingLargeOrg(int users, bool concurrent) {
  std::ostringstream diagnostics;
  auto inner = LdifDirectoryFromText(LargeOrg(users), "big.ldif", diagnostics);
  if (!inner.ok()) return nullptr;
  return std::make_shared<ConcurrentCountingDirectory>(*inner, concurrent);
}

TEST(AddressBookAnticipationTest, AnticipatedLookupsCostNoSearchWhenMade) {
  auto counting = CountingLargeOrg(2000, true);
  ASSERT_NE(counting, nullptr);
  std::shared_ptr<AddressBook> book = MakeDirectoryAddressBook(counting, "DC=big,DC=example");

  std::vector<AnticipatedLookup> lookups;
  for (int i = 0; i < 2000; ++i) {
    const std::string n = std::to_string(i);
    lookups.push_back({Kind::kDistinguishedName, "/o=Big/cn=Recipients/cn=user" + n, true, {}});
    lookups.push_back({Kind::kName, "SMTP:u" + n + "@old.example", false, {}});
  }
  // A DN that the directory does not know is not resolved as a name afterwards: that would
  // be a search for every prefix of it, over every entry.
  lookups.push_back({Kind::kDistinguishedName, "/o=Big/cn=Recipients/cn=gone", true, {}});
  dynamic_cast<LookAhead&>(*book).Anticipate(lookups);
  // One search for each DN and each address, then one (the name's) for each DN found.
  ASSERT_TRUE(counting->WaitForSearches(6001)) << counting->Filters().size() << " searches";
  for (const std::string& f : counting->Filters()) ASSERT_EQ(f.find('*'), std::string::npos) << f;
  counting->Clear();
  for (int i = 0; i < 2000; ++i) {
    const std::string n = std::to_string(i);
    const std::string dn = "/o=Big/cn=Recipients/cn=user" + n;
    Result<AddressEntryPtr> by_dn = book->FindByDN(dn);
    Result<AddressEntryPtr> by_name = book->ResolveName(dn);
    Result<AddressEntryPtr> by_smtp = book->ResolveName("SMTP:u" + n + "@old.example");
    ASSERT_TRUE(by_dn.ok() && by_name.ok() && by_smtp.ok()) << n;
    ASSERT_EQ(by_dn->get(), by_name->get()) << n;
    ASSERT_EQ(by_dn->get(), by_smtp->get()) << n;
  }
  EXPECT_EQ(counting->Filters().size(), 0u);
}

// A row whose ODN the directory does not know is then resolved by that ODN and by its SMTP
// address; announced with those names, the whole costly round is made ahead.
TEST(AddressBookAnticipationTest, NamesOfAnUnknownDnAreResolvedAhead) {
  const std::string gone = "/o=Big/cn=Recipients/cn=gone";
  const std::string smtp = "SMTP:u7@old.example";
  auto look_up = [&](AddressBook& book) {
    return std::vector<std::string>{Outcome(book.FindByDN(gone)), Outcome(book.ResolveName(gone)),
                                    Outcome(book.ResolveName(smtp))};
  };
  auto alone = CountingLargeOrg(300, true);
  auto counting = CountingLargeOrg(300, true);
  ASSERT_TRUE(alone != nullptr && counting != nullptr);
  std::shared_ptr<AddressBook> plain = MakeDirectoryAddressBook(alone, "DC=big,DC=example");
  const std::string last = "SMTP:u8@old.example";
  const std::vector<std::string> expected = look_up(*plain);
  plain->ResolveName(last).IgnoreError();
  const size_t searches = alone->Filters().size();

  std::shared_ptr<AddressBook> book = MakeDirectoryAddressBook(counting, "DC=big,DC=example");
  // The other thread keeps an answer after its searches: a last look-up, not checked, tells
  // when the ones before it are kept.
  dynamic_cast<LookAhead&>(*book).Anticipate(
      {{Kind::kDistinguishedName, gone, true, {gone, smtp}}, {Kind::kName, last, false, {}}});
  ASSERT_TRUE(counting->WaitForSearches(searches)) << counting->Filters().size() << " searches";
  counting->Clear();
  EXPECT_EQ(look_up(*book), expected);
  EXPECT_EQ(counting->Filters(), std::vector<std::string>{});
}

TEST(AddressBookAnticipationTest, DirectoryThatCannotBeSharedIsLeftToTheCaller) {
  auto counting = CountingLargeOrg(50, false);
  ASSERT_NE(counting, nullptr);
  {
    std::shared_ptr<AddressBook> book = MakeDirectoryAddressBook(counting, "DC=big,DC=example");
    std::vector<AnticipatedLookup> lookups;
    for (int i = 0; i < 50; ++i) {
      lookups.push_back({Kind::kName, "SMTP:u" + std::to_string(i) + "@old.example", false, {}});
    }
    // A book that answers ahead starts its thread inside Anticipate: counting the process's
    // threads around the call tells, without waiting, that none was started.
    const auto threads = [] {
      return std::distance(std::filesystem::directory_iterator("/proc/self/task"),
                           std::filesystem::directory_iterator());
    };
    const auto before = threads();
    dynamic_cast<LookAhead&>(*book).Anticipate(lookups);
    EXPECT_EQ(threads(), before);
  }  // the book is gone: nothing of it may still search
  EXPECT_EQ(counting->Filters().size(), 0u);
}

}  // namespace
}  // namespace testqav
