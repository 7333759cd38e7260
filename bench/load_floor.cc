// load_floor: the least time an update run over a host folder can take, measured piece by
// piece with the platform layer alone (no engine): parse the agent's mailbox store, parse the
// directory, read the registration table once (every row, the 16 registration columns,
// newest first) and write one CSV line per row. A whole run does all of this and more, so
// run time / floor says how much the engine's own work costs on top of the unavoidable I/O.
//
//   load_floor --host DIR [--server EXCH01] [--alias qavagent] [--lookups]
//
// The registration folder is found the way the agent finds it: the settings message in
// "velkoraAgentInfo" below the mailbox root names it by path ("HHPath"). With --lookups the
// program also times one directory equality search per row on the row's address (what the
// GAL pass cannot do with less). Figures go to standard output as "name value" lines so that
// scripts can pick them up.

#include <sys/resource.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include "platform/common/variant.h"
#include "platform/directory/directory.h"
#include "platform/directory/embedded/ldif_directory.h"
#include "platform/messaging/json/json_session.h"
#include "platform/messaging/messaging.h"

namespace testqav {
namespace {

using Clock = std::chrono::steady_clock;

double Seconds(Clock::time_point since) {
  return std::chrono::duration<double>(Clock::now() - since).count();
}

long PeakRssKb() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return usage.ru_maxrss;
}

int Fail(std::string_view what, const Status& status) {
  std::cerr << "load_floor: " << what << ": 0x" << std::hex
            << static_cast<uint32_t>(status.number()) << std::dec << " " << status.description()
            << "\n";
  return 1;
}

// The 15 named registration columns in column order; the conversation topic goes between
// "DeviceID" and "ODN".
constexpr std::string_view kNamesBeforeTopic[] = {"Proxies", "PIN", "DeviceID"};
constexpr std::string_view kNamesAfterTopic[] = {"ODN",
                                                 "QAV Mobile Phone",
                                                 "QAV Radio Phone",
                                                 "QAV Privacy",
                                                 "QAV Authorized",
                                                 "QAV Authorized Email",
                                                 "QAV Business Phone",
                                                 "QAV Business Fax",
                                                 "QAV Home Phone",
                                                 "QAV Pager",
                                                 "QAV Private Fields",
                                                 "X500Proxies"};
constexpr uint32_t kString8 = 0x001E;

// The subfolder of `parent` whose name matches ignoring case and surrounding blanks.
Result<FolderPtr> Child(const FolderPtr& parent, std::string_view name) {
  auto folders = parent->Folders();
  if (!folders.ok()) return folders.status();
  return (*folders)->Item(name);
}

// Walks a mailbox path ("\\<store name>\a\b") from the store's root folder.
Result<FolderPtr> FolderByPath(Session& session, std::string path) {
  auto store = session.GetInfoStore("");
  if (!store.ok()) return store.status();
  auto store_name = (*store)->Name();
  if (!store_name.ok()) return store_name.status();
  if (size_t at = path.find(*store_name); at != std::string::npos) {
    path.erase(at, store_name->size());
  }
  auto folder = (*store)->RootFolder();
  if (!folder.ok()) return folder.status();
  FolderPtr current = *folder;
  std::stringstream parts(path);
  std::string name;
  while (std::getline(parts, name, '\\')) {
    if (name.empty()) continue;
    auto next = Child(current, name);
    if (!next.ok()) return next.status();
    current = *next;
  }
  return current;
}

// The registration folder named by the agent's settings message.
Result<FolderPtr> RegistrationFolder(Session& session) {
  auto root = session.GetFolder("", "");
  if (!root.ok()) return root.status();
  auto agent_info = Child(*root, "velkoraAgentInfo");
  if (!agent_info.ok()) return agent_info.status();
  auto messages = (*agent_info)->Messages();
  if (!messages.ok()) return messages.status();
  MessageFilter filter;
  filter.type = "velkora.Agent";
  filter.subject = "velkoraAgent";
  if (Status s = (*messages)->SetFilter(filter); !s.ok()) return s;
  auto settings = (*messages)->GetFirst();
  if (!settings.ok()) return settings.status();
  auto hh_path = (*settings)->Field("HHPath");
  if (!hh_path.ok()) return hh_path.status();
  return FolderByPath(session, hh_path->ToText());
}

struct Options {
  std::filesystem::path host;
  std::string server = "EXCH01";
  std::string alias = "qavagent";
  bool lookups = false;
};

bool ParseArgs(int argc, char** argv, Options* options) {
  for (int i = 1; i < argc; ++i) {
    std::string_view a = argv[i];
    auto value = [&](std::string* out) {
      if (i + 1 >= argc) return false;
      *out = argv[++i];
      return true;
    };
    std::string text;
    if (a == "--host" && value(&text)) {
      options->host = text;
    } else if (a == "--server" && value(&text)) {
      options->server = text;
    } else if (a == "--alias" && value(&text)) {
      options->alias = text;
    } else if (a == "--lookups") {
      options->lookups = true;
    } else {
      return false;
    }
  }
  return !options->host.empty();
}

// A CSV field as the dumps write it: "," inside a value becomes ";", line breaks too.
void AppendField(const Variant& v, std::string* line) {
  std::string text = v.IsEmpty() || v.IsNull() ? std::string() : v.ToText();
  for (char c : text) line->push_back(c == ',' || c == '\r' || c == '\n' ? ';' : c);
  line->push_back(',');
}

int Run(const Options& o) {
  const std::filesystem::path server_dir = o.host / "exchange" / o.server;
  std::cout << "host " << o.host.string() << "\n";

  // 1. The mailbox store: session creation and logon parse the JSON file(s).
  Clock::time_point t = Clock::now();
  SessionPtr session = CreateJsonSession(o.host, std::cerr);
  if (Status s = session->Logon(o.server + "\n" + o.alias); !s.ok()) return Fail("logon", s);
  const double mailbox_s = Seconds(t);
  std::cout << "mailbox_load_s " << mailbox_s << "\n";

  // 2. The directory.
  t = Clock::now();
  auto directory = LoadLdifDirectory((server_dir / "directory.ldif").string(), std::cerr);
  if (!directory.ok()) return Fail("directory", directory.status());
  const double directory_s = Seconds(t);
  std::cout << "directory_load_s " << directory_s << "\n";

  // 3. The registration table: 16 columns, sorted newest first, every row read once.
  auto folder = RegistrationFolder(*session);
  if (!folder.ok()) return Fail("registration folder", folder.status());
  t = Clock::now();
  auto table = (*folder)->GetContentsTable();
  if (!table.ok()) return Fail("contents table", table.status());
  std::vector<uint32_t> columns;
  for (std::string_view name : kNamesBeforeTopic) {
    auto id = (*folder)->GetIDFromName(kPsPublicStrings, name);
    if (!id.ok()) return Fail("named property", id.status());
    columns.push_back(*id | kString8);
  }
  columns.push_back(kPrConversationTopic);
  for (std::string_view name : kNamesAfterTopic) {
    auto id = (*folder)->GetIDFromName(kPsPublicStrings, name);
    if (!id.ok()) return Fail("named property", id.status());
    columns.push_back(*id | kString8);
  }
  if (Status s = (*table)->SetColumns(columns); !s.ok()) return Fail("columns", s);
  if (Status s = (*table)->Sort(kPrLastModificationTime, true); !s.ok()) return Fail("sort", s);
  if (Status s = (*table)->GoToFirstRow(); !s.ok()) return Fail("first row", s);
  std::vector<Variant> rows;
  for (;;) {
    auto row = (*table)->NextRow();
    if (!row.ok()) return Fail("row", row.status());
    if (row->IsEmpty()) break;
    rows.push_back(std::move(*row));
  }
  (*table)->Close().IgnoreError();
  const double table_s = Seconds(t);
  std::cout << "rows " << rows.size() << "\n";
  std::cout << "table_read_s " << table_s << "\n";

  // 4. One CSV line per row, built in memory and written with one call each, CR LF ended.
  const std::filesystem::path csv =
      std::filesystem::temp_directory_path() / ("load_floor-" + std::to_string(getpid()) + ".csv");
  t = Clock::now();
  {
    std::ofstream out(csv, std::ios::binary | std::ios::trunc);
    std::string line;
    for (const Variant& row : rows) {
      line.clear();
      for (const Variant& v : row.array()) AppendField(v, &line);
      line.back() = '\r';
      line.push_back('\n');
      out.write(line.data(), static_cast<std::streamsize>(line.size()));
    }
    out.close();
    if (!out) std::cerr << "load_floor: cannot write " << csv.string() << "\n";
  }
  const double csv_s = Seconds(t);
  std::error_code ec;
  std::filesystem::remove(csv, ec);
  std::cout << "csv_write_s " << csv_s << "\n";

  double total = mailbox_s + directory_s + table_s + csv_s;
  std::cout << "floor_s " << total << "\n";

  // 5. Optional: one indexed directory search per row on its address.
  if (o.lookups) {
    auto root_dse = (*directory)->RootDse();
    if (!root_dse.ok()) return Fail("rootDSE", root_dse.status());
    const std::string base = root_dse->First("defaultNamingContext");
    size_t found = 0;
    t = Clock::now();
    for (const Variant& row : rows) {
      const Variant& topic = row.array()[3];
      if (!topic.IsString()) continue;
      std::string address = topic.ToText();
      if (address.find_first_of("()*\\") != std::string::npos) continue;
      auto hits = (*directory)
                      ->Search(base, SearchScope::kSubtree, "(proxyAddresses=smtp:" + address + ")",
                               {"mail"});
      if (hits.ok() && !hits->empty()) ++found;
    }
    const double lookup_s = Seconds(t);
    std::cout << "lookups_found " << found << "\n";
    std::cout << "lookup_s " << lookup_s << "\n";
  }
  session->Logoff().IgnoreError();
  std::cout << "peak_rss_kb " << PeakRssKb() << "\n";
  return 0;
}

}  // namespace
}  // namespace testqav

int main(int argc, char** argv) {
  testqav::Options options;
  if (!testqav::ParseArgs(argc, argv, &options)) {
    std::cerr << "usage: load_floor --host DIR [--server EXCH01] [--alias qavagent] [--lookups]\n";
    return 2;
  }
  return testqav::Run(options);
}
