// The GAL supplement over a real session and directory: records built by hand in the QAV
// data set, completed from the directory entries their SMTP addresses resolve to.
#include <gtest/gtest.h>

#include "engine/qav.h"
#include "support/org_fixture.h"
#include "support/recording_session.h"

namespace testqav {
namespace {

using testing::OrgDN;

// Keeps every line, the trace level included: the supplement reports its labels there.
class FullLog : public LogWriter {
 public:
  void WriteLog(const std::string& message, int32_t level) override {
    lines.emplace_back(level, message);
  }
  bool Has(const std::string& message, int32_t level) const {
    for (const auto& [l, m] : lines) {
      if (l == level && m == message) return true;
    }
    return false;
  }
  std::string Dump() const {
    std::string out;
    for (const auto& [l, m] : lines) out += std::to_string(l) + ": " + m + "\n";
    return out;
  }
  std::vector<std::pair<int32_t, std::string>> lines;
};

using Fields = std::vector<std::pair<std::string, Variant>>;

class GalSupplement : public ::testing::Test {
 protected:
  void SetUp() override {
    org_.ldif
        .User("gal1", "gal1@contoso.test",
              {"SMTP:gal1@contoso.test", "smtp:Gal.One@Contoso.test", "smtp:gal_1%x@contoso.test",
               "X400:c=US;a= ;p=Contoso;", "X500:/o=Old/cn=gal1"},
              {{"telephoneNumber", "+1 555 0101"},
               {"mobile", "+1 555 0102"},
               {"homePhone", " +1 555 0103 "},
               {"pager", "+1 555 0104"},
               {"facsimileTelephoneNumber", "+1 555 0105"},
               {"otherTelephone", "+1 555 0106"},
               {"otherTelephone", "+1 555 0107"},
               {"otherHomePhone", "+1 555 0108"},
               {"title", ": ICAg"},  // three blanks
               {"company", "Contoso"},
               {"department", "Sales"},
               {"physicalDeliveryOfficeName", "B2"},
               {"streetAddress", "1 Road"},
               {"l", "Town"},
               {"st", "WA"},
               {"postalCode", "98052"},
               {"co", "United States"}})
        .User("plain", "plain@contoso.test", {"SMTP:plain@contoso.test"});
    org_.Write();
    session_ = std::make_shared<testing::RecordingSession>(
        CreateJsonSession(org_.path(), diagnostics_, testing::RealAddressBook()));
    ASSERT_TRUE(session_->Logon("EXCH01\nagent").ok()) << diagnostics_.str();
    rt_.g.MapiSession = session_;
    engine_ = std::make_unique<QAV>(rt_);
    engine_->CreateQAVData();
    log_.lines.clear();
  }
  void TearDown() override {
    engine_.reset();
    rt_.g.MapiSession->Logoff().IgnoreError();
  }
  void Add(const Fields& fields) {
    Recordset& r = *engine_->rstQAV;
    ASSERT_TRUE(r.AddNew().ok());
    for (const auto& [name, value] : fields) ASSERT_TRUE(r.SetValue(name, value).ok()) << name;
    ASSERT_TRUE(r.Update().ok());
  }
  // Field `name` of record `index` (0-based, insertion order).
  Variant Get(int index, const std::string& name) {
    Recordset& r = *engine_->rstQAV;
    r.MoveFirst().IgnoreError();
    for (int i = 0; i < index; ++i) r.MoveNext().IgnoreError();
    auto v = r.Value(name);
    return v.ok() ? *v : Variant("<error>");
  }
  std::string Text(int index, const std::string& name) { return Get(index, name).ToText(); }

  testing::OrgFixture org_;
  std::ostringstream diagnostics_;
  std::shared_ptr<testing::RecordingSession> session_;
  FullLog log_;
  testing::FakeHost host_;
  Runtime rt_{log_, host_};
  std::unique_ptr<QAV> engine_;
};

TEST_F(GalSupplement, FillsOnlyWhatTheRecordLacks) {
  Add({{"SMTP", Variant("gal1@contoso.test")},
       {"QAV Business Phone", Variant("kept")},
       {"MobilePhone", Variant("")},
       {"Department", Variant("")},
       {"Proxies", Variant(";GAL1@CONTOSO.TEST;gal#951#25x@contoso.test;")}});
  engine_->UpdateRstFromGAL();
  EXPECT_EQ(Text(0, "QAV Business Phone"), "kept");
  // An empty text and a never-assigned field are both filled.
  EXPECT_EQ(Text(0, "MobilePhone"), "+1 555 0102");
  EXPECT_EQ(Text(0, "Department"), "Sales");
  EXPECT_EQ(Text(0, "Company"), "Contoso");
  EXPECT_EQ(Text(0, "QAV Home Phone"), "+1 555 0103");
  EXPECT_EQ(Text(0, "QAV Pager"), "+1 555 0104");
  EXPECT_EQ(Text(0, "BusinessPhone2"), "+1 555 0106");
  EXPECT_EQ(Text(0, "HomePhone2"), "+1 555 0108");
  EXPECT_EQ(Text(0, "Office"), "B2");
  EXPECT_EQ(Text(0, "StreetAddress"), "1 Road");
  EXPECT_EQ(Text(0, "City"), "Town");
  EXPECT_EQ(Text(0, "State"), "WA");
  EXPECT_EQ(Text(0, "Zip"), "98052");
  EXPECT_EQ(Text(0, "Country"), "United States");
  // A title of blanks is no title; the directory has no other phone or home fax.
  EXPECT_TRUE(Get(0, "Title").IsNull());
  EXPECT_TRUE(Get(0, "OtherPhone").IsNull());
  EXPECT_TRUE(Get(0, "HomeFax").IsNull());
  // No fax mapping: neither fax field.
  EXPECT_TRUE(Get(0, "QAV Business Fax").IsNull());
  EXPECT_TRUE(Get(0, "OtherFax").IsNull());
  // The record had no ODN: it gets the directory's, with its entry ID.
  EXPECT_EQ(Text(0, "ODN"), OrgDN("gal1"));
  EXPECT_FALSE(Text(0, "AddressID").empty());
  // Present in another case or in encoded form: not again; absent: appended as written.
  EXPECT_EQ(Text(0, "Proxies"),
            ";GAL1@CONTOSO.TEST;gal#951#25x@contoso.test;Gal.One@Contoso.test;");
  EXPECT_EQ(Text(0, "X500Proxies"), ";/o=Old/cn=gal1;");
  EXPECT_TRUE(
      log_.Has("QAV::UpdateRstFromGAL:supplemental data added from GAL for "
               "gal1@contoso.test\r\n     ODN;SMTPProxies;X500Proxies;MobilePhone;"
               "HomePhone;Pager;BusPhone2;HomePhone2;Company;Dept;Office;Street;City;"
               "State;Zip;Country",
               kLogTrace))
      << log_.Dump();
}

TEST_F(GalSupplement, EmptyOrNullProxyListsGetTheirFirstElementClosed) {
  Add({{"SMTP", Variant("gal1@contoso.test")}, {"Proxies", Variant("")}});
  Add({{"SMTP", Variant("gal1@contoso.test")}});
  engine_->UpdateRstFromGAL();
  for (int i = 0; i < 2; ++i) {
    EXPECT_EQ(Text(i, "Proxies"),
              ";gal1@contoso.test;Gal.One@Contoso.test;gal#951#25x@contoso.test;");
    EXPECT_EQ(Text(i, "X500Proxies"), ";/o=Old/cn=gal1;");
  }
}

TEST_F(GalSupplement, RecordWithAnOdnKeepsItAndGetsNoEntryId) {
  Add({{"SMTP", Variant("gal1@contoso.test")}, {"ODN", Variant("/o=x/cn=kept")}});
  engine_->UpdateRstFromGAL();
  EXPECT_EQ(Text(0, "ODN"), "/o=x/cn=kept");
  EXPECT_TRUE(Get(0, "AddressID").IsNull());
  EXPECT_EQ(Text(0, "Company"), "Contoso");
}

TEST_F(GalSupplement, EncodedSmtpAddressIsDecodedToResolve) {
  Add({{"SMTP", Variant("gal#951#25x@contoso.test")}});
  engine_->UpdateRstFromGAL();
  EXPECT_EQ(Text(0, "ODN"), OrgDN("gal1"));
  EXPECT_EQ(Text(0, "Company"), "Contoso");
}

TEST_F(GalSupplement, InternetEntriesAndRecordsWithoutSmtpAreLeftAlone) {
  Add({{"SMTP", Variant("outside@partner.example")}});
  Add({{"PIN", Variant("no smtp")}});
  Add({{"SMTP", Variant("")}});
  Add({{"SMTP", Variant("plain@contoso.test")},
       {"ODN", Variant("/o=x/cn=plain")},
       {"Proxies", Variant(";plain@contoso.test;")}});
  engine_->UpdateRstFromGAL();
  EXPECT_TRUE(
      log_.Has("QAV::UpdateRstFromGAL:failed to resolved outside@partner.example as EX "
               "address entry; found SMTP",
               kLogInfo))
      << log_.Dump();
  EXPECT_TRUE(Get(0, "Proxies").IsNull());
  EXPECT_TRUE(Get(0, "ODN").IsNull());
  EXPECT_TRUE(Get(1, "Proxies").IsNull());
  EXPECT_TRUE(
      log_.Has("QAV::UpdateRstFromGAL:no additional data in GAL for plain@contoso.test", kLogTrace))
      << log_.Dump();
  // One line per resolved record, nothing for the two without an address.
  int checked = 0;
  for (const auto& [level, text] : log_.lines) {
    checked += text.rfind("QAV::UpdateRstFromGAL:checking for supplemental data for ", 0) == 0;
  }
  EXPECT_EQ(checked, 1) << log_.Dump();
}

TEST_F(GalSupplement, UnresolvableAddressDoesNotStopThePass) {
  Add({{"SMTP", Variant("not an address")}});
  Add({{"SMTP", Variant("plain@contoso.test")}});
  engine_->UpdateRstFromGAL();
  int unresolved = 0;
  for (const auto& [level, text] : log_.lines) {
    unresolved += level == kLogInfo &&
                  text.rfind(
                      "QAV::UpdateRstFromGAL:unable to retrieve address entry for not an "
                      "address ",
                      0) == 0;
  }
  EXPECT_EQ(unresolved, 1) << log_.Dump();
  EXPECT_TRUE(Get(0, "ODN").IsNull());
  EXPECT_EQ(Text(1, "ODN"), OrgDN("plain"));
  EXPECT_EQ(Text(1, "Proxies"), ";plain@contoso.test;");
}

TEST_F(GalSupplement, FaxMappingRoutesThePrimaryFax) {
  Add({{"SMTP", Variant("gal1@contoso.test")}});
  engine_->FaxMapping = 1;
  engine_->UpdateRstFromGAL();
  EXPECT_EQ(Text(0, "QAV Business Fax"), "+1 555 0105");
  EXPECT_TRUE(Get(0, "OtherFax").IsNull());

  engine_->CreateQAVData();
  Add({{"SMTP", Variant("gal1@contoso.test")}});
  engine_->FaxMapping = 2;
  engine_->UpdateRstFromGAL();
  EXPECT_TRUE(Get(0, "QAV Business Fax").IsNull());
  EXPECT_EQ(Text(0, "OtherFax"), "+1 555 0105");
}

TEST_F(GalSupplement, NoDataSetIsAWarning) {
  engine_->rstQAV.reset();
  engine_->UpdateRstFromGAL();
  EXPECT_TRUE(log_.Has("QAV::UpdateRstFromGAL: aborted: QAV recordset is nothing", kLogWarning));
}

// The pass announces the address of every record, decoded, in the order it resolves them,
// before it resolves the first; records without one are left out.
TEST_F(GalSupplement, AnnouncesEveryRecordsAddressFirst) {
  Add({{"SMTP", Variant("plain@contoso.test")}});
  Add({{"PIN", Variant("no address")}});
  Add({{"SMTP", Variant("gal#951#25x@contoso.test")}});
  Add({{"SMTP", Variant("gal1@contoso.test")}});
  session_->announced.clear();
  engine_->UpdateRstFromGAL();
  EXPECT_EQ(testing::Describe(session_->announced),
            (std::vector<std::string>{"N:plain@contoso.test", "N:gal_1%x@contoso.test",
                                      "N:gal1@contoso.test"}));
  // And the records are supplemented as ever.
  EXPECT_EQ(Text(3, "Company"), "Contoso");
  EXPECT_EQ(Text(0, "ODN"), OrgDN("plain"));
}

}  // namespace
}  // namespace testqav
