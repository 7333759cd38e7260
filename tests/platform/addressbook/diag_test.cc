// The address book's opener and the diagnostic commands, over a server folder that holds the
// test organisation as directory.ldif.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "app/diag_resolve.h"
#include "app/diag_search.h"
#include "platform/addressbook/address_book.h"
#include "platform/addressbook/entry_id.h"
#include "platform/common/error_codes.h"
#include "support/temp_dir.h"

namespace testqav {
namespace {

namespace fs = std::filesystem;

fs::path OrgLdif() {
  const char* src = std::getenv("TESTQAV_SOURCE_DIR");
  return fs::path(src ? src : ".") / "tests/platform/addressbook/data/org.ldif";
}

class AddressBookServerFolderTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_FALSE(temp_.path().empty());
    dir_ = temp_.path();
  }
  void WithLdif() { fs::copy_file(OrgLdif(), dir_ / "directory.ldif"); }
  void Write(const std::string& name, const std::string& text) {
    std::ofstream(dir_ / name) << text;
  }

  testing::TempDir temp_;
  fs::path dir_;
};

TEST_F(AddressBookServerFolderTest, OpenAddressBookFromLdif) {
  WithLdif();
  std::ostringstream diagnostics;
  Result<std::shared_ptr<AddressBook>> book = OpenAddressBook(dir_, diagnostics);
  ASSERT_TRUE(book.ok()) << book.status().description();
  Result<AddressEntryPtr> e = (*book)->ResolveName("jsmith");
  ASSERT_TRUE(e.ok());
  EXPECT_EQ((*e)->Name().value_or(""), "Jane Smith");
}

TEST_F(AddressBookServerFolderTest, OpenAddressBookFailures) {
  std::ostringstream diagnostics;
  Result<std::shared_ptr<AddressBook>> none = OpenAddressBook(dir_, diagnostics);
  ASSERT_FALSE(none.ok());
  EXPECT_EQ(none.status().number(), err::kNotFound);
  EXPECT_NE(none.status().description().find("directory.ldif"), std::string::npos);
  EXPECT_NE(none.status().description().find("directory.conf"), std::string::npos);

  Write("directory.conf", "this is not a setting\n");
  Result<std::shared_ptr<AddressBook>> bad_conf = OpenAddressBook(dir_, diagnostics);
  ASSERT_FALSE(bad_conf.ok());
  EXPECT_EQ(bad_conf.status().number(), err::kInvalidArg);

  // The LDIF wins over the configuration; a broken one is reported with its line.
  Write("directory.ldif", "dn: CN=a,DC=x\nno colon here\n");
  Result<std::shared_ptr<AddressBook>> bad_ldif = OpenAddressBook(dir_, diagnostics);
  ASSERT_FALSE(bad_ldif.ok());
  EXPECT_EQ(bad_ldif.status().number(), err::kCorrupt);
  EXPECT_NE(diagnostics.str().find("directory.ldif:2"), std::string::npos) << diagnostics.str();
}

TEST_F(AddressBookServerFolderTest, ResolvePrintsEntryAndProperties) {
  WithLdif();
  std::ostringstream out, err;
  ASSERT_EQ(RunResolve(dir_, "SMTP:js@contoso.com", out, err), 0) << err.str();
  const std::string dn = "/o=Contoso/ou=First Administrative Group/cn=Recipients/cn=jsmith";
  const std::string id = BytesToHex(EncodeAddressBookEntryId(0, dn));
  const std::string expected_head =
      "name: SMTP:js@contoso.com\n"
      "resolved: yes\n"
      "address type: EX\n"
      "display type: 0\n"
      "entry id: " +
      id +
      "\n"
      "entry name: Jane Smith\n"
      "address: " +
      dn +
      "\n"
      "smtp address: Jane.Smith@contoso.com\n"
      "properties:\n"
      "  0x0FFF0102 " +
      id +
      "\n"
      "  0x3001001E Jane Smith\n"
      "  0x3002001E EX\n"
      "  0x3003001E " +
      dn +
      "\n"
      "  0x39000003 0\n"
      "  0x39FE001E Jane.Smith@contoso.com\n"
      "  0x800F101E (4 values)\n"
      "    [0] smtp:js@contoso.com\n"
      "    [1] SMTP:Jane.Smith@contoso.com\n"
      "    [2] X500:/o=Old Org/ou=Site/cn=Recipients/cn=jsmith\n"
      "    [3] X400:c=US;a= ;p=Contoso;o=First;s=Smith;g=Jane;\n"
      "  0x3A1C001E +1 555 0100\n";
  EXPECT_EQ(out.str().substr(0, expected_head.size()), expected_head);
  for (std::string line : {"  0x3A1B001E (2 values)\n    [0] +1 555 0101\n    [1] +1 555 0102\n",
                           "  0x3A1F001E (absent)\n", "  0x3A25001E (absent)\n",
                           "  0x3A29001E 1 Main Street\n", "  0x3A05001E Jr.\n"}) {
    EXPECT_NE(out.str().find(line), std::string::npos) << line;
  }
  EXPECT_EQ(err.str(), "");
}

TEST_F(AddressBookServerFolderTest, ResolveListsMembers) {
  WithLdif();
  std::ostringstream out, err;
  ASSERT_EQ(RunResolve(dir_, "All Staff", out, err), 0) << err.str();
  EXPECT_NE(out.str().find("display type: 1\n"), std::string::npos);
  EXPECT_NE(out.str().find("members: 2\n"
                           "    Sales Team <EX:/o=Contoso/ou=First Administrative "
                           "Group/cn=Recipients/cn=sales>\n"
                           "    Brown, Johanna <EX:/o=Contoso/ou=First Administrative "
                           "Group/cn=Recipients/cn=jbrown>\n"),
            std::string::npos)
      << out.str();
}

TEST_F(AddressBookServerFolderTest, ResolveErrorsPrintNumberAndDescription) {
  std::ostringstream out, err;
  EXPECT_EQ(RunResolve(dir_, "Jane", out, err), 1);
  EXPECT_NE(err.str().find("error 0x8004010F"), std::string::npos) << err.str();

  WithLdif();
  std::ostringstream out2, err2;
  EXPECT_EQ(RunResolve(dir_, "Smith", out2, err2), 1);
  EXPECT_NE(out2.str().find("resolved: no"), std::string::npos);
  EXPECT_NE(err2.str().find("error 0x80040700: The name is ambiguous: Smith"), std::string::npos)
      << err2.str();

  std::ostringstream out3, err3;
  EXPECT_EQ(RunResolve(dir_, "Nobody Here", out3, err3), 1);
  EXPECT_NE(err3.str().find("error 0x80040607"), std::string::npos) << err3.str();
}

TEST_F(AddressBookServerFolderTest, SearchPrintsRowsAsLdif) {
  WithLdif();
  std::ostringstream out, err;
  ASSERT_EQ(RunSearch(dir_,
                      "<GC://DC=contoso,DC=com>;(&(objectClass=group)(mail=*));"
                      "mail,displayName,member;subtree",
                      out, err),
            0)
      << err.str();
  EXPECT_EQ(out.str(),
            "dn: CN=Sales Team,OU=Staff,DC=contoso,DC=com\n"
            "mail: Sales@contoso.com\n"
            "displayName: Sales Team\n"
            "member: CN=John Smith,OU=Staff,DC=contoso,DC=com\n"
            "member: CN=Hidden User,OU=Staff,DC=contoso,DC=com\n"
            "member: CN=Plain User,OU=Staff,DC=contoso,DC=com\n"
            "member: CN=Ext Partner,OU=Staff,DC=contoso,DC=com\n"
            "member: CN=Gone Away,OU=Staff,DC=contoso,DC=com\n"
            "member: CN=Jane Smith,OU=Staff,DC=contoso,DC=com\n"
            "\n"
            "dn: CN=All Staff,OU=Staff,DC=contoso,DC=com\n"
            "mail: AllStaff@contoso.com\n"
            "displayName: All Staff\n"
            "member: CN=Sales Team,OU=Staff,DC=contoso,DC=com\n"
            "member: CN=Johanna Brown,OU=Staff,DC=contoso,DC=com\n"
            "\n"
            "dn: CN=Security Admins,OU=Staff,DC=contoso,DC=com\n"
            "mail: SecAdmins@contoso.com\n"
            "displayName: Security Admins\n"
            "\n");
  EXPECT_EQ(err.str(), "");

  std::ostringstream zoe, zoe_err;
  ASSERT_EQ(RunSearch(dir_, "<LDAP://DC=contoso,DC=com>;(mailNickname=zunal);displayName,sn", zoe,
                      zoe_err),
            0)
      << zoe_err.str();
  EXPECT_EQ(zoe.str(),
            "dn: CN=Zoe Unal,OU=Staff,DC=contoso,DC=com\n"
            "displayName:: Wm/DqyDDnG5hbA==\n"
            "sn:: w5xuYWw=\n"
            "\n");

  std::ostringstream base, base_err;
  ASSERT_EQ(
      RunSearch(dir_, "<GC://OU=Staff,DC=contoso,DC=com>;(objectClass=*);ou;base", base, base_err),
      0)
      << base_err.str();
  EXPECT_EQ(base.str(), "dn: OU=Staff,DC=contoso,DC=com\nou: Staff\n\n");

  std::ostringstream root, root_err;
  ASSERT_EQ(
      RunSearch(dir_, "<GC://rootDSE>;(objectClass=*);defaultNamingContext;base", root, root_err),
      0)
      << root_err.str();
  EXPECT_EQ(root.str(), "dn: \ndefaultNamingContext: DC=contoso,DC=com\n\n");
}

TEST_F(AddressBookServerFolderTest, SearchErrorsPrintNumberAndDescription) {
  struct Case {
    std::string command;
    std::string number;
  };
  std::ostringstream none_out, none_err;
  EXPECT_EQ(RunSearch(dir_, "<GC://DC=contoso,DC=com>;(cn=*);cn;subtree", none_out, none_err), 1);
  EXPECT_NE(none_err.str().find("error 0x8004010F"), std::string::npos) << none_err.str();

  WithLdif();
  const std::vector<Case> cases = {
      {"<GC://DC=contoso,DC=com>;(cn=a;cn;subtree", "0x80005014"},  // malformed filter
      {"<GC://OU=Nowhere,DC=contoso,DC=com>;(cn=*);cn;subtree", "0x80072030"},
      {"no command at all", "0x80070057"},
  };
  for (const Case& c : cases) {
    std::ostringstream out, err;
    EXPECT_EQ(RunSearch(dir_, c.command, out, err), 1) << c.command;
    EXPECT_NE(err.str().find("error " + c.number + ": "), std::string::npos)
        << c.command << " -> " << err.str();
    EXPECT_EQ(out.str(), "") << c.command;
  }
}

TEST(AddressBookLdifOutputTest, SafeStrings) {
  for (std::string_view safe : {"", "plain", "a: b", "x<y", "trailing:", "(&(a=b))"}) {
    EXPECT_TRUE(IsSafeLdifString(safe)) << safe;
  }
  for (std::string_view unsafe :
       std::vector<std::string_view>{" lead", ":colon", "<angle", "trail ", "Zoë", "a\nb", "a\rb",
                                     std::string_view("a\0b", 3)}) {
    EXPECT_FALSE(IsSafeLdifString(unsafe)) << unsafe;
  }
}

TEST(AddressBookLdifOutputTest, RecordsInRequestedOrderWithBase64) {
  DirectoryEntry e{"CN=Zoë Ünal,DC=x",
                   {{"cn", {"Zoë Ünal"}},
                    {"mail", {"z@x.example"}},
                    {"description", {" padded", "ok"}},
                    {"sn", {"Ünal"}}}};
  std::ostringstream requested;
  WriteLdifRecord(e, {"MAIL", "missing", "description", "cn"}, requested);
  EXPECT_EQ(requested.str(),
            "dn:: Q049Wm/DqyDDnG5hbCxEQz14\n"
            "MAIL: z@x.example\n"
            "description:: IHBhZGRlZA==\n"
            "description: ok\n"
            "cn:: Wm/DqyDDnG5hbA==\n"
            "\n");
  std::ostringstream all;
  WriteLdifRecord(e, {}, all);
  EXPECT_EQ(all.str(),
            "dn:: Q049Wm/DqyDDnG5hbCxEQz14\n"
            "cn:: Wm/DqyDDnG5hbA==\n"
            "mail: z@x.example\n"
            "description:: IHBhZGRlZA==\n"
            "description: ok\n"
            "sn:: w5xuYWw=\n"
            "\n");
}

}  // namespace
}  // namespace testqav
