// SourceMCL records from the rows of a query-based list's member query: the directory-side
// twin of the records built from address-book entries. The row's values are used as the
// directory gives them; a person already in SourceMCL only gains the MCL's identifier.
#include <optional>

#include "core/array_helpers.h"
#include "engine/provenance.h"
#include "engine/qav.h"
#include "platform/common/text.h"
#include "store/address_resolution.h"

namespace testqav {

namespace {

const std::string kPrefix = "QAV::AddToSourceMCLFromQuery:";
const std::string kLabel = "AddToSourceMCLFromQuery:";

// A column of the row as text; "" when the row lacks it, or its value is Null or an array.
std::string RowText(const Recordset& row, std::string_view column) {
  auto v = row.ValueView(column);
  if (!v.ok() || *v == nullptr || (*v)->IsNull() || (*v)->IsArray()) return {};
  return (*v)->ToText();
}

// What a single-valued column gives its field: the value trimmed, Null as Null; nothing
// when the row lacks the column or holds several values there.
std::optional<Variant> Single(const Recordset& row, std::string_view column) {
  auto v = row.ValueView(column);
  if (!v.ok() || *v == nullptr || (*v)->IsArray()) return std::nullopt;
  if ((*v)->IsNull()) return Variant::Null();
  return Variant(Trim((*v)->ToText()));
}

// A column that may hold several values gives the first of them, trimmed.
std::optional<Variant> FirstOf(const Recordset& row, std::string_view column) {
  auto v = row.ValueView(column);
  if (!v.ok() || *v == nullptr) return std::nullopt;
  if (IsFilledArray(**v)) {
    const Variant& first = (*v)->array().front();
    if (first.IsArray()) return std::nullopt;
    if (first.IsNull()) return Variant::Null();
    return Variant(Trim(first.ToText()));
  }
  return Single(row, column);
}

// The fields a person's record takes from the row, in the order they are written.
struct ColumnField {
  const char* field;
  const char* column;
  bool multi_valued;
};
const ColumnField kColumnFields[] = {
    {"MobilePhone", "mobile", false},
    {"QAV Business Phone", "telephoneNumber", false},
    {"QAV Business Fax", "facsimileTelephoneNumber", false},
    {"QAV Home Phone", "homePhone", false},
    {"QAV Pager", "pager", false},
    {"BusinessPhone2", "otherTelephone", true},
    {"HomePhone2", "otherHomePhone", true},
    {"Title", "title", false},
    {"Company", "company", false},
    {"Department", "department", false},
    {"Office", "physicalDeliveryOfficeName", false},
    {"StreetAddress", "streetAddress", false},
    {"City", "l", false},
    {"State", "st", false},
    {"Zip", "postalCode", false},
    {"Country", "co", false},
    {"FirstName", "givenName", false},
    {"LastName", "sn", false},
    {"MiddleName", "initials", false},
    {"Generation", "generationQualifier", false},
};

}  // namespace

void QAV::AddToSourceMCLFromQuery(Recordset& row, const std::string& mclid) {
  if (!rstSourceMCL) return;
  std::string smtp = RowText(row, "mail");
  std::string odn = RowText(row, "legacyExchangeDN");
  // The entry ID of the distinguished name as the directory gives it, before the QAV match
  // may rename the contact.
  std::string address_id;
  if (!odn.empty()) address_id = GetIdForODN(rt_, odn);
  FindMatchInQAV(smtp, odn);
  const std::string name = RowText(row, "name");
  const std::string filter = SourceMclContactFilter(smtp, odn);
  if (filter.empty()) {
    rt_.WriteLog(kPrefix + "skipping record with no value for SMTP or ODN", kLogWarning);
    if (rt_.provenance != nullptr) {
      rt_.provenance->ContactSkipped(mclid, {name, smtp, odn}, "no value for SMTP or ODN");
    }
    return;
  }
  rt_.WriteLog(kPrefix + "searching for existing record for " + name + " using " + filter,
               kLogTrace);
  Recordset& rst = *rstSourceMCL;
  rst.MoveFirst().IgnoreError();
  // A filter that cannot be set finds no record: the contact is stored as new.
  const bool filtered = SetFilterOrLog(rst, filter, kLabel);
  if (!filtered || rst.Eof()) {
    rt_.WriteLog(kPrefix + "adding record for " + name, kLogDetail);
    std::string proxies;
    std::string x500proxies;
    NewContactProxies(smtp, odn, proxies, x500proxies);
    rst.ClearFilter().IgnoreError();
    rst.AddNew().IgnoreError();
    rst.SetValue("SMTP", Variant(EncodeWildcards(smtp))).IgnoreError();
    rst.SetValue("MCLID", Variant("{" + mclid + "}")).IgnoreError();
    rst.SetValue("ODN", Variant(EncodeWildcards(odn))).IgnoreError();
    rst.SetValue("AddressID", Variant(address_id)).IgnoreError();
    rst.SetValue("Proxies", Variant(EncodeWildcards(proxies))).IgnoreError();
    rst.SetValue("X500Proxies", Variant(EncodeWildcards(x500proxies))).IgnoreError();
    // Each field by itself: a value that does not fit leaves only its own field empty.
    for (const ColumnField& f : kColumnFields) {
      std::optional<Variant> value =
          f.multi_valued ? FirstOf(row, f.column) : Single(row, f.column);
      if (value) rst.SetValue(f.field, *value).IgnoreError();
    }
    rst.SetValue("DisplayName", Variant(name)).IgnoreError();
    rst.SetValue("FileAs", Variant(name)).IgnoreError();
    rst.SetValue("FileAsFlag", Variant::Long(Contains(name, ",") ? 32791 : 32823)).IgnoreError();
    rst.Update().IgnoreError();
    if (rt_.provenance != nullptr) rt_.provenance->ContactAdded(mclid, {name, smtp, odn}, false);
  } else {
    auto stored = rst.ValueView("MCLID");
    const std::string current =
        stored.ok() && *stored != nullptr && !(*stored)->IsNull() ? (*stored)->ToText() : "";
    const std::string tag = "{" + mclid + "}";
    if (!Contains(current, tag)) {
      rst.SetValue("MCLID", Variant(current + tag)).IgnoreError();
      rt_.WriteLog(kPrefix + "appending MCLID to existing record for " + name, kLogDetail);
      rst.Update().IgnoreError();
      if (rt_.provenance != nullptr) rt_.provenance->MclIdAppended(mclid, {name, smtp, odn});
    } else if (rt_.provenance != nullptr) {
      rt_.provenance->ContactReachedAgain(mclid, {name, smtp, odn});
    }
  }
  rst.ClearFilter().IgnoreError();
}

}  // namespace testqav
