#include "app/diag_resolve.h"

#include <cstdint>
#include <cstdio>
#include <string>
#include <type_traits>
#include <vector>

#include "platform/addressbook/address_book.h"
#include "platform/common/error_codes.h"
#include "platform/common/status.h"

namespace testqav {
namespace {

// The address-entry properties that the update run reads (proxy expansion, GAL enrichment,
// source records), in the order the run reads them.
constexpr uint32_t kReadTags[] = {
    0x0FFF0102, 0x3001001E, 0x3002001E, 0x3003001E, 0x39000003, 0x39FE001E, 0x800F101E, 0x3A1C001E,
    0x3A08001E, 0x3A23001E, 0x3A09001E, 0x3A21001E, 0x3A1B001E, 0x3A2F001E, 0x3A1F001E, 0x3A25001E,
    0x3A17001E, 0x3A16001E, 0x3A18001E, 0x3A19001E, 0x3A29001E, 0x3A27001E, 0x3A28001E, 0x3A2A001E,
    0x3A26001E, 0x3A06001E, 0x3A11001E, 0x3A44001E, 0x3A05001E,
};

std::string HexTag(uint32_t tag) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "0x%08X", tag);
  return buf;
}

void PrintError(std::ostream& err, std::string_view what, const Status& s) {
  err << what << ": error " << HexTag(static_cast<uint32_t>(s.number())) << ": " << s.description()
      << "\n";
}

template <typename T>
std::string Text(const Result<T>& r) {
  if (!r.ok()) return "(error " + HexTag(static_cast<uint32_t>(r.status().number())) + ")";
  if constexpr (std::is_same_v<T, std::string>) {
    return *r;
  } else {
    return std::to_string(*r);
  }
}

void PrintValue(std::ostream& out, const Variant& v) {
  if (v.IsArray()) {
    out << "(" << v.array().size() << " values)\n";
    for (size_t i = 0; i < v.array().size(); ++i) {
      out << "    [" << i << "] " << v.array()[i].ToText() << "\n";
    }
    return;
  }
  out << v.ToText() << "\n";
}

}  // namespace

int RunResolve(const std::filesystem::path& server_dir, std::string_view name, std::ostream& out,
               std::ostream& err) {
  Result<std::shared_ptr<AddressBook>> book = OpenAddressBook(server_dir, err);
  if (!book.ok()) {
    PrintError(err, "cannot open the address book of " + server_dir.string(), book.status());
    return 1;
  }
  Result<AddressEntryPtr> entry = (*book)->ResolveName(name);
  out << "name: " << name << "\n";
  if (!entry.ok()) {
    out << "resolved: no\n";
    PrintError(err, "cannot resolve '" + std::string(name) + "'", entry.status());
    return 1;
  }
  const AddressEntryPtr& e = *entry;
  out << "resolved: yes\n";
  out << "address type: " << Text(e->Type()) << "\n";
  out << "display type: " << Text(e->DisplayType()) << "\n";
  out << "entry id: " << Text(e->ID()) << "\n";
  out << "entry name: " << Text(e->Name()) << "\n";
  out << "address: " << Text(e->Address()) << "\n";
  out << "smtp address: " << Text(e->SmtpAddress()) << "\n";
  Result<std::vector<AddressEntryPtr>> members = e->Members();
  if (!members.ok()) {
    PrintError(err, "cannot list the members", members.status());
  } else if (!members->empty()) {
    out << "members: " << members->size() << "\n";
    for (const AddressEntryPtr& m : *members) {
      out << "    " << Text(m->Name()) << " <" << Text(m->Type()) << ":" << Text(m->Address())
          << ">\n";
    }
  }
  out << "properties:\n";
  for (uint32_t tag : kReadTags) {
    Result<Variant> v = e->Field(tag);
    out << "  " << HexTag(tag) << " ";
    if (v.ok()) {
      PrintValue(out, *v);
    } else if (v.status().number() == err::kNotFound) {
      out << "(absent)\n";
    } else {
      out << "(error " << HexTag(static_cast<uint32_t>(v.status().number())) << ": "
          << v.status().description() << ")\n";
    }
  }
  return 0;
}

}  // namespace testqav
