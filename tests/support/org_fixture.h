// A small test organisation: a directory written as LDIF and an agent mailbox with a
// registration folder, built in code and written into a temporary host folder. Tests open a
// real messaging session over it (embedded directory, JSON mailbox) and run the engine.
#pragma once

#include <cstdio>
#include <filesystem>
#include <functional>
#include <map>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

#include "engine/qav.h"
#include "harness/agent_folders.h"
#include "platform/addressbook/address_book.h"
#include "platform/messaging/json/json_session.h"
#include "support/host_folder.h"
#include "support/test_runtime.h"

namespace testqav::testing {

inline constexpr const char* kOrgBase = "DC=contoso,DC=test";
inline constexpr const char* kOrgMailboxName = "Mailbox - Agent";

// The legacy Exchange distinguished name of a recipient with that alias.
inline std::string OrgDN(const std::string& alias) {
  return "/o=Contoso/ou=Site/cn=Recipients/cn=" + alias;
}

using Attributes = std::vector<std::pair<std::string, std::string>>;

// The directory: a domain, a users container and the objects the test adds.
class OrgLdif {
 public:
  // A mailbox user: legacyExchangeDN from the alias, a home server, `mail` when not empty,
  // the proxy addresses as given, and any further attributes.
  OrgLdif& User(const std::string& alias, const std::string& mail,
                const std::vector<std::string>& proxies = {}, const Attributes& extra = {}) {
    Attributes a = {{"objectClass", "top"},
                    {"objectClass", "person"},
                    {"objectClass", "organizationalPerson"},
                    {"objectClass", "user"},
                    {"cn", alias},
                    {"displayName", "User " + alias},
                    {"mailNickname", alias},
                    {"legacyExchangeDN", OrgDN(alias)},
                    {"msExchHomeServerName", "/o=Contoso/ou=Site/cn=Servers/cn=EXCH01"}};
    if (!mail.empty()) a.emplace_back("mail", mail);
    for (const auto& p : proxies) a.emplace_back("proxyAddresses", p);
    for (const auto& e : extra) a.push_back(e);
    return Object("CN=" + alias + ",CN=Users," + kOrgBase, a);
  }
  // A distribution group with an Exchange name; `mail` and proxies only when given.
  OrgLdif& Group(const std::string& alias, const std::string& mail,
                 const std::vector<std::string>& proxies = {},
                 const std::vector<std::string>& member_aliases = {}) {
    Attributes a = {{"objectClass", "top"},  {"objectClass", "group"},
                    {"cn", alias},           {"displayName", "Group " + alias},
                    {"mailNickname", alias}, {"legacyExchangeDN", OrgDN(alias)},
                    {"groupType", "8"}};
    if (!mail.empty()) a.emplace_back("mail", mail);
    for (const auto& p : proxies) a.emplace_back("proxyAddresses", p);
    for (const auto& m : member_aliases) {
      a.emplace_back("member", "CN=" + m + ",CN=Users," + kOrgBase);
    }
    return Object("CN=" + alias + ",CN=Users," + kOrgBase, a);
  }
  OrgLdif& Object(const std::string& dn, const Attributes& attributes) {
    objects_.emplace_back(dn, attributes);
    return *this;
  }

  std::string Text() const {
    std::ostringstream out;
    out << "version: 1\n\n";
    out << "dn: " << kOrgBase << "\nobjectClass: top\nobjectClass: domain\n"
        << "objectClass: domainDNS\ndc: contoso\n\n";
    out << "dn: CN=Users," << kOrgBase << "\nobjectClass: top\nobjectClass: container\n"
        << "cn: Users\n\n";
    for (const auto& [dn, attributes] : objects_) {
      out << "dn: " << dn << "\n";
      // A value "::"-prefixed by the caller is already base64 (blanks, for instance).
      for (const auto& [name, value] : attributes) {
        if (value.rfind(":", 0) == 0) {
          out << name << ":" << value << "\n";
        } else {
          out << name << ": " << value << "\n";
        }
      }
      out << "\n";
    }
    return out.str();
  }

 private:
  std::vector<std::pair<std::string, Attributes>> objects_;
};

// One registration message: its conversation topic, last-modification time and named
// string properties in the order given.
struct Registration {
  std::string topic;
  std::string last_modified;  // "2024-03-01T10:00:00Z"; empty for none
  Attributes named;
  std::string subject = "Handheld registration";
  std::string message_class = "IPM.Post.velkora.Registration";

  nlohmann::json Json() const {
    nlohmann::json m = {{"class", message_class}, {"subject", subject}};
    if (!topic.empty()) m["topic"] = topic;
    if (!last_modified.empty()) m["lastModified"] = last_modified;
    nlohmann::json props = nlohmann::json::array();
    for (const auto& [name, value] : named) {
      props.push_back({{"name", name}, {"type", "string"}, {"value", value}});
    }
    if (!props.empty()) m["named"] = props;
    return m;
  }
};

// One item of the mandatory-contacts folder: its subject, message class and named fields
// (texts, or "true"/"false" written as Booleans for the flag fields).
struct MclItem {
  std::string subject;
  std::string source;
  std::string target;
  Attributes flags;  // ("MCL.IncludeDLs", "false"), ("QAV.Inactive", "true"), ...
  std::string message_class = "IPM.Post.MCL";

  nlohmann::json Json() const {
    nlohmann::json named = nlohmann::json::array(
        {{{"name", "ZOR.Guid"}, {"type", "string"}, {"value", "{guid-" + subject + "}"}},
         {{"name", "MCL Source Email"}, {"type", "string"}, {"value", source}},
         {{"name", "MCL Target Email"}, {"type", "string"}, {"value", target}}});
    for (const auto& [name, value] : flags) {
      named.push_back({{"name", name}, {"type", "boolean"}, {"value", value == "true"}});
    }
    return {{"class", message_class}, {"subject", subject}, {"named", named}};
  }
};

// A contact of a repository or alternate contact folder: its subject and its three e-mail
// slots (address and entry ID as hex text; an empty text leaves the property out).
struct ContactItem {
  std::string subject;
  std::string email[3];
  std::string entry_id[3];

  nlohmann::json Json() const {
    static const int kAddress[] = {0x8083, 0x8093, 0x80A3};
    static const int kEntryId[] = {0x8085, 0x8095, 0x80A5};
    nlohmann::json named = nlohmann::json::array();
    for (int i = 0; i < 3; ++i) {
      if (!email[i].empty()) {
        named.push_back({{"set", kPsetidAddress},
                         {"id", kAddress[i]},
                         {"type", "string"},
                         {"value", email[i]}});
      }
      if (!entry_id[i].empty()) {
        named.push_back({{"set", kPsetidAddress},
                         {"id", kEntryId[i]},
                         {"type", "binary"},
                         {"value", entry_id[i]}});
      }
    }
    nlohmann::json m = {{"class", "IPM.Contact"}, {"subject", subject}};
    if (!named.empty()) m["named"] = named;
    return m;
  }
};

// A folder of contacts directly below the top of the information store.
struct ContactFolder {
  std::string name;
  std::vector<ContactItem> contacts;
};

inline AddressBookOpener RealAddressBook() {
  return
      [](const std::filesystem::path& d, std::ostream& diag) { return OpenAddressBook(d, diag); };
}

// The organisation in a host folder: registry, directory and the agent's mailbox with its
// folders and settings message (the registration folder "Registrations" directly below
// the top of the information store).
class OrgFixture {
 public:
  static constexpr const char* kMailboxGuid = "7F3A2C1E9B4D4E8FA1C2D3E4F5061729";

  OrgLdif ldif;
  std::vector<Registration> registrations;
  // With items, the mailbox gets a "Mandatory Contacts" folder holding them and the settings
  // message points at it.
  std::vector<MclItem> mcls;
  // Contact folders (entry IDs from FolderId(i)) and further messages of the agent
  // information folder, such as the repository and ACF messages of a merge.
  std::vector<ContactFolder> contact_folders;
  std::vector<nlohmann::json> agent_messages;

  // The entry ID of contact_folders[i].
  static std::string FolderId(size_t i) {
    char counter[24];
    std::snprintf(counter, sizeof counter, "%012zX", i + 1);
    return std::string("00000000") + kMailboxGuid + "0100" + "11223344556677889900AABBCCDDEEFF" +
           counter + "0000";
  }

  const HostFolder& host() const { return host_; }
  std::filesystem::path path() const { return host_.path(); }

  void Write() const {
    host_.WriteRegistry("EXCH01", "agent");
    WriteFile(host_.ServerDir() / "directory.ldif", ldif.Text());
    nlohmann::json messages = nlohmann::json::array();
    for (const auto& r : registrations) messages.push_back(r.Json());
    nlohmann::json reg = {{"name", "Registrations"}};
    if (!messages.empty()) reg["messages"] = messages;
    nlohmann::json settings = {
        {"class", kAgentMessageClass},
        {"subject", kAgentMessageSubject},
        {"named",
         nlohmann::json::array({{{"name", "HHPath"},
                                 {"type", "string"},
                                 {"value", std::string(kOrgMailboxName) + "\\Registrations"}}})}};
    nlohmann::json top_folders = nlohmann::json::array({{{"name", "Inbox"}}, reg});
    if (!mcls.empty()) {
      nlohmann::json items = nlohmann::json::array();
      for (const auto& m : mcls) items.push_back(m.Json());
      top_folders.push_back({{"name", "Mandatory Contacts"}, {"messages", items}});
      settings["named"].push_back(
          {{"name", "MCPath"},
           {"type", "string"},
           {"value", std::string(kOrgMailboxName) + "\\Mandatory Contacts"}});
    }
    for (size_t i = 0; i < contact_folders.size(); ++i) {
      nlohmann::json items = nlohmann::json::array();
      for (const auto& c : contact_folders[i].contacts) items.push_back(c.Json());
      top_folders.push_back(
          {{"name", contact_folders[i].name}, {"entryId", FolderId(i)}, {"messages", items}});
    }
    nlohmann::json agent_items = nlohmann::json::array({settings});
    for (const auto& m : agent_messages) agent_items.push_back(m);
    nlohmann::json agent = {{"name", kAgentInfoFolderName},
                            {"folders", nlohmann::json::array({{{"name", kUserInfoFolderName}}})},
                            {"messages", agent_items}};
    nlohmann::json ipm = {{"name", "Top of Information Store"}, {"folders", top_folders}};
    nlohmann::json mailbox = {
        {"displayName", kOrgMailboxName},
        {"root", {{"name", ""}, {"folders", nlohmann::json::array({ipm, agent})}}}};
    // Contact folders carry entry IDs made from the mailbox's GUID, which must be fixed.
    if (!contact_folders.empty()) mailbox["guid"] = kMailboxGuid;
    host_.WriteMailbox(mailbox.dump(1));
  }

  // A logged-on session over the written folder, put into `rt`.
  SessionPtr Logon(Runtime& rt) {
    SessionPtr session = CreateJsonSession(path(), diagnostics_, RealAddressBook());
    Status s = session->Logon("EXCH01\nagent");
    if (!s.ok()) diagnostics_ << "logon: " << s.description() << "\n";
    rt.g.MapiSession = session;
    return session;
  }
  std::string diagnostics() const { return diagnostics_.str(); }

 private:
  HostFolder host_;
  std::ostringstream diagnostics_;
};

// A CSV dump read back: the header's names and one name->value map per line.
struct Dump {
  std::vector<std::string> header;
  std::vector<std::map<std::string, std::string>> rows;
  bool exists = false;
};

inline Dump ReadDump(const std::filesystem::path& file) {
  Dump d;
  if (!std::filesystem::exists(file)) return d;
  d.exists = true;
  const std::string text = ReadFile(file);
  auto split = [](const std::string& line) {
    std::vector<std::string> out;
    size_t start = 0;
    while (true) {
      size_t comma = line.find(',', start);
      out.push_back(line.substr(start, comma == std::string::npos ? comma : comma - start));
      if (comma == std::string::npos) break;
      start = comma + 1;
    }
    return out;
  };
  size_t pos = 0;
  bool first = true;
  while (pos < text.size()) {
    size_t end = text.find("\r\n", pos);
    std::string line = text.substr(pos, end == std::string::npos ? end : end - pos);
    pos = end == std::string::npos ? text.size() : end + 2;
    std::vector<std::string> cells = split(line);
    if (first) {
      d.header = cells;
      first = false;
      continue;
    }
    std::map<std::string, std::string> row;
    for (size_t i = 0; i < d.header.size(); ++i) {
      row[d.header[i]] = i < cells.size() ? cells[i] : std::string("<missing>");
    }
    d.rows.push_back(row);
  }
  return d;
}

// One update run of the engine over the fixture's folder, as the driver makes it but with
// the mobile number mode and the GAL switch chosen by the test. The log lines go to
// `t.log`, the dumps to the host folder.
// `wrap`, when given, puts a session of the test's own around the real one.
inline void RunUpdate(OrgFixture& org, TestRuntime& t, int16_t mobile_mode,
                      bool include_gal = false,
                      const std::function<SessionPtr(SessionPtr)>& wrap = nullptr,
                      bool include_mcl = false) {
  SessionPtr session = org.Logon(t.rt);
  if (wrap) {
    session = wrap(session);
    t.rt.g.MapiSession = session;
  }
  GetAgentFolders(t.rt);
  GetAgentSettings(t.rt);
  {
    QAV engine(t.rt);
    bool gal = include_gal;
    bool mcl = include_mcl;
    int16_t i16 = 0, p4 = 0, p5 = 0, p6 = 0, mode = mobile_mode, p9 = 0, p10 = 0, p12 = 0, p13 = 0,
            p14 = 0, p15 = 0, p17 = 0, p18 = 0, p19 = 0, p20 = 0, p21 = 0, p23 = 0;
    int32_t p7 = 0, p11 = 0, p16 = 0, p24 = 0;
    std::string p22;
    engine.UpdateClients(gal, mcl, i16, p4, p5, p6, p7, mode, p9, p10, p11, p12, p13, p14, p15, p16,
                         p17, p18, p19, p20, p21, p22, p23, p24);
  }
  PutOutputsInPlace(t.rt);
  session->Logoff().IgnoreError();
  t.rt.g.AgentInfoFolder.reset();
  t.rt.g.UserInfoFolder.reset();
  t.rt.g.MapiSession.reset();
}

}  // namespace testqav::testing
