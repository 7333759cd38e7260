// Filtered contents tables, folder paths and the registration-message look-up over a real
// JSON mailbox.
#include <gtest/gtest.h>

#include "engine/qav.h"
#include "store/filtered_tables.h"
#include "store/folder_location.h"
#include "support/org_fixture.h"

namespace testqav {
namespace {

using testing::Registration;

// A folder that forwards to a real one and counts how often its contents table is asked for.
class CountingFolder : public Folder {
 public:
  explicit CountingFolder(FolderPtr inner) : inner_(std::move(inner)) {}
  Result<std::string> Name() const override { return inner_->Name(); }
  Result<std::string> ID() const override { return inner_->ID(); }
  Result<std::string> StoreID() const override { return inner_->StoreID(); }
  Result<FoldersPtr> Folders() override { return inner_->Folders(); }
  Result<MessagesPtr> Messages() override { return inner_->Messages(); }
  Result<FolderPtr> MoveTo(std::string_view f, std::string_view s) override {
    return inner_->MoveTo(f, s);
  }
  Result<FolderPtr> Parent() override { return inner_->Parent(); }
  Result<uint32_t> GetIDFromName(std::string_view set, std::string_view name) override {
    return inner_->GetIDFromName(set, name);
  }
  Result<uint32_t> GetIDFromNumericId(std::string_view set, uint32_t id) override {
    return inner_->GetIDFromNumericId(set, id);
  }
  Result<TablePtr> GetContentsTable() override {
    ++tables;
    return inner_->GetContentsTable();
  }
  int tables = 0;

 private:
  FolderPtr inner_;
};

Registration Reg(const std::string& topic, const std::string& subject, const std::string& pin,
                 const std::string& message_class = "IPM.Post.velkora.Registration") {
  Registration r;
  r.topic = topic;
  r.subject = subject;
  r.message_class = message_class;
  if (!pin.empty()) r.named = {{"PIN", pin}};
  return r;
}

class FilteredTablesSession : public ::testing::Test {
 protected:
  void SetUp() override {
    org_.registrations = {
        Reg("ann@contoso.test", "Handheld registration", "2A00000A"),
        Reg("bob@contoso.test", "HANDHELD Registration", "2B00000B"),
        Reg("cy_o'neil@contoso.test", "Old Handheld registration copy", "2C00000C"),
        Reg("dee@contoso.test", "Handheld registration", "2D00000D", "IPM.Note"),
        Reg("eve@contoso.test", "Handheld registration", ""),
    };
    org_.Write();
    session_ = org_.Logon(t_.rt);
    ASSERT_TRUE(session_->LoggedOn()) << org_.diagnostics();
    t_.rt.g.HHPath = std::string(testing::kOrgMailboxName) + "\\Registrations";
    folder_ = GetTargetFolder(t_.rt, t_.rt.g.HHPath);
    ASSERT_NE(folder_, nullptr) << t_.log.Dump();
    auto msgs = folder_->Messages();
    ASSERT_TRUE(msgs.ok());
    auto all = (*msgs)->All();
    ASSERT_TRUE(all.ok());
    for (const auto& m : *all) ids_.push_back(*m->ID());
    ASSERT_EQ(ids_.size(), 5u);
    t_.log.lines.clear();
  }
  void TearDown() override { session_->Logoff().IgnoreError(); }

  testing::OrgFixture org_;
  testing::TestRuntime t_;
  SessionPtr session_;
  FolderPtr folder_;
  std::vector<std::string> ids_;  // the messages' entry IDs in store order
};

TEST_F(FilteredTablesSession, NamedPinFieldGetsItsTypeWrittenBack) {
  std::vector<FilterField> fields(1);
  fields[0].Name = "PIN";
  fields[0].Value = "2b00000b";  // letter case does not matter
  EXPECT_EQ(FilterMsgsRDO(t_.rt, folder_, fields), std::vector<std::string>{ids_[1]});
  EXPECT_EQ(fields[0].PropType, 30);
  EXPECT_EQ(fields[0].PropTag, 0);
  EXPECT_TRUE(t_.log.lines.empty()) << t_.log.Dump();
}

TEST_F(FilteredTablesSession, TwoFieldsMatchWholeValuesIgnoringCase) {
  std::vector<FilterField> fields(2);
  fields[0].PropTag = static_cast<int32_t>(kPrMessageClass);
  fields[0].Value = "ipm.post.velkora.registration";
  fields[1].PropTag = static_cast<int32_t>(kPrSubject);
  fields[1].Value = "handheld registration";
  // Not the subject that merely contains the value, not the other class; table order.
  EXPECT_EQ(FilterMsgsRDO(t_.rt, folder_, fields),
            (std::vector<std::string>{ids_[0], ids_[1], ids_[4]}));
  // Fields with a tag keep the type they came with.
  EXPECT_EQ(fields[0].PropType, 0);
  EXPECT_TRUE(t_.log.lines.empty()) << t_.log.Dump();
}

TEST_F(FilteredTablesSession, NoMatchIsEmptyWithoutALine) {
  std::vector<FilterField> fields(1);
  fields[0].PropTag = static_cast<int32_t>(kPrConversationTopic);
  fields[0].Value = "ann@contoso";  // a prefix of a topic is no match
  EXPECT_TRUE(FilterMsgsRDO(t_.rt, folder_, fields).empty());
  EXPECT_TRUE(t_.log.lines.empty()) << t_.log.Dump();
  std::vector<FilterField> none;
  EXPECT_TRUE(FilterMsgsRDO(t_.rt, folder_, none).empty());
  EXPECT_TRUE(t_.log.Has("FilterMsgsRDO:no filter fields supplied", kLogInfo));
}

TEST_F(FilteredTablesSession, TheTableFilterIsClearedAfterASearch) {
  std::vector<FilterField> fields(1);
  fields[0].Name = "PIN";
  fields[0].Value = "2A00000A";
  EXPECT_EQ(FilterMsgsRDO(t_.rt, folder_, fields).size(), 1u);
  fields[0].Value = "2C00000C";
  EXPECT_EQ(FilterMsgsRDO(t_.rt, folder_, fields), std::vector<std::string>{ids_[2]});
}

TEST_F(FilteredTablesSession, StopFlagEndsTheRowLoop) {
  std::vector<FilterField> fields(1);
  fields[0].PropTag = static_cast<int32_t>(kPrSubject);
  fields[0].Value = "Handheld registration";
  t_.host.stop_after_events = 1;  // the stop arrives while the first match is handled
  EXPECT_EQ(FilterMsgsRDO(t_.rt, folder_, fields), std::vector<std::string>{ids_[0]});
}

TEST_F(FilteredTablesSession, FolderPathBelowTheTopOfTheStore) {
  auto id = folder_->ID();
  auto store = folder_->StoreID();
  ASSERT_TRUE(id.ok() && store.ok());
  EXPECT_EQ(GetRDOFolderPath(t_.rt, *id, *store), "\\\\Mailbox - Agent\\Registrations");
  EXPECT_TRUE(t_.log.lines.empty()) << t_.log.Dump();
  EXPECT_EQ(GetRDOFolderPath(t_.rt, "00", *store), "");
  EXPECT_TRUE(t_.log.HasContaining("GetRDOFolderPath:unable to get folder: ")) << t_.log.Dump();
}

TEST_F(FilteredTablesSession, FindRegMsgByTopicOrPin) {
  QAV engine(t_.rt);
  ASSERT_NE(engine.fldReg, nullptr);
  MessagePtr by_topic = engine.FindRegMsg("BOB@contoso.test", "");
  ASSERT_NE(by_topic, nullptr);
  EXPECT_EQ(*by_topic->ID(), ids_[1]);
  // The restriction gets the topic as it is: "_" and a quote are ordinary characters, and
  // quotes around it are part of what is looked for.
  MessagePtr plain = engine.FindRegMsg("cy_o'neil@contoso.test", "");
  ASSERT_NE(plain, nullptr);
  EXPECT_EQ(*plain->ID(), ids_[2]);
  EXPECT_EQ(engine.FindRegMsg("'cy_o'neil@contoso.test'", ""), nullptr);
  // The topic wins over the PIN.
  MessagePtr both = engine.FindRegMsg("ann@contoso.test", "2D00000D");
  ASSERT_NE(both, nullptr);
  EXPECT_EQ(*both->ID(), ids_[0]);
  MessagePtr by_pin = engine.FindRegMsg("", "2d00000d");
  ASSERT_NE(by_pin, nullptr);
  EXPECT_EQ(*by_pin->ID(), ids_[3]);
  EXPECT_EQ(engine.FindRegMsg("nobody@contoso.test", ""), nullptr);
  EXPECT_EQ(engine.FindRegMsg("", "FFFFFFFF"), nullptr);
}

TEST_F(FilteredTablesSession, FindRegMsgWithNothingToLookForLeavesTheTableAlone) {
  QAV engine(t_.rt);
  auto counting = std::make_shared<CountingFolder>(engine.fldReg);
  engine.fldReg = counting;
  EXPECT_EQ(engine.FindRegMsg("", ""), nullptr);
  EXPECT_EQ(counting->tables, 0);
  EXPECT_NE(engine.FindRegMsg("", "2A00000A"), nullptr);
  EXPECT_EQ(counting->tables, 1);
}

}  // namespace
}  // namespace testqav
