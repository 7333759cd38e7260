// Registration data collection as whole update runs of the engine: registration messages in
// a JSON mailbox, the directory behind the address book, the "QAV-1" dump and the run's
// log lines.
#include <gtest/gtest.h>

#include "engine/qav.h"
#include "platform/common/error_codes.h"
#include "platform/common/text.h"
#include "support/org_fixture.h"
#include "support/recording_session.h"

namespace testqav {
namespace {

using testing::Dump;
using testing::OrgDN;
using testing::Registration;

Registration Reg(const std::string& topic, const std::string& modified, testing::Attributes named) {
  Registration r;
  r.topic = topic;
  r.last_modified = modified;
  r.named = std::move(named);
  return r;
}

class RegistrationRun : public ::testing::Test {
 protected:
  void SetUp() override {
    org_.ldif
        .User("ann", "ann@contoso.test", {"SMTP:ann@contoso.test", "smtp:Ann.Alias@Contoso.test"})
        .User("bob", "bob@contoso.test", {"SMTP:bob@contoso.test"})
        .User("hal", "hal_king@contoso.test",
              {"SMTP:hal_king@contoso.test", "smtp:hal%king@contoso.test"});
  }
  // Runs the engine and reads the first dump.
  Dump Run(int16_t mobile_mode = 0) {
    org_.Write();
    RunUpdate(org_, t_, mobile_mode);
    return testing::ReadDump(org_.path() / "QAV-1.csv");
  }
  static const std::map<std::string, std::string>* Row(const Dump& d, const std::string& smtp) {
    for (const auto& r : d.rows) {
      if (r.at("SMTP") == smtp) return &r;
    }
    return nullptr;
  }
  int Count(const std::string& prefix, int32_t level) const {
    int n = 0;
    for (const auto& [l, text] : t_.log.lines) n += (l == level && text.rfind(prefix, 0) == 0);
    return n;
  }

  testing::OrgFixture org_;
  testing::TestRuntime t_{org_.path().string()};
};

struct MobileCase {
  int16_t mode;
  // Expected MobilePhone, "QAV Pager", OtherPhone for a message with mobile "111" and pager
  // "999", and the pager of a message with pager "888" and no mobile column.
  std::string mobile, pager, other, pager_without_mobile;
};

void PrintTo(const MobileCase& c, std::ostream* os) { *os << "mode " << c.mode; }

class MobileModes : public RegistrationRun, public ::testing::WithParamInterface<MobileCase> {};

TEST_P(MobileModes, MobileColumnGoesWhereTheModeSays) {
  const MobileCase& c = GetParam();
  org_.registrations = {
      Reg("ann@contoso.test", "2024-03-01T10:00:00Z",
          {{"PIN", "2A000001"},
           {"QAV Mobile Phone", "111"},
           {"QAV Pager", "999"},
           {"QAV Radio Phone", "222"},
           {"QAV Business Phone", "333"},
           {"QAV Business Fax", "444"},
           {"QAV Home Phone", "555"},
           {"QAV Private Fields", "7"}}),
      Reg("bob@contoso.test", "2024-03-02T10:00:00Z", {{"PIN", "2B000001"}, {"QAV Pager", "888"}}),
  };
  Dump d = Run(c.mode);
  ASSERT_TRUE(d.exists) << t_.log.Dump();
  ASSERT_EQ(d.rows.size(), 2u) << t_.log.Dump();
  const auto* ann = Row(d, "ann@contoso.test");
  const auto* bob = Row(d, "bob@contoso.test");
  ASSERT_TRUE(ann && bob);
  EXPECT_EQ(ann->at("MobilePhone"), c.mobile);
  EXPECT_EQ(ann->at("QAV Pager"), c.pager);
  EXPECT_EQ(ann->at("OtherPhone"), c.other);
  EXPECT_EQ(bob->at("QAV Pager"), c.pager_without_mobile);
  EXPECT_EQ(bob->at("MobilePhone"), "");
  EXPECT_EQ(bob->at("OtherPhone"), "");
  // The other telephone columns are placed whatever the mode.
  EXPECT_EQ(ann->at("RadioPhone"), "222");
  EXPECT_EQ(ann->at("QAV Business Phone"), "333");
  EXPECT_EQ(ann->at("QAV Business Fax"), "444");
  EXPECT_EQ(ann->at("QAV Home Phone"), "555");
  EXPECT_EQ(ann->at("PrivateFields"), "7");
  // Newest first.
  EXPECT_EQ(d.rows[0].at("SMTP"), "bob@contoso.test");
}

INSTANTIATE_TEST_SUITE_P(Registration, MobileModes,
                         ::testing::Values(MobileCase{1, "111", "999", "", "888"},
                                           MobileCase{2, "", "111", "", "888"},
                                           MobileCase{3, "", "999", "111", "888"},
                                           MobileCase{0, "", "999", "", "888"}),
                         [](const ::testing::TestParamInfo<MobileCase>& p) {
                           return "Mode" + std::to_string(p.param.mode);
                         });

TEST_F(RegistrationRun, NewestRegistrationOfAUserWins) {
  // The older message comes first in the store; the sort puts the newer one first.
  org_.registrations = {
      Reg("ann@contoso.test", "2024-01-01T10:00:00Z", {{"PIN", "OLD00001"}}),
      Reg("ANN@contoso.test", "2024-05-01T10:00:00Z", {{"PIN", "NEW00001"}}),
  };
  Dump d = Run();
  ASSERT_EQ(d.rows.size(), 1u) << t_.log.Dump();
  const auto& r = d.rows[0];
  EXPECT_EQ(r.at("PIN"), "NEW00001");
  EXPECT_EQ(r.at("SMTP"), "ann@contoso.test");
  // No ODN column: the name settled from the SMTP look-up, without an entry ID.
  EXPECT_EQ(r.at("ODN"), OrgDN("ann"));
  EXPECT_EQ(r.at("AddressID"), "");
  EXPECT_EQ(r.at("Proxies"), ";ann@contoso.test;ann.alias@contoso.test;");
  EXPECT_EQ(r.at("X500Proxies"), ";" + OrgDN("ann") + ";");
  EXPECT_TRUE(t_.log.Has(
      "QAV::GetQAVData:found existing record using Filter = [SMTP] LIKE 'ann@contoso.test' OR "
      "[ODN] LIKE '" +
          OrgDN("ann") +
          "' OR [Proxies] Like '*;ann@contoso.test;*' OR "
          "[Proxies] Like '*;ann.alias@contoso.test;*' OR [X500Proxies] Like '*;" +
          OrgDN("ann") + ";*'; skipping duplicate Reg message",
      kLogWarning))
      << t_.log.Dump();
  EXPECT_EQ(Count("QAV::GetQAVData:found existing record", kLogWarning), 1);
}

TEST_F(RegistrationRun, DuplicateFoundThroughAProxyInAnotherCase) {
  org_.registrations = {
      Reg("ext@partner.example", "2024-05-01T10:00:00Z",
          {{"PIN", "E0000001"}, {"Proxies", ";Other.Addr@Partner.example;"}}),
      Reg("other.addr@partner.example", "2024-01-01T10:00:00Z", {{"PIN", "E0000002"}}),
  };
  Dump d = Run();
  ASSERT_EQ(d.rows.size(), 1u) << t_.log.Dump();
  EXPECT_EQ(d.rows[0].at("PIN"), "E0000001");
  EXPECT_EQ(d.rows[0].at("Proxies"), ";Other.Addr@Partner.example;ext@partner.example;");
  EXPECT_EQ(d.rows[0].at("ODN"), "");
  // The expansion closed the empty X.500 list, and a closed list is stored as it is.
  EXPECT_EQ(d.rows[0].at("X500Proxies"), ";");
  EXPECT_EQ(Count("QAV::GetQAVData:found existing record using Filter = [SMTP] LIKE "
                  "'other.addr@partner.example'",
                  kLogWarning),
            1)
      << t_.log.Dump();
}

TEST_F(RegistrationRun, PinNoneFallsBackToTheDeviceId) {
  org_.registrations = {
      Reg("ann@contoso.test", "2024-03-01T10:00:00Z", {{"PIN", "NoNe"}, {"DeviceID", "  DEV42  "}}),
      Reg("bob@contoso.test", "2024-03-02T10:00:00Z", {{"PIN", " 2B000001 "}, {"DeviceID", "X"}}),
      Reg("hal_king@contoso.test", "2024-03-03T10:00:00Z", {{"PIN", "none"}, {"DeviceID", "NONE"}}),
  };
  Dump d = Run();
  ASSERT_EQ(d.rows.size(), 3u) << t_.log.Dump();
  EXPECT_EQ(Row(d, "ann@contoso.test")->at("PIN"), "DEV42");
  EXPECT_EQ(Row(d, "bob@contoso.test")->at("PIN"), "2B000001");
  EXPECT_EQ(Row(d, "hal#95king@contoso.test")->at("PIN"), "");
}

TEST_F(RegistrationRun, UnusableTopicsAreSkipped) {
  org_.registrations = {
      Reg("DeviceInfo:ann@contoso.test", "2024-03-01T10:00:00Z", {{"PIN", "D1"}}),
      Reg("someone@localhost", "2024-03-02T10:00:00Z", {{"PIN", "D2"}}),
      Reg("first.last@host", "2024-03-03T10:00:00Z", {{"PIN", "D3"}}),
      Reg("bob@contoso.test", "2024-03-04T10:00:00Z", {{"PIN", "B1"}}),
  };
  Dump d = Run();
  ASSERT_EQ(d.rows.size(), 1u) << t_.log.Dump();
  EXPECT_EQ(d.rows[0].at("PIN"), "B1");
  EXPECT_TRUE(
      t_.log.Has("QAV::GetQAVData:skipping row with SMTP=deviceinfo:ann@contoso.test", kLogInfo))
      << t_.log.Dump();
  EXPECT_TRUE(t_.log.Has("QAV::GetQAVData:skipping row with SMTP=someone@localhost", kLogInfo));
  EXPECT_TRUE(t_.log.Has("QAV::GetQAVData:skipping row with SMTP=first.last@host", kLogInfo));
  // Skipped rows are not resolved further.
  EXPECT_FALSE(t_.log.HasContaining("attempting to resolve deviceinfo")) << t_.log.Dump();
}

TEST_F(RegistrationRun, OdnIsKeptOnlyWhenTheDirectoryKnowsIt) {
  const std::string gone = "/o=Contoso/ou=Site/cn=Recipients/cn=gone";
  org_.registrations = {
      Reg("ann@contoso.test", "2024-03-01T10:00:00Z", {{"PIN", "A1"}, {"ODN", OrgDN("ann")}}),
      Reg("bob@contoso.test", "2024-03-02T10:00:00Z", {{"PIN", "B1"}, {"ODN", gone}}),
      Reg("ext@partner.example", "2024-03-03T10:00:00Z", {{"PIN", "E1"}, {"ODN", gone + "2"}}),
  };
  Dump d = Run();
  ASSERT_EQ(d.rows.size(), 3u) << t_.log.Dump();
  const auto* ann = Row(d, "ann@contoso.test");
  ASSERT_NE(ann, nullptr);
  // A known ODN is stored in lower case with its entry ID.
  EXPECT_EQ(ann->at("ODN"), LowerCase(OrgDN("ann")));
  EXPECT_FALSE(ann->at("AddressID").empty());
  EXPECT_EQ(ann->at("Proxies"), ";ann@contoso.test;ann.alias@contoso.test;");
  EXPECT_EQ(ann->at("X500Proxies"), ";" + OrgDN("ann") + ";");
  // Resolved once, by the ODN; the SMTP address was known by then.
  EXPECT_EQ(Count("QAV::GetAllProxies:attempting to resolve ", kLogInfo), 3) << t_.log.Dump();
  EXPECT_EQ(Count("GetAllProxies: found ann@contoso.test in existing proxy string", kLogDetail), 1);
  const auto* bob = Row(d, "bob@contoso.test");
  ASSERT_NE(bob, nullptr);
  EXPECT_EQ(bob->at("ODN"), OrgDN("bob"));
  EXPECT_EQ(bob->at("AddressID"), "");
  EXPECT_EQ(bob->at("X500Proxies"), ";" + OrgDN("bob") + ";");
  const auto* ext = Row(d, "ext@partner.example");
  ASSERT_NE(ext, nullptr);
  EXPECT_EQ(ext->at("ODN"), "");
  EXPECT_EQ(ext->at("AddressID"), "");
  EXPECT_EQ(Count("GetIdForODN error for '" + LowerCase(gone) + "' ", kLogError), 1)
      << t_.log.Dump();
}

TEST_F(RegistrationRun, ProxyListsAreStoredClosed) {
  // The topic is in the Proxies column already: nothing resolves it, the list is closed on
  // storing.
  org_.registrations = {
      Reg("ext3@partner.example", "2024-03-01T10:00:00Z",
          {{"PIN", "E3"},
           {"Proxies", "ext3@partner.example;x3@partner.example"},
           {"X500Proxies", "/o=Partner/cn=ext3"}}),
  };
  Dump d = Run();
  ASSERT_EQ(d.rows.size(), 1u) << t_.log.Dump();
  EXPECT_EQ(d.rows[0].at("Proxies"), ";ext3@partner.example;x3@partner.example;");
  EXPECT_EQ(d.rows[0].at("X500Proxies"), ";/o=Partner/cn=ext3;");
  EXPECT_TRUE(
      t_.log.Has("GetAllProxies: found ext3@partner.example in existing proxy string; "
                 "no need to repeat expansion",
                 kLogDetail))
      << t_.log.Dump();
}

TEST_F(RegistrationRun, AddressThatDoesNotResolveLeavesTheListsEmpty) {
  // Two users claim the address: it is ambiguous, so it neither maps to a primary address
  // nor expands; the record holds the address alone.
  org_.ldif.User("s1", "s1@contoso.test", {"SMTP:s1@contoso.test", "smtp:shared@contoso.test"})
      .User("s2", "s2@contoso.test", {"SMTP:s2@contoso.test", "smtp:shared@contoso.test"});
  org_.registrations = {Reg("Shared@contoso.test", "2024-03-01T10:00:00Z", {{"PIN", "S1"}})};
  Dump d = Run();
  ASSERT_EQ(d.rows.size(), 1u) << t_.log.Dump();
  EXPECT_EQ(d.rows[0].at("SMTP"), "shared@contoso.test");
  EXPECT_EQ(d.rows[0].at("Proxies"), "");
  EXPECT_EQ(d.rows[0].at("X500Proxies"), "");
  EXPECT_EQ(d.rows[0].at("ODN"), "");
  EXPECT_EQ(Count("QAV::GetAllProxies:failed to resolve shared@contoso.test ", kLogInfo), 1)
      << t_.log.Dump();
}

TEST_F(RegistrationRun, WildcardCharactersAreStoredEncoded) {
  org_.registrations = {
      Reg("Hal_King@contoso.test", "2024-03-01T10:00:00Z", {{"PIN", "H1"}}),
      Reg("50%_off@partner.example", "2024-03-02T10:00:00Z", {{"PIN", "P1"}}),
  };
  Dump d = Run();
  ASSERT_EQ(d.rows.size(), 2u) << t_.log.Dump();
  const auto* hal = Row(d, "hal#95king@contoso.test");
  ASSERT_NE(hal, nullptr) << t_.log.Dump();
  EXPECT_EQ(hal->at("Proxies"), ";hal#95king@contoso.test;hal#25king@contoso.test;");
  const auto* off = Row(d, "50#25#95off@partner.example");
  ASSERT_NE(off, nullptr);
  EXPECT_EQ(off->at("Proxies"), ";50#25#95off@partner.example;");
}

TEST_F(RegistrationRun, ASecondRegistrationThroughAnEncodedAddressIsADuplicate) {
  // The older message names the user by the secondary address with "%": the filter literal
  // is encoded like the stored list, so the two compare equal.
  org_.registrations = {
      Reg("hal_king@contoso.test", "2024-03-02T10:00:00Z", {{"PIN", "H2"}}),
      Reg("ext@partner.example", "2024-03-01T10:00:00Z",
          {{"PIN", "H1"}, {"Proxies", ";hal%king@contoso.test;"}}),
  };
  Dump d = Run();
  ASSERT_EQ(d.rows.size(), 1u) << t_.log.Dump();
  EXPECT_EQ(d.rows[0].at("PIN"), "H2");
  EXPECT_EQ(Count("QAV::GetQAVData:found existing record", kLogWarning), 1) << t_.log.Dump();
}

// A record set whose filter can never be set; everything else goes to a real one.
class UnfilterableRecordset : public Recordset {
 public:
  UnfilterableRecordset() : inner_(CreateRecordset()) {}
  Status AppendField(std::string_view n, FieldType t, int32_t s, int32_t a) override {
    return inner_->AppendField(n, t, s, a);
  }
  Status Open() override { return inner_->Open(); }
  Status Close() override { return inner_->Close(); }
  int32_t State() const override { return inner_->State(); }
  Status AddNew() override { return inner_->AddNew(); }
  Status SetValue(std::string_view f, const Variant& v) override { return inner_->SetValue(f, v); }
  Status SetValue(int32_t i, Variant v) override { return inner_->SetValue(i, std::move(v)); }
  Status Update() override { return inner_->Update(); }
  Result<Variant> Value(std::string_view f) const override { return inner_->Value(f); }
  Result<Variant> Value(int32_t i) const override { return inner_->Value(i); }
  Result<const Variant*> ValueView(int32_t i) const override { return inner_->ValueView(i); }
  Result<const Variant*> ValueView(std::string_view f) const override {
    return inner_->ValueView(f);
  }
  Result<const Variant*> RecordValueView(int32_t r, int32_t f) const override {
    return inner_->RecordValueView(r, f);
  }
  Status SetFilter(std::string_view) override {
    return Status(err::kAdoInvalidArg, "filter refused");
  }
  Status ClearFilter() override { return inner_->ClearFilter(); }
  Status MoveFirst() override { return inner_->MoveFirst(); }
  Status MoveNext() override { return inner_->MoveNext(); }
  bool Eof() const override { return inner_->Eof(); }
  Result<int32_t> RecordCount() const override { return inner_->RecordCount(); }
  int32_t FieldCount() const override { return inner_->FieldCount(); }
  int32_t FieldIndex(std::string_view n) const override { return inner_->FieldIndex(n); }
  Result<std::string> FieldName(int32_t i) const override { return inner_->FieldName(i); }
  Result<FieldType> FieldTypeOf(int32_t i) const override { return inner_->FieldTypeOf(i); }

 private:
  std::unique_ptr<Recordset> inner_;
};

TEST_F(RegistrationRun, FilterThatCannotBeSetCountsTheRegistrationAsNew) {
  org_.registrations = {
      Reg("ann@contoso.test", "2024-05-01T10:00:00Z", {{"PIN", "NEW00001"}}),
      Reg("ann@contoso.test", "2024-01-01T10:00:00Z", {{"PIN", "OLD00001"}}),
  };
  t_.rt.make_recordset = [] { return std::make_unique<UnfilterableRecordset>(); };
  Dump d = Run();
  ASSERT_EQ(d.rows.size(), 2u) << t_.log.Dump();
  EXPECT_EQ(d.rows[0].at("PIN"), "NEW00001");
  EXPECT_EQ(d.rows[1].at("PIN"), "OLD00001");
  EXPECT_EQ(
      Count("QAV::GetQAVData:unable to set filter [SMTP] LIKE 'ann@contoso.test' OR ", kLogError),
      2)
      << t_.log.Dump();
  const std::string tail = ": " + std::to_string(err::kAdoInvalidArg) + " filter refused";
  for (const auto& [level, text] : t_.log.lines) {
    if (level == kLogError && text.rfind("QAV::GetQAVData:unable to set filter", 0) == 0) {
      EXPECT_EQ(text.substr(text.size() - tail.size()), tail);
    }
  }
  EXPECT_EQ(Count("QAV::GetQAVData:found existing record", kLogWarning), 0);
}

TEST_F(RegistrationRun, SecondRunStartsFromAnEmptyDataSet) {
  org_.registrations = {Reg("ann@contoso.test", "2024-05-01T10:00:00Z", {{"PIN", "A1"}})};
  Run();
  testing::TestRuntime again(org_.path().string());
  RunUpdate(org_, again, 0);
  Dump d = testing::ReadDump(org_.path() / "QAV-1.csv");
  ASSERT_EQ(d.rows.size(), 1u);
  EXPECT_FALSE(again.log.HasContaining("found existing record")) << again.log.Dump();
}

// Before a row's turn, its look-ups are announced, in the order the rows come (newest
// first): the ODN as given, lower-cased, as a distinguished name and then as a name, and the
// topic as an SMTP address. The outcome is the run's as ever.
TEST_F(RegistrationRun, AnnouncesEachRowsLookUps) {
  org_.registrations = {
      Reg("Ann@Contoso.test", "2024-03-01T10:00:00Z", {{"PIN", "A1"}, {"ODN", OrgDN("ann")}}),
      Reg("bob@contoso.test", "2024-03-02T10:00:00Z", {{"PIN", "B1"}}),
      Reg("DeviceInfo:X1", "2024-03-03T10:00:00Z", {{"PIN", "C1"}}),
  };
  org_.Write();
  std::shared_ptr<testing::RecordingSession> recording;
  RunUpdate(org_, t_, 0, false, [&recording](SessionPtr inner) {
    recording = std::make_shared<testing::RecordingSession>(std::move(inner));
    return recording;
  });
  ASSERT_NE(recording, nullptr);
  EXPECT_EQ(
      testing::Describe(recording->announced),
      (std::vector<std::string>{"N:SMTP:deviceinfo:x1", "N:SMTP:bob@contoso.test",
                                "D+N:" + LowerCase(OrgDN("ann")), "N:SMTP:ann@contoso.test"}));
  Dump d = testing::ReadDump(org_.path() / "QAV-1.csv");
  ASSERT_EQ(d.rows.size(), 2u) << t_.log.Dump();
  EXPECT_EQ(d.rows[0].at("SMTP"), "bob@contoso.test");
  EXPECT_EQ(d.rows[1].at("ODN"), LowerCase(OrgDN("ann")));
}

}  // namespace
}  // namespace testqav
