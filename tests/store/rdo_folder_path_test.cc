// The parent walk of a folder's display path over a hand-built folder hierarchy, including
// hierarchies a real store should never have (a folder that is its own parent, a loop).
#include <gtest/gtest.h>

#include <map>

#include "platform/common/error_codes.h"
#include "store/filtered_tables.h"
#include "support/test_runtime.h"

namespace testqav {
namespace {

const Status kNo(err::kNoSupport, "not supported here");

class FakeFolder : public Folder {
 public:
  FakeFolder(std::string id, std::string name) : id_(std::move(id)), name_(std::move(name)) {}
  Result<std::string> Name() const override { return name_; }
  Result<std::string> ID() const override { return id_; }
  Result<std::string> StoreID() const override { return std::string("S"); }
  Result<FoldersPtr> Folders() override { return kNo; }
  Result<MessagesPtr> Messages() override { return kNo; }
  Result<FolderPtr> MoveTo(std::string_view, std::string_view) override { return kNo; }
  Result<FolderPtr> Parent() override {
    if (auto p = parent.lock()) return FolderPtr(p);
    return Status(err::kNotFound, "no parent");
  }
  Result<uint32_t> GetIDFromName(std::string_view, std::string_view) override { return kNo; }
  Result<uint32_t> GetIDFromNumericId(std::string_view, uint32_t) override { return kNo; }
  Result<TablePtr> GetContentsTable() override { return kNo; }
  std::weak_ptr<FakeFolder> parent;

 private:
  std::string id_, name_;
};

class FakeStore : public InfoStore {
 public:
  explicit FakeStore(FolderPtr ipm_root) : ipm_root_(std::move(ipm_root)) {}
  Result<std::string> Name() const override { return std::string("Mailbox - Agent"); }
  Result<std::string> ID() const override { return std::string("S"); }
  Result<FolderPtr> RootFolder() override { return ipm_root_; }
  Result<Variant> Field(uint32_t) const override { return Status(err::kNotFound, "none"); }
  Result<FolderPtr> IpmRootFolder() override { return ipm_root_; }
  Result<bool> CompareEntryIDs(std::string_view a, std::string_view b) override { return a == b; }

 private:
  FolderPtr ipm_root_;
};

class FakeHelper : public HelperSession {
 public:
  Result<AddressEntryPtr> GalEntryByDN(std::string_view) override { return kNo; }
  Result<AddressEntryPtr> GetAddressEntryFromID(std::string_view) override { return kNo; }
  Result<FolderPtr> GetFolderFromID(std::string_view id, std::string_view) override {
    auto it = folders.find(std::string(id));
    if (it == folders.end()) return Status(err::kNotFound, "no such folder");
    return FolderPtr(it->second);
  }
  Result<InfoStorePtr> GetStoreFromID(std::string_view) override { return store; }
  std::map<std::string, std::shared_ptr<FakeFolder>> folders;
  InfoStorePtr store;
};

class FakeSession : public Session {
 public:
  Status Logon(std::string_view) override { return Status(); }
  Status Logoff() override { return Status(); }
  bool LoggedOn() const override { return true; }
  Result<std::vector<InfoStorePtr>> InfoStores() override { return kNo; }
  Result<InfoStorePtr> GetInfoStore(std::string_view) override { return kNo; }
  Result<FolderPtr> GetFolder(std::string_view, std::string_view) override { return kNo; }
  Result<MessagePtr> GetMessage(std::string_view, std::string_view) override { return kNo; }
  Result<bool> CompareIDs(std::string_view a, std::string_view b) override { return a == b; }
  Result<AddressEntryPtr> GetAddressEntry(std::string_view) override { return kNo; }
  Result<FolderPtr> Inbox() override { return kNo; }
  Result<HelperSessionPtr> CreateHelperSession() override { return helper; }
  Result<MapiUtilsPtr> CreateMapiUtils() override { return kNo; }
  HelperSessionPtr helper;
};

class RdoFolderPathTest : public ::testing::Test {
 protected:
  void SetUp() override {
    helper = std::make_shared<FakeHelper>();
    root = Add("R", "Root");
    ipm = Add("I", "Top of Information Store");
    ipm->parent = root;
    helper->store = std::make_shared<FakeStore>(ipm);
    auto session = std::make_shared<FakeSession>();
    session->helper = helper;
    t.rt.g.MapiSession = session;
  }
  std::shared_ptr<FakeFolder> Add(const std::string& id, const std::string& name) {
    auto f = std::make_shared<FakeFolder>(id, name);
    helper->folders[id] = f;
    return f;
  }
  testing::TestRuntime t;
  std::shared_ptr<FakeHelper> helper;
  std::shared_ptr<FakeFolder> root, ipm;
};

TEST_F(RdoFolderPathTest, FolderBelowTheIpmRoot) {
  auto f = Add("A", "Registrations");
  f->parent = ipm;
  EXPECT_EQ(GetRDOFolderPath(t.rt, "A", "S"), "\\\\Mailbox - Agent\\Registrations");
}

TEST_F(RdoFolderPathTest, NestedFolder) {
  auto a = Add("A", "Handheld");
  a->parent = ipm;
  auto b = Add("B", "Registrations");
  b->parent = a;
  EXPECT_EQ(GetRDOFolderPath(t.rt, "B", "S"), "\\\\Mailbox - Agent\\Handheld\\Registrations");
}

TEST_F(RdoFolderPathTest, FolderThatIsItsOwnParentEndsTheWalk) {
  auto a = Add("A", "Loop");
  a->parent = a;
  EXPECT_EQ(GetRDOFolderPath(t.rt, "A", "S"), "");
  EXPECT_TRUE(t.log.HasContaining("GetRDOFolderPath:error getting Parent of Loop")) << t.log.Dump();
}

TEST_F(RdoFolderPathTest, LoopOfTwoFoldersEndsTheWalk) {
  auto a = Add("A", "First");
  auto b = Add("B", "Second");
  a->parent = b;
  b->parent = a;
  EXPECT_EQ(GetRDOFolderPath(t.rt, "A", "S"), "");
  EXPECT_TRUE(t.log.HasContaining("GetRDOFolderPath:error getting Parent of ")) << t.log.Dump();
}

TEST_F(RdoFolderPathTest, FolderOutsideTheIpmTreeFailsAtTheStoreRoot) {
  auto a = Add("A", "velkoraAgentInfo");
  a->parent = root;
  EXPECT_EQ(GetRDOFolderPath(t.rt, "A", "S"), "");
  EXPECT_TRUE(t.log.Has("GetRDOFolderPath:error getting Parent of Root no parent", kLogError))
      << t.log.Dump();
}

TEST_F(RdoFolderPathTest, UnknownFolder) {
  EXPECT_EQ(GetRDOFolderPath(t.rt, "nope", "S"), "");
  EXPECT_TRUE(t.log.HasContaining("GetRDOFolderPath:unable to get folder: ")) << t.log.Dump();
}

}  // namespace
}  // namespace testqav
