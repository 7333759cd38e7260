#include "app/diag_search.h"

#include <cstdint>
#include <cstdio>

#include "platform/addressbook/address_book.h"
#include "platform/common/status.h"
#include "platform/common/text.h"
#include "platform/directory/command.h"

namespace testqav {
namespace {

std::string Base64(std::string_view data) {
  static constexpr char kAlphabet[] =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  out.reserve((data.size() + 2) / 3 * 4);
  size_t i = 0;
  for (; i + 2 < data.size(); i += 3) {
    uint32_t n = uint32_t{static_cast<uint8_t>(data[i])} << 16 |
                 uint32_t{static_cast<uint8_t>(data[i + 1])} << 8 |
                 uint32_t{static_cast<uint8_t>(data[i + 2])};
    for (int shift = 18; shift >= 0; shift -= 6) out.push_back(kAlphabet[(n >> shift) & 63]);
  }
  size_t rest = data.size() - i;
  if (rest > 0) {
    uint32_t n = uint32_t{static_cast<uint8_t>(data[i])} << 16;
    if (rest == 2) n |= uint32_t{static_cast<uint8_t>(data[i + 1])} << 8;
    out.push_back(kAlphabet[(n >> 18) & 63]);
    out.push_back(kAlphabet[(n >> 12) & 63]);
    out.push_back(rest == 2 ? kAlphabet[(n >> 6) & 63] : '=');
    out.push_back('=');
  }
  return out;
}

void WriteLine(std::ostream& out, std::string_view name, std::string_view value) {
  if (IsSafeLdifString(value)) {
    out << name << ": " << value << "\n";
  } else {
    out << name << ":: " << Base64(value) << "\n";
  }
}

void PrintError(std::ostream& err, std::string_view what, const Status& s) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "0x%08X", static_cast<uint32_t>(s.number()));
  err << what << ": error " << buf << ": " << s.description() << "\n";
}

}  // namespace

bool IsSafeLdifString(std::string_view value) {
  if (value.empty()) return true;
  // SAFE-INIT-CHAR excludes space, colon and "<"; a trailing space would be lost by readers
  // that trim, so it goes base64 too.
  char first = value.front();
  if (first == ' ' || first == ':' || first == '<' || value.back() == ' ') return false;
  for (char c : value) {
    auto u = static_cast<unsigned char>(c);
    if (u == 0 || u == '\n' || u == '\r' || u > 0x7F) return false;
  }
  return true;
}

void WriteLdifRecord(const DirectoryEntry& entry, const std::vector<std::string>& attributes,
                     std::ostream& out) {
  WriteLine(out, "dn", entry.dn);
  if (attributes.empty()) {
    for (const DirectoryAttribute& a : entry.attributes) {
      for (const std::string& v : a.values) WriteLine(out, a.name, v);
    }
  } else {
    for (const std::string& name : attributes) {
      for (const DirectoryAttribute& a : entry.attributes) {
        if (!EqualsIgnoreCase(a.name, name)) continue;
        for (const std::string& v : a.values) WriteLine(out, name, v);
        break;
      }
    }
  }
  out << "\n";
}

int RunSearch(const std::filesystem::path& server_dir, std::string_view command_text,
              std::ostream& out, std::ostream& err) {
  Result<DirectoryCommand> command = ParseCommandText(command_text);
  if (!command.ok()) {
    PrintError(err, "bad directory command '" + std::string(command_text) + "'", command.status());
    return 1;
  }
  Result<std::shared_ptr<Directory>> directory = OpenServerDirectory(server_dir, err);
  if (!directory.ok()) {
    PrintError(err, "cannot open the directory of " + server_dir.string(), directory.status());
    return 1;
  }
  // A command on the rootDSE shows the rootDSE itself; anything else is a search.
  std::vector<DirectoryEntry> rows;
  if (command->base.root_dse) {
    Result<DirectoryEntry> root = (*directory)->RootDse();
    if (!root.ok()) {
      PrintError(err, "cannot read the rootDSE", root.status());
      return 1;
    }
    rows.push_back(std::move(root).value());
  } else {
    Result<std::vector<DirectoryEntry>> found =
        (*directory)
            ->Search(command->base.dn, command->scope, command->filter, command->attributes);
    if (!found.ok()) {
      PrintError(err, "search failed", found.status());
      return 1;
    }
    rows = std::move(found).value();
  }
  for (const DirectoryEntry& row : rows) WriteLdifRecord(row, command->attributes, out);
  return 0;
}

}  // namespace testqav
