// Shared test scaffolding for the messaging session suites: a host folder in a temporary
// directory, store files written by the tests, and a fake address book.
#pragma once

#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>

#include "platform/addressbook/address_book.h"
#include "platform/common/error_codes.h"
#include "platform/messaging/json/json_session.h"
#include "platform/messaging/messaging.h"
#include "support/files.h"
#include "support/temp_dir.h"

namespace testqav::testing_messaging {

using testing::ReadFile;
using testing::WriteFile;

// A host folder below the system's temporary directory, removed afterwards.
class TempHost {
 public:
  const std::filesystem::path& dir() const { return dir_.path(); }
  std::filesystem::path ServerDir(const std::string& server = "EXSRV") const {
    return dir_.path() / "exchange" / server;
  }
  std::filesystem::path Mailbox(const std::string& alias = "agent",
                                const std::string& server = "EXSRV") const {
    return ServerDir(server) / "mailboxes" / (alias + ".json");
  }
  std::filesystem::path Public(const std::string& server = "EXSRV") const {
    return ServerDir(server) / "public.json";
  }

 private:
  testing::TempDir dir_;
};

// A fake address entry / book: names resolve when they appear in the book.
class FakeEntry : public AddressEntry {
 public:
  FakeEntry(std::string name, std::string dn, std::string id)
      : name_(std::move(name)), dn_(std::move(dn)), id_(std::move(id)) {}
  Result<std::string> Type() const override { return std::string("EX"); }
  Result<std::string> Address() const override { return dn_; }
  Result<std::string> Name() const override { return name_; }
  Result<std::string> ID() const override { return id_; }
  Result<int32_t> DisplayType() const override { return 0; }
  Result<Variant> Field(uint32_t) const override { return Status(err::kNotFound, "none"); }
  Result<std::vector<AddressEntryPtr>> Members() override { return std::vector<AddressEntryPtr>{}; }
  Result<std::string> SmtpAddress() const override { return std::string(); }

 private:
  std::string name_, dn_, id_;
};

class FakeBook : public AddressBook {
 public:
  Result<AddressEntryPtr> ResolveName(std::string_view name) override {
    if (name == "Alice" || name == "EX:/o=Org/cn=alice") return Alice();
    return Status(err::kUnresolved, "unresolved: " + std::string(name));
  }
  Result<AddressEntryPtr> GetEntry(std::string_view id) override {
    if (id == "AB01") return Alice();
    return Status(err::kNotFound, "no entry");
  }
  Result<AddressEntryPtr> FindByDN(std::string_view dn) override {
    if (dn == "/o=Org/cn=alice") return Alice();
    return Status(err::kNotFound, "no entry");
  }

 private:
  static AddressEntryPtr Alice() {
    return std::make_shared<FakeEntry>("Alice", "/o=Org/cn=alice", "AB01");
  }
};

// The implementations the contract suite runs against.
struct SessionFactory {
  std::string name;
  std::function<SessionPtr(const std::filesystem::path&, std::ostream&, AddressBookOpener)> make;
};

inline SessionFactory JsonFactory() {
  return {"Json",
          [](const std::filesystem::path& host, std::ostream& diag, AddressBookOpener opener) {
            return CreateJsonSession(host, diag, std::move(opener));
          }};
}

}  // namespace testqav::testing_messaging
