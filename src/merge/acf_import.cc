// Walking the contacts of one repository or alternate contact folder: each contact's three
// e-mail slots are worked out into SMTP addresses (distinguished names through the address
// book), and the result goes into the merge data set.
#include "engine/qav.h"
#include "platform/common/error_codes.h"
#include "platform/common/text.h"
#include "store/address_resolution.h"

namespace testqav {

struct QAV::MergedContact {
  std::string smtp;
  std::string email2;
  std::string email3;
  std::string smtp_list;
  std::string odn;
  std::string odn_list;
  std::string subject;
};

namespace {

// Named properties of the contact property set: the three e-mail addresses, then their
// entry IDs.
constexpr uint32_t kEmailAddressIds[] = {0x8083, 0x8093, 0x80A3};
constexpr uint32_t kEmailEntryIdIds[] = {0x8085, 0x8095, 0x80A5};
constexpr uint32_t kTypeString = 0x001E;
constexpr uint32_t kTypeBinary = 0x0102;

// A filter literal for an "=" comparison, which has no wildcards: only quotes need doubling.
std::string Literal(const std::string& value) { return "'" + ReplaceAll(value, "'", "''") + "'"; }

std::string Text(const Recordset& rst, std::string_view field) {
  auto v = rst.ValueView(field);
  if (!v.ok() || *v == nullptr || (*v)->IsNull()) return {};
  return (*v)->ToText();
}

}  // namespace

bool QAV::AddFromACF(const FolderPtr& folder, bool& /*is_repository*/) {
  const std::string kLabel = "AddFromACF:";
  auto name = folder ? folder->Name() : Result<std::string>(std::string());
  const std::string folder_name = name.ok() ? *name : std::string();
  auto table_result = folder ? folder->GetContentsTable()
                             : Result<TablePtr>(Status(err::kObjectRequired, "Object required"));
  if (!table_result.ok() || !*table_result) {
    rt_.WriteLog(kLabel + "error: unable to retrieve messages from " + folder_name + " " +
                     table_result.status().description(),
                 kLogError);
    return false;
  }
  Table& table = **table_result;
  rt_.WriteLog(kLabel + "adding to data set from " + folder_name, kLogTrace);
  auto tag_of = [&](uint32_t id, uint32_t type) {
    auto tag = folder->GetIDFromNumericId(kPsetidAddress, id);
    return (tag.ok() ? *tag : 0u) | type;
  };
  const std::vector<uint32_t> columns = {
      tag_of(kEmailAddressIds[0], kTypeString), tag_of(kEmailAddressIds[1], kTypeString),
      tag_of(kEmailAddressIds[2], kTypeString), kPrSubject,
      tag_of(kEmailEntryIdIds[0], kTypeBinary), tag_of(kEmailEntryIdIds[1], kTypeBinary),
      tag_of(kEmailEntryIdIds[2], kTypeBinary),
  };
  auto rows = table.RowCount();
  table.SetColumns(columns).IgnoreError();
  const int32_t total = rows.ok() ? *rows : 0;
  const std::string phase = "merging " + folder_name;
  rt_.SetProgress(phase, 0, total);
  for (int32_t position = 1; position <= total; ++position) {
    if (rt_.StopRequested()) return false;
    auto row_result = table.NextRow();
    if (!row_result.ok() || row_result->IsEmpty()) break;
    rt_.SetProgress(phase, position, total);
    const std::vector<Variant> empty;
    const std::vector<Variant>& row = row_result->IsArray() ? row_result->array() : empty;
    auto col = [&](size_t i) { return i < row.size() ? row[i] : Variant(); };

    // Everything below belongs to this row alone.
    MergedContact contact;
    std::vector<std::string> addresses;  // what the slots yield, in slot order
    contact.subject = Trim(GetTypedValue(col(3), 0).ToText());
    rt_.WriteLog(kLabel + "checking emails for " + contact.subject, kLogInfo);
    for (size_t n = 1; n <= 3; ++n) {
      const Variant value = col(n - 1);
      if (!value.IsString()) continue;
      if (IsEmailAddress(value)) {
        const std::string smtp = StripQuotes(Variant(LowerCase(Trim(value.string_value()))));
        contact.smtp_list += smtp + ";";
        if (!smtp.empty()) addresses.push_back(smtp);
        continue;
      }
      if (!IsODN(value) || !contact.odn.empty()) continue;
      const std::string d = Trim(value.string_value());
      const std::string address_id = GetIdForODN(rt_, d);
      const std::string entry_id = GetTypedValue(col(n + 3), 3).ToText();
      const std::string slot = "Email" + std::to_string(n);
      if (address_id.empty()) {
        rt_.WriteLog(
            kLabel + "GetIdForODN failed for " + slot + " (" + d + ") on " + contact.subject,
            kLogInfo);
        if (!entry_id.empty()) {
          rt_.WriteLog(kLabel + "GetAddressEntryFromId for " + slot + "EntryID returned " +
                           GetAddressEntryFromId(rt_, entry_id),
                       kLogInfo);
        }
        continue;
      }
      contact.odn = d;
      const std::string smtp = PrimarySMTPfromODN(rt_, d);
      if (!smtp.empty()) addresses.push_back(smtp);
    }
    if (!addresses.empty()) contact.smtp = addresses[0];
    if (addresses.size() > 1 && !EqualsIgnoreCase(addresses[1], contact.smtp)) {
      contact.email2 = addresses[1];
    }
    if (addresses.size() > 2 && !EqualsIgnoreCase(addresses[2], contact.smtp) &&
        !EqualsIgnoreCase(addresses[2], contact.email2)) {
      contact.email3 = addresses[2];
    }
    if (!contact.odn.empty()) contact.odn_list = LowerCase(contact.odn) + ";";
    AddToMergeData(contact);
    rt_.DoEvents();
    if (rt_.StopRequested()) return false;
  }
  rt_.EndProgress();
  return true;
}

void QAV::AddToMergeData(const MergedContact& contact) {
  if (!rstMerge) return;
  Recordset& rst = *rstMerge;
  // One record per contact: known by its primary SMTP address, or failing that by its
  // distinguished name; a contact with neither keeps a record of its own.
  bool found = false;
  if (!contact.smtp.empty()) {
    found = rst.SetFilter("[SMTP] = " + Literal(contact.smtp)).ok() && !rst.Eof();
  } else if (!contact.odn.empty()) {
    if (rst.SetFilter("[ODN] = " + Literal(contact.odn)).ok()) {
      while (!rst.Eof() && !Text(rst, "SMTP").empty()) rst.MoveNext().IgnoreError();
      found = !rst.Eof();
    }
  }
  const std::pair<const char*, const std::string*> fields[] = {
      {"SMTP", &contact.smtp},          {"Email2", &contact.email2}, {"Email3", &contact.email3},
      {"SMTPList", &contact.smtp_list}, {"ODN", &contact.odn},       {"ODNList", &contact.odn_list},
      {"Subject", &contact.subject},
  };
  if (!found) {
    rst.ClearFilter().IgnoreError();
    rst.AddNew().IgnoreError();
    for (const auto& [field, value] : fields) rst.SetValue(field, Variant(*value)).IgnoreError();
    rst.SetValue("Folder", Variant(merge_folder_)).IgnoreError();
    rst.SetValue("Rank", Variant::Long(merge_rank_)).IgnoreError();
    rst.SetValue("Sources", Variant(merge_folder_)).IgnoreError();
    rst.Update().IgnoreError();
    rst.ClearFilter().IgnoreError();
    return;
  }
  // The folder earliest in trust order keeps what it gave; later ones only fill gaps.
  for (const auto& [field, value] : fields) {
    if (!value->empty() && Text(rst, field).empty()) {
      rst.SetValue(field, Variant(*value)).IgnoreError();
    }
  }
  const std::string sources = Text(rst, "Sources");
  if (!ContainsElementIgnoreCase(sources, merge_folder_, '|')) {
    rst.SetValue("Sources", Variant(sources + "|" + merge_folder_)).IgnoreError();
  }
  rst.Update().IgnoreError();
  rst.ClearFilter().IgnoreError();
}

}  // namespace testqav
