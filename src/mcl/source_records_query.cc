// SourceMCL records from the rows of a query-based list's member query: the directory-side
// twin of the records built from address-book entries. The row's values are used as the
// directory gives them; a person already in SourceMCL only gains the MCL's identifier.
#include <optional>

#include "engine/provenance.h"
#include "engine/qav.h"
#include "mcl/query_row.h"
#include "platform/common/text.h"
#include "store/address_resolution.h"

namespace testqav {

namespace {

const std::string kPrefix = "QAV::AddToSourceMCLFromQuery:";
const std::string kLabel = "AddToSourceMCLFromQuery:";

// The SourceMCL fields that a record from a row fills, in the order they are written: the
// addresses, the row's attributes, then the names.
std::vector<std::string_view> QueryRecordFieldNames() {
  std::vector<std::string_view> names = {"SMTP",      "MCLID",   "ODN",
                                         "AddressID", "Proxies", "X500Proxies"};
  for (const QueryColumnField& f : kQueryColumnFields) names.push_back(f.field);
  for (std::string_view n : {"DisplayName", "FileAs", "FileAsFlag"}) names.push_back(n);
  return names;
}
enum QueryRecordField : size_t {
  kSmtpField,
  kMclIdField,
  kOdnField,
  kAddressIdField,
  kProxiesField,
  kX500ProxiesField,
  kFirstColumnField,
  kDisplayNameField = kFirstColumnField + kQueryColumnFields.size(),
  kFileAsField,
  kFileAsFlagField,
};

}  // namespace

void QAV::AddToSourceMCLFromQuery(Recordset& row, const std::string& mclid) {
  const QueryRowColumns columns(row);
  QueryRowValues values =
      ReadCurrentQueryRow(row, columns, /*with_fields=*/true, /*any_category=*/true);
  AddQueryRowToSourceMCL(row, columns, values, mclid);
}

const std::vector<int32_t>& QAV::QueryRecordFields() {
  // The data set is made once for the run, so its fields are looked up once.
  if (query_record_fields_of_ != rstSourceMCL.get()) {
    query_record_fields_.clear();
    for (std::string_view name : QueryRecordFieldNames()) {
      query_record_fields_.push_back(rstSourceMCL->FieldIndex(name));
    }
    query_record_fields_of_ = rstSourceMCL.get();
  }
  return query_record_fields_;
}

void QAV::AddQueryRowToSourceMCL(Recordset& row, const QueryRowColumns& columns,
                                 QueryRowValues& values, const std::string& mclid) {
  if (!rstSourceMCL) return;
  std::string smtp = values.mail;
  std::string odn = values.odn;
  // The entry ID of the distinguished name as the directory gives it, before the QAV match
  // may rename the contact. One found beforehand is what the look-up gives; one that was
  // not is looked up here, where a failure is logged in its place.
  std::string address_id;
  if (values.address_id) {
    address_id = std::move(*values.address_id);
  } else if (!odn.empty()) {
    address_id = GetIdForODN(rt_, odn);
  }
  if (values.qav_filter.empty()) {
    FindMatchInQAV(smtp, odn);
  } else {
    FindMatchInQAV(smtp, odn, values.qav_filter);
  }
  const std::string& name = values.name;
  // Made beforehand for the addresses as read; the QAV match may have renamed the contact.
  const std::string filter =
      !values.source_filter.empty() && smtp == values.mail && odn == values.odn
          ? std::move(values.source_filter)
          : SourceMclContactFilter(smtp, odn);
  if (filter.empty()) {
    rt_.WriteLog(kPrefix + "skipping record with no value for SMTP or ODN", kLogWarning);
    if (rt_.provenance != nullptr) {
      rt_.provenance->ContactSkipped(mclid, {name, smtp, odn}, "no value for SMTP or ODN");
    }
    return;
  }
  if (rt_.TraceWanted()) {
    rt_.WriteLog(kPrefix + "searching for existing record for " + name + " using " + filter,
                 kLogTrace);
  }
  Recordset& rst = *rstSourceMCL;
  rst.MoveFirst().IgnoreError();
  // A filter that cannot be set finds no record: the contact is stored as new.
  const bool filtered = SetFilterOrLog(rst, filter, kLabel);
  if (!filtered || rst.Eof()) {
    rt_.WriteLog(kPrefix + "adding record for " + name, kLogDetail);
    std::string proxies;
    std::string x500proxies;
    if (!values.proxy_passes.empty() && smtp == values.mail && odn == values.odn) {
      ReplayContactProxies(values.proxy_passes, odn, proxies, x500proxies);
    } else {
      NewContactProxies(smtp, odn, proxies, x500proxies);
    }
    rst.ClearFilter().IgnoreError();
    rst.AddNew().IgnoreError();
    // A field the data set lacks (position -1) is refused like a name it does not know.
    const std::vector<int32_t>& at = QueryRecordFields();
    rst.SetValue(at[kSmtpField], Variant(EncodeWildcards(smtp))).IgnoreError();
    rst.SetValue(at[kMclIdField], Variant("{" + mclid + "}")).IgnoreError();
    rst.SetValue(at[kOdnField], Variant(EncodeWildcards(odn))).IgnoreError();
    rst.SetValue(at[kAddressIdField], Variant(std::move(address_id))).IgnoreError();
    rst.SetValue(at[kProxiesField], Variant(EncodeWildcards(proxies))).IgnoreError();
    rst.SetValue(at[kX500ProxiesField], Variant(EncodeWildcards(x500proxies))).IgnoreError();
    // Each field by itself: a value that does not fit leaves only its own field empty.
    if (!values.has_fields) {
      values.fields =
          ReadCurrentQueryRow(row, columns, /*with_fields=*/true, /*any_category=*/true).fields;
    }
    for (size_t i = 0; i < kQueryColumnFields.size(); ++i) {
      std::optional<Variant>& value = values.fields[i];
      if (value) rst.SetValue(at[kFirstColumnField + i], std::move(*value)).IgnoreError();
    }
    rst.SetValue(at[kDisplayNameField], Variant(name)).IgnoreError();
    rst.SetValue(at[kFileAsField], Variant(name)).IgnoreError();
    rst.SetValue(at[kFileAsFlagField], Variant::Long(Contains(name, ",") ? 32791 : 32823))
        .IgnoreError();
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
