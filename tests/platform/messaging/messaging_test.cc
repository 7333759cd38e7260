// Contract suite for the messaging session: logon, stores, folders, messages, named fields,
// contents tables with sort and restrictions, recipients and write-back.

#include <gtest/gtest.h>

#include <algorithm>
#include <set>

#include "platform/common/error_codes.h"
#include "platform/messaging/messaging.h"
#include "platform/messaging/messaging_fixture.h"

namespace testqav {
namespace {

using testing_messaging::FakeBook;
using testing_messaging::ReadFile;
using testing_messaging::SessionFactory;
using testing_messaging::TempHost;
using testing_messaging::WriteFile;

constexpr char kMailbox[] = R"({
  "displayName": "Mailbox - Agent",
  "guid": "00112233445566778899AABBCCDDEEFF",
  "root": {
    "name": "",
    "folders": [
      {
        "name": "Top of Information Store",
        "folders": [
          {"name": "Inbox"},
          {
            "name": "Registrations",
            "messages": [
              {"class": "velkora.Registration", "subject": "old", "topic": "a@example.com",
               "lastModified": "2024-01-01T10:00:00Z",
               "named": [{"name": "PIN", "type": "string", "value": "1111"},
                         {"name": "Proxies", "type": "string", "value": "SMTP:a@example.com"}]},
              {"class": "velkora.Registration", "subject": "newest",
               "lastModified": "2024-03-01T10:00:00Z",
               "named": [{"name": "PIN", "type": "string", "value": "3333"},
                         {"name": "QAV Privacy", "type": "boolean", "value": true}],
               "tagged": [{"tag": "0x3A1C001E", "value": "+1 555"},
                          {"tag": "0x10000102", "value": "01ABFF"}]},
              {"class": "velkora.Registration", "subject": "middle", "topic": "b@example.com",
               "lastModified": "2024-02-01T10:00:00Z",
               "named": [{"name": "PIN", "type": "string", "value": "2222"},
                         {"set": "{00062004-0000-0000-C000-000000000046}", "id": 32899,
                          "type": "string", "value": "numeric"}]}
            ]
          }
        ]
      },
      {
        "name": "velkoraAgentInfo",
        "messages": [
          {"class": "velkora.Agent", "subject": "velkoraAgent",
           "named": [{"name": "HHPath", "type": "string", "value": "Mailbox - Agent\\Registrations"}]},
          {"class": "IPM.Note", "subject": "Velkoraagent"},
          {"class": "velkora.UserInfo", "subject": "u1"},
          {"class": "velkora.Agent", "subject": "velkoraAgent"},
          {"class": "velkora.Agent", "subject": "velkoraAgent"}
        ]
      }
    ]
  }
})";

constexpr char kPublic[] = R"({
  "displayName": "Public Folders",
  "publicFolders": true,
  "root": {
    "name": "",
    "folders": [
      {"name": "All Public Folders",
       "folders": [{"name": "Agents", "folders": [{"name": "Mandatory Contacts"}]}]}
    ]
  }
})";

class MessagingContract : public ::testing::TestWithParam<SessionFactory> {
 protected:
  void SetUp() override {
    WriteFile(host_.Mailbox(), kMailbox);
    WriteFile(host_.Public(), kPublic);
  }
  SessionPtr NewSession(AddressBookOpener opener = {}) {
    return GetParam().make(host_.dir(), diag_, std::move(opener));
  }
  SessionPtr LoggedOn(AddressBookOpener opener = {}) {
    SessionPtr s = NewSession(std::move(opener));
    Status st = s->Logon("EXSRV\nagent");
    EXPECT_TRUE(st.ok()) << st.description();
    return s;
  }
  static FolderPtr Sub(const FolderPtr& f, std::string_view name) {
    auto folders = f->Folders();
    EXPECT_TRUE(folders.ok());
    auto item = (*folders)->Item(name);
    EXPECT_TRUE(item.ok()) << item.status().description();
    return item.ok() ? *item : nullptr;
  }
  FolderPtr Registrations(const SessionPtr& s) {
    auto root = s->GetFolder("", "");
    EXPECT_TRUE(root.ok());
    return Sub(Sub(*root, "Top of Information Store"), "Registrations");
  }
  FolderPtr AgentInfo(const SessionPtr& s) {
    return Sub(*s->GetFolder("", ""), "velkoraAgentInfo");
  }

  TempHost host_;
  std::ostringstream diag_;
};

// ---------------------------------------------------------------------------------------
// Logon

TEST_P(MessagingContract, LogonOpensMailboxThenPublicStore) {
  SessionPtr s = NewSession();
  EXPECT_FALSE(s->LoggedOn());
  EXPECT_EQ(s->InfoStores().status().number(), err::kNotLoggedOn);
  EXPECT_EQ(s->CreateHelperSession().status().number(), err::kNotLoggedOn);
  ASSERT_TRUE(s->Logon("EXSRV\nagent").ok());
  EXPECT_TRUE(s->LoggedOn());
  auto stores = s->InfoStores();
  ASSERT_TRUE(stores.ok());
  ASSERT_EQ(stores->size(), 2u);
  EXPECT_EQ(*(*stores)[0]->Name(), "Mailbox - Agent");
  EXPECT_EQ(*(*stores)[1]->Name(), "Public Folders");
  auto def = s->GetInfoStore("");
  ASSERT_TRUE(def.ok());
  EXPECT_EQ(*(*def)->ID(), *(*stores)[0]->ID());
  EXPECT_NE(*(*stores)[0]->ID(), *(*stores)[1]->ID());
  // Store IDs are found ignoring case.
  std::string lower = *(*stores)[1]->ID();
  std::transform(lower.begin(), lower.end(), lower.begin(), ::tolower);
  EXPECT_EQ(*(*s->GetInfoStore(lower))->Name(), "Public Folders");
  EXPECT_EQ(s->GetInfoStore("ABCD").status().number(), err::kNotFound);

  auto root = s->GetFolder("", "");
  ASSERT_TRUE(root.ok());
  EXPECT_EQ(*(*root)->Name(), "");
  EXPECT_EQ((*root)->Parent().status().number(), err::kNotFound);
  // The store object's root is the interpersonal-message tree's top.
  EXPECT_EQ(*(*(*def)->RootFolder())->Name(), "Top of Information Store");
  EXPECT_EQ(*(*(*def)->IpmRootFolder())->Name(), "Top of Information Store");
  EXPECT_EQ(*(*s->Inbox())->Name(), "Inbox");
  ASSERT_TRUE(s->Logoff().ok());
  EXPECT_FALSE(s->LoggedOn());
  EXPECT_EQ((*root)->Name().status().number(), err::kNotLoggedOn);
}

TEST_P(MessagingContract, LogonRefusesUnknownAndUnsafeNames) {
  struct Case {
    std::string profile;
    std::string expected;
  };
  const std::vector<Case> cases = {
      {"NOSUCH\nagent", "unknown server NOSUCH"},
      {"EXSRV\nnobody", "unknown mailbox nobody"},
      {"EXSRV", "server and an alias"},
      {"\nagent", "invalid server name"},
      {"..\nagent", "invalid server name"},
      {".\nagent", "invalid server name"},
      {"EX/SRV\nagent", "invalid server name"},
      {"EX\\SRV\nagent", "invalid server name"},
      {std::string("EX\0SRV\nagent", 12), "invalid server name"},
      {"EXSRV\n", "invalid mailbox alias"},
      {"EXSRV\n..", "invalid mailbox alias"},
      {"EXSRV\n../../agent", "invalid mailbox alias"},
      {"EXSRV\nmailboxes\\agent", "invalid mailbox alias"},
      {"EXSRV\nag\nent", "invalid mailbox alias"},
  };
  for (const Case& c : cases) {
    SessionPtr s = NewSession();
    Status st = s->Logon(c.profile);
    EXPECT_EQ(st.number(), err::kLogonFailed) << c.profile;
    EXPECT_NE(st.description().find(c.expected), std::string::npos)
        << c.profile << " -> " << st.description();
    EXPECT_FALSE(s->LoggedOn());
  }
}

TEST_P(MessagingContract, SecondRunIsLockedOutUntilLogoff) {
  SessionPtr first = LoggedOn();
  SessionPtr second = NewSession();
  Status st = second->Logon("EXSRV\nagent");
  EXPECT_EQ(st.number(), err::kLogonFailed);
  EXPECT_EQ(st.description(), "store is in use by another run: " + host_.Mailbox().string());
  ASSERT_TRUE(first->Logoff().ok());
  EXPECT_TRUE(second->Logon("EXSRV\nagent").ok());
}

// The lock is on the store file itself and goes with the file a write-back puts in its
// place; a store that is a symbolic link stays one, and its target gets the changes.
TEST_P(MessagingContract, LockHoldsAcrossWriteBackAndThroughALink) {
  const std::filesystem::path target = host_.Mailbox().parent_path() / "kept" / "agent-real.json";
  std::filesystem::create_directories(target.parent_path());
  std::filesystem::rename(host_.Mailbox(), target);
  std::filesystem::create_symlink(target, host_.Mailbox());
  SessionPtr first = LoggedOn();
  ASSERT_TRUE((*(*first->Inbox())->Folders())->Add("written back").ok());
  EXPECT_TRUE(std::filesystem::is_symlink(host_.Mailbox()));
  EXPECT_NE(ReadFile(target).find("written back"), std::string::npos);
  // Whoever deletes or replaces files beside the store cannot let a second run in.
  for (const auto& entry : std::filesystem::directory_iterator(target.parent_path())) {
    if (entry.path() != target) std::filesystem::remove(entry.path());
  }
  Status st = NewSession()->Logon("EXSRV\nagent");
  EXPECT_EQ(st.description(), "store is in use by another run: " + host_.Mailbox().string());
  ASSERT_TRUE(first->Logoff().ok());
  EXPECT_TRUE(NewSession()->Logon("EXSRV\nagent").ok());
}

// What an editor on Windows writes.
TEST_P(MessagingContract, ByteOrderMarkIsSkipped) {
  WriteFile(host_.Mailbox(), "\xEF\xBB\xBF" + std::string(kMailbox));
  SessionPtr s = NewSession();
  EXPECT_TRUE(s->Logon("EXSRV\nagent").ok());
}

TEST_P(MessagingContract, PublicStoreLockIsHeldToo) {
  // A different mailbox of the same server shares the public store.
  WriteFile(host_.Mailbox("other"), R"({"displayName": "Mailbox - Other", "root": {"name": ""}})");
  SessionPtr first = LoggedOn();
  SessionPtr second = NewSession();
  Status st = second->Logon("EXSRV\nother");
  EXPECT_EQ(st.description(), "store is in use by another run: " + host_.Public().string());
  // The failed logon released the mailbox lock it had taken.
  ASSERT_TRUE(first->Logoff().ok());
  EXPECT_TRUE(second->Logon("EXSRV\nother").ok());
}

TEST_P(MessagingContract, BadJsonFailsLogonNamingFileAndLineAndKeepsFile) {
  const std::string bad =
      "{\n  \"displayName\": \"Mailbox - Agent\",\n  \"root\": {\n    \"name\": \"\" \"x\"\n  "
      "}\n}\n";
  WriteFile(host_.Mailbox(), bad);
  SessionPtr s = NewSession();
  Status st = s->Logon("EXSRV\nagent");
  EXPECT_EQ(st.number(), err::kLogonFailed);
  const std::string where = host_.Mailbox().string() + ":4:";
  EXPECT_EQ(st.description().rfind(where, 0), 0u) << st.description();
  EXPECT_NE(st.description().find("syntax error"), std::string::npos) << st.description();
  EXPECT_NE(diag_.str().find(where), std::string::npos) << diag_.str();
  EXPECT_EQ(ReadFile(host_.Mailbox()), bad);
  // The lock of the failed logon is released.
  WriteFile(host_.Mailbox(), kMailbox);
  EXPECT_TRUE(NewSession()->Logon("EXSRV\nagent").ok());
}

TEST_P(MessagingContract, BadPublicStoreFailsLogonToo) {
  const std::string bad =
      "{\n  \"displayName\": \"Public Folders\",\n  \"root\": {\"name\": \"\"}\n}\n";
  WriteFile(host_.Public(), bad);
  Status st = NewSession()->Logon("EXSRV\nagent");
  EXPECT_EQ(st.number(), err::kLogonFailed);
  EXPECT_NE(st.description().find(host_.Public().string() + ":1:"), std::string::npos)
      << st.description();
  EXPECT_NE(st.description().find("publicFolders"), std::string::npos);
  EXPECT_EQ(ReadFile(host_.Public()), bad);
}

// ---------------------------------------------------------------------------------------
// Entry IDs

std::vector<std::string> AllIds(const SessionPtr& s) {
  std::vector<std::string> ids;
  std::function<void(const FolderPtr&)> walk = [&](const FolderPtr& f) {
    ids.push_back(*f->ID());
    std::vector<MessagePtr> messages = *(*f->Messages())->All();
    for (const MessagePtr& m : messages) ids.push_back(*m->ID());
    std::vector<FolderPtr> folders = *(*f->Folders())->All();
    for (const FolderPtr& c : folders) walk(c);
  };
  std::vector<InfoStorePtr> stores = *s->InfoStores();
  for (const InfoStorePtr& st : stores) {
    walk(*s->GetFolder("", *st->ID()));
  }
  return ids;
}

TEST_P(MessagingContract, EntryIdsHaveTheStoreLayoutsAndAreStable) {
  SessionPtr s = LoggedOn();
  std::vector<std::string> first = AllIds(s);
  std::set<std::string> unique(first.begin(), first.end());
  EXPECT_EQ(unique.size(), first.size());

  FolderPtr reg = Registrations(s);
  std::string fid = *reg->ID();
  ASSERT_EQ(fid.size(), 92u);
  EXPECT_EQ(fid.substr(0, 8), "00000000");
  EXPECT_EQ(fid.substr(8, 32), "00112233445566778899AABBCCDDEEFF");  // the mailbox GUID
  EXPECT_EQ(fid.substr(40, 4), "0100");                              // private folder
  MessagePtr m = *(*reg->Messages())->Item(1);
  std::string mid = *m->ID();
  ASSERT_EQ(mid.size(), 140u);
  EXPECT_EQ(mid.substr(8, 32), "00112233445566778899AABBCCDDEEFF");
  EXPECT_EQ(mid.substr(40, 4), "0700");
  EXPECT_EQ(mid.substr(44, 48), fid.substr(44, 48));  // the folder's database GUID and counter
  EXPECT_EQ(*m->StoreID(), *reg->StoreID());

  auto pub = (*s->InfoStores())[1];
  FolderPtr top = *pub->IpmRootFolder();
  std::string pid = *top->ID();
  EXPECT_EQ(pid.substr(8, 32), "1A447390AA6611CD9BC800AA002FC45A");
  EXPECT_EQ(pid.substr(40, 4), "0300");

  ASSERT_TRUE(s->Logoff().ok());
  const std::string before = ReadFile(host_.Mailbox());
  SessionPtr again = LoggedOn();
  EXPECT_EQ(AllIds(again), first);
  ASSERT_TRUE(again->Logoff().ok());
  EXPECT_EQ(ReadFile(host_.Mailbox()), before) << "reading must not rewrite the store";
}

TEST_P(MessagingContract, GeneratedIdsAreWrittenAndKept) {
  SessionPtr s = LoggedOn();
  const std::string reg_id = *Registrations(s)->ID();
  const std::string msg_id = *(*(*Registrations(s)->Messages())->Item(2))->ID();
  auto added = (*AgentInfo(s)->Folders())->Add("velkoraUserInfo");
  ASSERT_TRUE(added.ok()) << added.status().description();
  const std::string added_id = *(*added)->ID();
  ASSERT_TRUE(s->Logoff().ok());

  std::string text = ReadFile(host_.Mailbox());
  EXPECT_NE(text.find(reg_id), std::string::npos);
  EXPECT_NE(text.find(msg_id), std::string::npos);
  EXPECT_NE(text.find(added_id), std::string::npos);

  // Once written, IDs survive edits that move things around in the file: put a new folder
  // first and the Registrations folder's messages in reverse order.
  text.replace(text.find("\"folders\": ["), 12, "\"folders\": [\n{\"name\": \"Zeta\"},");
  WriteFile(host_.Mailbox(), text);
  SessionPtr again = LoggedOn();
  EXPECT_EQ(*Registrations(again)->ID(), reg_id);
  auto by_id = again->GetMessage(msg_id, "");
  ASSERT_TRUE(by_id.ok());
  EXPECT_EQ(*(*by_id)->Subject(), "newest");
  EXPECT_EQ(*(*again->GetFolder(added_id, ""))->Name(), "velkoraUserInfo");
}

TEST_P(MessagingContract, GetFolderAndMessageByIdPerStore) {
  SessionPtr s = LoggedOn();
  FolderPtr reg = Registrations(s);
  std::string id = *reg->ID();
  std::string lower = id;
  std::transform(lower.begin(), lower.end(), lower.begin(), ::tolower);
  EXPECT_EQ(*(*s->GetFolder(lower, ""))->ID(), id);
  EXPECT_TRUE(*s->CompareIDs(lower, id));
  EXPECT_FALSE(*s->CompareIDs(id, *AgentInfo(s)->ID()));

  auto pub = (*s->InfoStores())[1];
  std::string pub_id = *pub->ID();
  std::string agents_id = *Sub(*pub->IpmRootFolder(), "Agents")->ID();
  EXPECT_EQ(s->GetFolder(agents_id, "").status().number(), err::kNotFound);
  EXPECT_EQ(*(*s->GetFolder(agents_id, pub_id))->Name(), "Agents");
  EXPECT_EQ(s->GetFolder(id, pub_id).status().number(), err::kNotFound);
  EXPECT_EQ(*(*s->GetFolder("", pub_id))->Name(), "");

  std::string mid = *(*(*reg->Messages())->Item(1))->ID();
  EXPECT_EQ(*(*s->GetMessage(mid, ""))->Subject(), "old");
  EXPECT_EQ(s->GetMessage(mid, pub_id).status().number(), err::kNotFound);
  EXPECT_EQ(s->GetMessage("00", "").status().number(), err::kNotFound);

  auto helper = *s->CreateHelperSession();
  EXPECT_EQ(*(*helper->GetFolderFromID(agents_id, pub_id))->Name(), "Agents");
  EXPECT_EQ(*(*helper->GetStoreFromID(pub_id))->Name(), "Public Folders");
  EXPECT_TRUE(*pub->CompareEntryIDs(lower, id));
}

TEST_P(MessagingContract, PublicStoreCarriesTopFolderEntryId) {
  SessionPtr s = LoggedOn();
  auto stores = *s->InfoStores();
  EXPECT_EQ(stores[0]->Field(kPrIpmPublicFoldersEntryId).status().number(), err::kNotFound);
  auto marker = stores[1]->Field(kPrIpmPublicFoldersEntryId);
  ASSERT_TRUE(marker.ok());
  ASSERT_TRUE(marker->IsString());
  auto top = s->GetFolder(marker->string_value(), *stores[1]->ID());
  ASSERT_TRUE(top.ok());
  EXPECT_EQ(*(*top)->Name(), "All Public Folders");
  FolderPtr mc = Sub(Sub(*top, "agents"), "MANDATORY CONTACTS");
  ASSERT_NE(mc, nullptr);
  EXPECT_EQ(*(*mc->Parent())->Name(), "Agents");
  FolderPtr agents = *mc->Parent();
  EXPECT_EQ(*(*agents->Parent())->Name(), "All Public Folders");
}

// ---------------------------------------------------------------------------------------
// Folders

TEST_P(MessagingContract, FoldersEnumerateAddAndMove) {
  SessionPtr s = LoggedOn();
  FolderPtr root = *s->GetFolder("", "");
  auto folders = *root->Folders();
  EXPECT_EQ(*folders->Count(), 2);
  EXPECT_EQ(*(*folders->Item(1))->Name(), "Top of Information Store");
  EXPECT_EQ(*(*folders->Item(2))->Name(), "velkoraAgentInfo");
  EXPECT_EQ(folders->Item(3).status().number(), err::kNotFound);
  EXPECT_EQ(folders->Item(0).status().number(), err::kNotFound);
  EXPECT_EQ(*(*folders->Item("VELKORAAGENTINFO"))->Name(), "velkoraAgentInfo");
  EXPECT_EQ(folders->Item("nope").status().number(), err::kNotFound);
  EXPECT_EQ(folders->Add("VelkoraAgentInfo").status().number(), err::kCollision);

  // An older layout: the user folder at the root, moved below the agent folder.
  auto user = folders->Add("velkoraUserInfo");
  ASSERT_TRUE(user.ok());
  EXPECT_EQ(*folders->Count(), 3);
  std::string user_id = *(*user)->ID();
  FolderPtr agent = AgentInfo(s);
  EXPECT_EQ((*user)->MoveTo(*(*user)->ID(), "").status().number(), err::kInvalidArg);
  auto moved = (*user)->MoveTo(*agent->ID(), "");
  ASSERT_TRUE(moved.ok()) << moved.status().description();
  EXPECT_EQ(*(*moved)->ID(), user_id);
  EXPECT_EQ(*(*(*moved)->Parent())->ID(), *agent->ID());
  EXPECT_EQ(*folders->Count(), 2);
  EXPECT_EQ(agent->MoveTo(user_id, "").status().number(), err::kInvalidArg);
  auto pub_id = *(*s->InfoStores())[1]->ID();
  EXPECT_EQ(
      agent->MoveTo(*(*(*s->InfoStores())[1]->IpmRootFolder())->ID(), pub_id).status().number(),
      err::kNoSupport);
  ASSERT_TRUE(s->Logoff().ok());

  SessionPtr again = LoggedOn();
  FolderPtr agent2 = AgentInfo(again);
  auto subs = *(*agent2->Folders())->All();
  ASSERT_EQ(subs.size(), 1u);
  EXPECT_EQ(*subs[0]->Name(), "velkoraUserInfo");
  EXPECT_EQ(*subs[0]->ID(), user_id);
}

// ---------------------------------------------------------------------------------------
// Messages

TEST_P(MessagingContract, MessageFiltersSelectByClassAndSubject) {
  SessionPtr s = LoggedOn();
  auto msgs = *AgentInfo(s)->Messages();
  EXPECT_EQ(*msgs->Count(), 5);
  ASSERT_TRUE(
      msgs->SetFilter({std::string("VELKORA.agent"), std::string("velkoraagent"), false}).ok());
  EXPECT_EQ(*msgs->Count(), 3);
  ASSERT_TRUE(msgs->SetFilter({std::string("velkora.Agent"), std::nullopt, false}).ok());
  EXPECT_EQ(*msgs->Count(), 3);
  ASSERT_TRUE(msgs->SetFilter({std::nullopt, std::string("Velkoraagent"), false}).ok());
  EXPECT_EQ(*msgs->Count(), 4);  // the IPM.Note whose subject differs only in case
  ASSERT_TRUE(msgs->SetFilter({std::string("velkora.UserInfo"), std::nullopt, true}).ok());
  auto not_user = *msgs->All();
  ASSERT_EQ(not_user.size(), 4u);
  for (const auto& m : not_user) EXPECT_NE(*m->Type(), "velkora.UserInfo");
  ASSERT_TRUE(
      msgs->SetFilter({std::string("velkora.Agent"), std::string("velkoraAgent"), true}).ok());
  EXPECT_EQ(*msgs->Count(), 2);
  ASSERT_TRUE(msgs->ClearFilter().ok());
  EXPECT_EQ(*msgs->Count(), 5);
  EXPECT_EQ(*(*msgs->GetFirst("velkora.userinfo"))->Subject(), "u1");
  EXPECT_EQ(*(*msgs->GetFirst())->Type(), "velkora.Agent");
  EXPECT_EQ(msgs->GetFirst("no.such").status().number(), err::kNotFound);
}

TEST_P(MessagingContract, DeletingByPositionShiftsLaterMessages) {
  SessionPtr s = LoggedOn();
  auto msgs = *AgentInfo(s)->Messages();
  ASSERT_TRUE(
      msgs->SetFilter({std::string("velkora.Agent"), std::string("velkoraAgent"), false}).ok());
  const int32_t count = *msgs->Count();
  ASSERT_EQ(count, 3);
  std::string kept = *(*msgs->Item(1))->ID();
  std::string third = *(*msgs->Item(3))->ID();
  // The system deletes position i for i = 2 .. count with the count read once: the second
  // deletion then finds nothing at position 3.
  ASSERT_TRUE((*msgs->Item(2))->Delete().ok());
  EXPECT_EQ(*msgs->Count(), 2);
  EXPECT_EQ(*(*msgs->Item(2))->ID(), third);
  EXPECT_EQ(msgs->Item(3).status().number(), err::kNotFound);
  ASSERT_TRUE(s->Logoff().ok());

  SessionPtr again = LoggedOn();
  auto msgs2 = *AgentInfo(again)->Messages();
  EXPECT_EQ(*msgs2->Count(), 4);
  ASSERT_TRUE(msgs2->SetFilter({std::string("velkora.Agent"), std::nullopt, false}).ok());
  ASSERT_EQ(*msgs2->Count(), 2);
  EXPECT_EQ(*(*msgs2->Item(1))->ID(), kept);
  EXPECT_EQ(*(*msgs2->Item(2))->ID(), third);
}

TEST_P(MessagingContract, DeletedMessageHandleReportsDeletion) {
  SessionPtr s = LoggedOn();
  MessagePtr m = *(*AgentInfo(s)->Messages())->Item(2);
  std::string id = *m->ID();
  ASSERT_TRUE(m->Delete().ok());
  EXPECT_EQ(m->Subject().status().number(), err::kObjectDeleted);
  EXPECT_EQ(s->GetMessage(id, "").status().number(), err::kNotFound);
}

TEST_P(MessagingContract, FieldsByNameAndTag) {
  SessionPtr s = LoggedOn();
  auto msgs = *Registrations(s)->Messages();
  MessagePtr old = *msgs->Item(1);
  MessagePtr newest = *msgs->Item(2);
  EXPECT_EQ(*old->Field("PIN"), Variant("1111"));
  EXPECT_EQ(old->Field("pin").status().number(), err::kNotFound);  // names are exact
  EXPECT_EQ(old->Field("DeviceID").status().number(), err::kNotFound);
  EXPECT_EQ(*newest->Field("QAV Privacy"), Variant::Boolean(true));
  EXPECT_EQ(*old->Field(kPrMessageClass), Variant("velkora.Registration"));
  EXPECT_EQ(*old->Field(kPrSubject), Variant("old"));
  EXPECT_EQ(*old->Field(kPrConversationTopic), Variant("a@example.com"));
  // Without a topic the subject serves.
  EXPECT_EQ(*newest->Field(kPrConversationTopic), Variant("newest"));
  EXPECT_EQ(*old->Field(kPrEntryId), Variant(*old->ID()));
  auto when = old->Field(kPrLastModificationTime);
  ASSERT_TRUE(when.ok());
  EXPECT_EQ(when->type(), VarType::kDate);
  EXPECT_EQ(UnixFromOleDate(when->double_value()), 1704103200);
  EXPECT_EQ(*newest->Field(0x3A1C001E), Variant("+1 555"));
  EXPECT_EQ(*newest->Field(0x10000102), Variant("01ABFF"));  // binary as hex text
  EXPECT_EQ(newest->Field(0x3A1D001E).status().number(), err::kNotFound);
  EXPECT_EQ(newest->Field(0x3A1C0003).status().number(), err::kNotFound);  // wrong type
}

TEST_P(MessagingContract, AddFieldAndUpdatePersist) {
  SessionPtr s = LoggedOn();
  auto msgs = *AgentInfo(s)->Messages();
  MessagePtr settings = *msgs->GetFirst("velkora.Agent");
  std::string id = *settings->ID();
  ASSERT_TRUE(settings->AddField("HHEntryID", 8, Variant("0011")).ok());
  ASSERT_TRUE(settings->AddField("HHPath", 8, Variant("\\\\Mailbox - Agent\\Registrations")).ok());
  ASSERT_TRUE(settings->AddField("Count", 3, Variant::Long(7)).ok());
  EXPECT_EQ(settings->AddField("Bad", 99, Variant("x")).number(), err::kInvalidArg);
  EXPECT_EQ(*settings->Field("HHEntryID"), Variant("0011"));
  ASSERT_TRUE(settings->Update().ok());
  ASSERT_TRUE(s->Logoff().ok());

  SessionPtr again = LoggedOn();
  MessagePtr m = *again->GetMessage(id, "");
  EXPECT_EQ(*m->Field("HHEntryID"), Variant("0011"));
  EXPECT_EQ(*m->Field("HHPath"), Variant("\\\\Mailbox - Agent\\Registrations"));
  EXPECT_EQ(*m->Field("Count"), Variant::Long(7));
  EXPECT_TRUE(m->Field(kPrLastModificationTime).ok());  // saving stamps the time
}

TEST_P(MessagingContract, NewMessageIsSavedByUpdate) {
  SessionPtr s = LoggedOn();
  auto msgs = *AgentInfo(s)->Messages();
  MessagePtr m = *msgs->Add();
  EXPECT_EQ(m->ID().status().number(), err::kNotFound);
  EXPECT_EQ(*msgs->Count(), 5);
  ASSERT_TRUE(m->AddField("Name", 8, Variant("x")).ok());
  ASSERT_TRUE(m->Update().ok());
  EXPECT_EQ(*msgs->Count(), 6);
  std::string id = *m->ID();
  EXPECT_EQ(id.size(), 140u);
  auto moved = m->MoveTo(*Registrations(s)->ID(), "");
  ASSERT_TRUE(moved.ok()) << moved.status().description();
  EXPECT_EQ(*msgs->Count(), 5);
  std::string new_id = *(*moved)->ID();
  EXPECT_EQ(new_id.substr(44, 48), Registrations(s)->ID()->substr(44, 48));
  ASSERT_TRUE(s->Logoff().ok());

  SessionPtr again = LoggedOn();
  auto reg = *Registrations(again)->Messages();
  EXPECT_EQ(*reg->Count(), 4);
  EXPECT_EQ(*(*again->GetMessage(new_id, ""))->Field("Name"), Variant("x"));
  EXPECT_EQ(*(*again->GetMessage(new_id, ""))->Type(), "IPM.Note");
}

// Within one session a message is found by the ID it has now: the one Update gave it, then
// the one MoveTo gave it; never by an ID it gave up, and not at all once deleted. Enough
// messages are added that the store's ID index grows meanwhile.
TEST_P(MessagingContract, MessagesAreFoundByTheirCurrentIdsWithinASession) {
  SessionPtr s = LoggedOn();
  auto msgs = *AgentInfo(s)->Messages();
  std::vector<std::pair<std::string, std::string>> saved;  // ID, PIN
  for (int i = 0; i < 20; ++i) {
    MessagePtr m = *msgs->Add();
    ASSERT_TRUE(m->AddField("PIN", 8, Variant("pin" + std::to_string(i))).ok());
    ASSERT_TRUE(m->Update().ok());
    saved.emplace_back(*m->ID(), "pin" + std::to_string(i));
  }
  for (const auto& [id, pin] : saved) {
    auto found = s->GetMessage(id, "");
    ASSERT_TRUE(found.ok()) << id;
    EXPECT_EQ(*(*found)->Field("PIN"), Variant(pin));
  }
  const std::string old_id = *(*(*Registrations(s)->Messages())->Item(1))->ID();

  MessagePtr first = *s->GetMessage(saved[0].first, "");
  auto moved = first->MoveTo(*Registrations(s)->ID(), "");
  ASSERT_TRUE(moved.ok()) << moved.status().description();
  const std::string moved_id = *(*moved)->ID();
  ASSERT_NE(moved_id, saved[0].first);
  EXPECT_EQ(s->GetMessage(saved[0].first, "").status().number(), err::kNotFound);
  EXPECT_EQ(*(*s->GetMessage(moved_id, ""))->Field("PIN"), Variant("pin0"));
  EXPECT_EQ(*(*s->GetMessage(old_id, ""))->Subject(), "old");

  ASSERT_TRUE((*s->GetMessage(moved_id, ""))->Delete().ok());
  EXPECT_EQ(s->GetMessage(moved_id, "").status().number(), err::kNotFound);
  EXPECT_EQ(*(*s->GetMessage(saved[1].first, ""))->Field("PIN"), Variant("pin1"));
}

TEST_P(MessagingContract, ScratchMessagesInInboxAreNeverWritten) {
  const std::string before = ReadFile(host_.Mailbox());
  auto opener = [](const std::filesystem::path&,
                   std::ostream&) -> Result<std::shared_ptr<AddressBook>> {
    return std::shared_ptr<AddressBook>(std::make_shared<FakeBook>());
  };
  SessionPtr s = LoggedOn(opener);
  auto inbox = *(*s->Inbox())->Messages();
  MessagePtr scratch = *inbox->Add();
  auto recips = *scratch->Recipients();
  RecipientPtr r = *recips->Add("EX:/o=Org/cn=alice");
  EXPECT_FALSE(*recips->Resolved());
  EXPECT_EQ(*r->Type(), "");
  ASSERT_TRUE(recips->Resolve(false).ok());
  EXPECT_TRUE(*recips->Resolved());
  EXPECT_EQ(*r->Type(), "EX");
  EXPECT_EQ(*(*r->AddressEntry())->Address(), "/o=Org/cn=alice");
  RecipientPtr bad = *recips->Add("Nobody");
  EXPECT_EQ(recips->Resolve(false).number(), err::kUnresolved);
  EXPECT_FALSE(*recips->Resolved());
  EXPECT_EQ(*recips->Count(), 2);
  ASSERT_TRUE(bad->Delete().ok());
  EXPECT_EQ(*recips->Count(), 1);
  EXPECT_TRUE(*recips->Resolved());
  ASSERT_TRUE(scratch->Delete().ok());
  EXPECT_EQ(*inbox->Count(), 0);
  ASSERT_TRUE(s->Logoff().ok());
  EXPECT_EQ(ReadFile(host_.Mailbox()), before);
}

TEST_P(MessagingContract, AddressOperationsNeedAnAddressBook) {
  SessionPtr s = LoggedOn();
  MessagePtr scratch = *(*(*s->Inbox())->Messages())->Add();
  auto recips = *scratch->Recipients();
  ASSERT_TRUE(recips->Add("Alice").ok());
  Status st = recips->Resolve(false);
  EXPECT_EQ(st, Status(err::kNoSupport, "address book not available"));
  EXPECT_EQ(s->GetAddressEntry("AB01").status().number(), err::kNoSupport);
  auto helper = *s->CreateHelperSession();
  EXPECT_EQ(helper->GalEntryByDN("/o=Org/cn=alice").status().number(), err::kNoSupport);
  EXPECT_EQ(helper->GetAddressEntryFromID("AB01").status().number(), err::kNoSupport);
  EXPECT_EQ((*s->CreateMapiUtils())->ResolveName("Alice").status().number(), err::kNoSupport);

  // A session without an opener has no book to wait for: nothing is wrong with it.
  EXPECT_TRUE(s->AddressBookStatus(true).ok());

  // An opener that fails leaves the session without a book, and the session says why when
  // asked, not on its diagnostics (the caller reports it once).
  SessionPtr failing = NewSession();
  ASSERT_TRUE(s->Logoff().ok());
  failing = NewSession(
      [](const std::filesystem::path&, std::ostream&) -> Result<std::shared_ptr<AddressBook>> {
        return Status(err::kFail, "no directory");
      });
  ASSERT_TRUE(failing->Logon("EXSRV\nagent").ok());
  EXPECT_EQ(failing->AddressBookStatus(true), Status(err::kFail, "no directory"));
  EXPECT_EQ(failing->GetAddressEntry("AB01").status().number(), err::kNoSupport);
  EXPECT_EQ(failing->AddressBookStatus(false), Status(err::kFail, "no directory"));
  EXPECT_EQ(diag_.str().find("no directory"), std::string::npos);

  // The book opens on a thread of its own; what its opener reports reaches the session's
  // diagnostics once the session has waited for it, at first use or at logoff.
  SessionPtr noisy = NewSession(
      [](const std::filesystem::path&, std::ostream& diag) -> Result<std::shared_ptr<AddressBook>> {
        diag << "directory.ldif:7: something odd\n";
        return std::shared_ptr<AddressBook>(std::make_shared<FakeBook>());
      });
  ASSERT_TRUE(failing->Logoff().ok());
  ASSERT_TRUE(noisy->Logon("EXSRV\nagent").ok());
  ASSERT_TRUE(noisy->Logoff().ok());
  EXPECT_NE(diag_.str().find("directory.ldif:7: something odd"), std::string::npos);
}

TEST_P(MessagingContract, AddressOperationsUseTheBook) {
  SessionPtr s = LoggedOn(
      [](const std::filesystem::path& dir, std::ostream&) -> Result<std::shared_ptr<AddressBook>> {
        EXPECT_EQ(dir.filename(), "EXSRV");
        return std::shared_ptr<AddressBook>(std::make_shared<FakeBook>());
      });
  EXPECT_EQ(*(*s->GetAddressEntry("AB01"))->Name(), "Alice");
  auto helper = *s->CreateHelperSession();
  EXPECT_EQ(*(*helper->GalEntryByDN("/o=Org/cn=alice"))->ID(), "AB01");
  EXPECT_EQ(helper->GalEntryByDN("/o=Org/cn=bob").status().number(), err::kNotFound);
  auto utils = *s->CreateMapiUtils();
  auto e = utils->ResolveName("Alice");
  ASSERT_TRUE(e.ok());
  EXPECT_EQ(e->address_type, "EX");
  EXPECT_EQ(e->entry_id, "AB01");
}

// What a logon held is freed on a thread of its own after Logoff: the session logs on again
// at once, with its own book, and entries handed out before keep what they had.
TEST_P(MessagingContract, LogsOnAgainWhileTheLastLogonIsFreed) {
  int opened = 0;
  SessionPtr s = LoggedOn([&opened](const std::filesystem::path&,
                                    std::ostream&) -> Result<std::shared_ptr<AddressBook>> {
    ++opened;
    return std::shared_ptr<AddressBook>(std::make_shared<FakeBook>());
  });
  AddressEntryPtr kept = *s->GetAddressEntry("AB01");
  for (int i = 0; i < 3; ++i) {
    ASSERT_TRUE(s->Logoff().ok());
    EXPECT_FALSE(s->LoggedOn());
    EXPECT_EQ(s->GetAddressEntry("AB01").status().number(), err::kNotLoggedOn);
    ASSERT_TRUE(s->Logon("EXSRV\nagent").ok());
    EXPECT_EQ(*(*s->GetAddressEntry("AB01"))->Name(), "Alice");
    EXPECT_EQ(*Registrations(s)->Name(), "Registrations");
  }
  EXPECT_EQ(opened, 4);
  EXPECT_EQ(*kept->Name(), "Alice");
  SessionPtr other = NewSession();
  EXPECT_EQ(other->Logon("EXSRV\nagent").number(), err::kLogonFailed) << "still held by s";
  ASSERT_TRUE(s->Logoff().ok());
  EXPECT_TRUE(other->Logon("EXSRV\nagent").ok());
}

// ---------------------------------------------------------------------------------------
// Named properties and tables

TEST_P(MessagingContract, NamedPropertyIdsAreStablePerStore) {
  SessionPtr s = LoggedOn();
  FolderPtr reg = Registrations(s);
  uint32_t pin = *reg->GetIDFromName(kPsPublicStrings, "PIN");
  EXPECT_GE(pin >> 16, 0x8000u);
  EXPECT_EQ(pin & 0xFFFF, 0u);
  EXPECT_EQ(*AgentInfo(s)->GetIDFromName("{00020329-0000-0000-c000-000000000046}", "PIN"), pin);
  uint32_t fresh = *reg->GetIDFromName(kPsPublicStrings, "Never Seen");
  EXPECT_NE(fresh, pin);
  EXPECT_EQ(*reg->GetIDFromName(kPsPublicStrings, "Never Seen"), fresh);
  uint32_t other_set = *reg->GetIDFromName(kPsetidAddress, "PIN");
  EXPECT_NE(other_set, pin);
  uint32_t numeric = *reg->GetIDFromNumericId(kPsetidAddress, 32899);
  EXPECT_GE(numeric >> 16, 0x8000u);
  EXPECT_NE(numeric, fresh);
  EXPECT_EQ(reg->GetIDFromName("not-a-guid", "PIN").status().number(), err::kInvalidArg);
  // The mapped tag reads the property.
  MessagePtr middle = *(*reg->Messages())->Item(3);
  EXPECT_EQ(*middle->Field(pin | 0x1E), Variant("2222"));
  EXPECT_EQ(*middle->Field(numeric | 0x1E), Variant("numeric"));
}

std::vector<Variant> Rows(const TablePtr& t) {
  std::vector<Variant> rows;
  for (;;) {
    auto row = t->NextRow();
    EXPECT_TRUE(row.ok());
    if (!row.ok() || row->IsEmpty()) break;
    rows.push_back(*row);
  }
  return rows;
}

TEST_P(MessagingContract, ContentsTableSortsNewestFirstWithTypedColumns) {
  SessionPtr s = LoggedOn();
  FolderPtr reg = Registrations(s);
  auto table = reg->GetContentsTable();
  ASSERT_TRUE(table.ok());
  TablePtr t = *table;
  EXPECT_EQ(*t->RowCount(), 3);
  uint32_t pin = *reg->GetIDFromName(kPsPublicStrings, "PIN") | 0x1E;
  uint32_t device = *reg->GetIDFromName(kPsPublicStrings, "DeviceID") | 0x1E;
  uint32_t privacy = *reg->GetIDFromName(kPsPublicStrings, "QAV Privacy");
  ASSERT_TRUE(
      t->SetColumns({pin, device, kPrConversationTopic, kPrLongtermEntryIdFromTable, privacy | 0x0B,
                     privacy | 0x1E, kPrLastModificationTime, 0x10000102, 0x3A1C001E})
          .ok());
  ASSERT_TRUE(t->Sort(kPrLastModificationTime, true).ok());
  ASSERT_TRUE(t->GoToFirstRow().ok());
  std::vector<Variant> rows = Rows(t);
  ASSERT_EQ(rows.size(), 3u);
  std::vector<std::string> pins;
  for (const Variant& r : rows) pins.push_back(r.array()[0].string_value());
  EXPECT_EQ(pins, (std::vector<std::string>{"3333", "2222", "1111"}));
  const auto& first = rows[0].array();
  ASSERT_EQ(first.size(), 9u);
  EXPECT_TRUE(first[1].IsEmpty());  // missing property
  EXPECT_EQ(first[2], Variant("newest"));
  EXPECT_EQ(first[3].TypeName(), "Variant()");
  std::string hex;
  for (const Variant& b : first[3].array()) {
    char buf[3];
    std::snprintf(buf, sizeof buf, "%02X", static_cast<unsigned>(b.integer_value()));
    hex += buf;
  }
  auto msgs = *reg->Messages();
  EXPECT_EQ(hex, *(*msgs->Item(2))->ID());
  EXPECT_EQ(first[4], Variant::Boolean(true));
  EXPECT_TRUE(first[5].IsEmpty());  // a Boolean is not delivered as text
  EXPECT_EQ(first[6].type(), VarType::kDate);
  EXPECT_EQ(first[7], Variant::Bytes({0x01, 0xAB, 0xFF}));
  EXPECT_EQ(first[8], Variant("+1 555"));
  EXPECT_TRUE(t->NextRow()->IsEmpty());
  EXPECT_TRUE(t->CurrentRow()->IsEmpty());

  ASSERT_TRUE(t->Sort(kPrLastModificationTime, false).ok());
  rows = Rows(t);
  EXPECT_EQ(rows[0].array()[0], Variant("1111"));
  ASSERT_TRUE(t->Sort(kPrSubject, false).ok());
  rows = Rows(t);
  EXPECT_EQ(rows[0].array()[2], Variant("b@example.com"));  // "middle" < "newest" < "old"
  ASSERT_TRUE(t->Close().ok());
  EXPECT_FALSE(t->NextRow().ok());
}

TEST_P(MessagingContract, SortIsStableAndPutsMissingValuesLast) {
  WriteFile(host_.Mailbox(), R"({"displayName": "M", "root": {"name": "", "messages": [
    {"class": "A", "subject": "1", "lastModified": "2024-01-01T00:00:00Z"},
    {"class": "A", "subject": "2"},
    {"class": "A", "subject": "3", "lastModified": "2024-01-01T00:00:00Z"},
    {"class": "A", "subject": "4", "lastModified": "2024-01-01T00:00:00.500Z"}]}})");
  SessionPtr s = LoggedOn();
  TablePtr t = *(*s->GetFolder("", ""))->GetContentsTable();
  ASSERT_TRUE(t->SetColumns({kPrSubject}).ok());
  ASSERT_TRUE(t->Sort(kPrLastModificationTime, true).ok());
  std::string order;
  for (const Variant& r : Rows(t)) order += r.array()[0].string_value();
  EXPECT_EQ(order, "4132");
}

TEST_P(MessagingContract, RestrictionsFindMatchingRows) {
  WriteFile(host_.Mailbox(), R"({"displayName": "M", "root": {"name": "", "messages": [
    {"class": "velkora.AltFolder", "subject": "Contacts X"},
    {"class": "VELKORA.ALTFOLDER", "subject": "contacts"},
    {"class": "velkora.AltFolder", "subject": "Contacts"},
    {"class": "IPM.Note", "subject": "Contacts"},
    {"class": "velkora.AltFolder", "subject": "CONTACTS",
     "named": [{"name": "PIN", "type": "multiString", "value": ["a1", "B2"]}]}]}})");
  SessionPtr s = LoggedOn();
  FolderPtr root = *s->GetFolder("", "");
  TablePtr t = *root->GetContentsTable();
  ASSERT_TRUE(t->SetColumns({kPrLongtermEntryIdFromTable, kPrSubject}).ok());
  TableFilterPtr f = *t->Filter();

  auto collect = [&]() {
    std::vector<std::string> subjects;
    auto found = f->FindFirst(true);
    EXPECT_TRUE(found.ok()) << found.status().description();
    while (found.ok() && *found) {
      auto row = t->CurrentRow();
      subjects.push_back(row->array()[1].string_value());
      found = f->FindNext(true);
    }
    return subjects;
  };

  RestrictionPtr and_root = *f->SetRoot(kRestrictionAnd);
  EXPECT_EQ(and_root->Kind(), kRestrictionAnd);
  RestrictionPtr c1 = *and_root->AddChild(kRestrictionContent);
  ASSERT_TRUE(c1->SetFuzzyLevel(kFuzzyFullStringIgnoreCase).ok());
  ASSERT_TRUE(c1->SetPropTag(kPrMessageClass).ok());
  ASSERT_TRUE(c1->SetValue(Variant("velkora.AltFolder")).ok());
  RestrictionPtr c2 = *and_root->AddChild(kRestrictionContent);
  ASSERT_TRUE(c2->SetFuzzyLevel(kFuzzyFullStringIgnoreCase).ok());
  ASSERT_TRUE(c2->SetPropTag(kPrSubject).ok());
  ASSERT_TRUE(c2->SetValue(Variant("Contacts")).ok());
  EXPECT_EQ(c1->AddChild(kRestrictionContent).status().number(), err::kNoSupport);
  EXPECT_EQ(and_root->SetPropTag(kPrSubject).number(), err::kNoSupport);
  // Case differences match; a mere substring ("Contacts X") does not.
  EXPECT_EQ(collect(), (std::vector<std::string>{"contacts", "Contacts", "CONTACTS"}));

  RestrictionPtr single = *f->SetRoot(kRestrictionContent);
  ASSERT_TRUE(single->SetPropTag(kPrSubject).ok());
  ASSERT_TRUE(single->SetValue(Variant("Contacts")).ok());
  ASSERT_TRUE(single->SetFuzzyLevel(0).ok());  // full string, case-sensitive
  EXPECT_EQ(collect(), (std::vector<std::string>{"Contacts", "Contacts"}));
  ASSERT_TRUE(single->SetFuzzyLevel(0x10001).ok());  // substring, ignoring case
  EXPECT_EQ(collect().size(), 5u);
  ASSERT_TRUE(single->SetValue(Variant("ts x")).ok());
  EXPECT_EQ(collect(), (std::vector<std::string>{"Contacts X"}));
  ASSERT_TRUE(single->SetFuzzyLevel(0x10002).ok());  // prefix, ignoring case
  EXPECT_TRUE(collect().empty());
  ASSERT_TRUE(single->SetValue(Variant("CONTACTS ")).ok());
  EXPECT_EQ(collect(), (std::vector<std::string>{"Contacts X"}));

  // A named multi-valued string matches when any value does.
  uint32_t pin = *root->GetIDFromName(kPsPublicStrings, "PIN") | 0x101E;
  ASSERT_TRUE(single->SetPropTag(pin).ok());
  ASSERT_TRUE(single->SetFuzzyLevel(kFuzzyFullStringIgnoreCase).ok());
  ASSERT_TRUE(single->SetValue(Variant("b2")).ok());
  EXPECT_EQ(collect(), (std::vector<std::string>{"CONTACTS"}));
  ASSERT_TRUE(single->SetValue(Variant("none")).ok());
  EXPECT_TRUE(collect().empty());

  // An incomplete restriction is an error; a cleared filter matches every row.
  RestrictionPtr partial = *f->SetRoot(kRestrictionContent);
  ASSERT_TRUE(partial->SetPropTag(kPrSubject).ok());
  EXPECT_EQ(f->FindFirst(true).status().number(), err::kInvalidArg);
  ASSERT_TRUE(f->Clear().ok());
  EXPECT_EQ(collect().size(), 5u);
  EXPECT_EQ(f->SetRoot(7).status().number(), err::kNoSupport);
}

TEST_P(MessagingContract, WriteBackFailureIsReturned) {
  SessionPtr s = LoggedOn();
  // The temporary file's place is taken by a folder, so the write cannot even start.
  std::filesystem::path tmp = host_.Mailbox();
  tmp += ".tmp";
  std::filesystem::create_directory(tmp);
  auto added = (*(*s->GetFolder("", ""))->Folders())->Add("New");
  EXPECT_EQ(added.status().number(), err::kDiskError);
  EXPECT_NE(added.status().description().find(tmp.string()), std::string::npos)
      << added.status().description();
  EXPECT_NE(added.status().description().find("Is a directory"), std::string::npos);
  std::filesystem::remove(tmp);
  // The change is kept in memory and written with the next successful write-back.
  ASSERT_TRUE((*(*s->GetFolder("", ""))->Folders())->Add("Other").ok());
  ASSERT_TRUE(s->Logoff().ok());
  SessionPtr again = LoggedOn();
  EXPECT_TRUE((*(*again->GetFolder("", ""))->Folders())->Item("New").ok());
}

TEST_P(MessagingContract, MissingStandardFoldersAreCreatedAndKept) {
  WriteFile(host_.Mailbox(), R"({"displayName": "Mailbox - Bare", "root": {"name": ""}})");
  std::remove(host_.Public().c_str());
  SessionPtr s = LoggedOn();
  EXPECT_EQ(s->InfoStores()->size(), 1u);
  std::string inbox = *(*s->Inbox())->ID();
  EXPECT_EQ(*(*(*s->Inbox())->Parent())->Name(), "Top of Information Store");
  ASSERT_TRUE((*(*s->GetFolder("", ""))->Folders())->Add("velkoraAgentInfo").ok());
  ASSERT_TRUE(s->Logoff().ok());
  EXPECT_NE(ReadFile(host_.Mailbox()).find(inbox), std::string::npos);
  SessionPtr again = LoggedOn();
  EXPECT_EQ(*(*again->Inbox())->ID(), inbox);
}

INSTANTIATE_TEST_SUITE_P(Implementations, MessagingContract,
                         ::testing::Values(testing_messaging::JsonFactory()),
                         [](const auto& param_info) { return param_info.param.name; });

}  // namespace
}  // namespace testqav
