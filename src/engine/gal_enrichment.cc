// Supplementing the registered users' records from the Global Address List: directory values
// fill the fields a record does not hold yet; nothing is ever overwritten.
#include "core/array_helpers.h"
#include "engine/provenance.h"
#include "engine/qav.h"
#include "platform/common/error_codes.h"
#include "platform/common/text.h"
#include "platform/messaging/look_ahead.h"
#include "store/address_resolution.h"

namespace testqav {

namespace {

struct GalRow {
  const char* field;
  uint32_t tag;
  const char* label;
};

// Single-valued rows after the proxy lists, in processing order. The fax row is handled by
// FaxMapping; the two multi-valued telephone rows by their own rule. The directory's display
// and name parts have no field in the QAV layout, so there is nothing for them to fill.
const GalRow kRowsBeforeFax[] = {
    {"MobilePhone", 0x3A1C001E, "MobilePhone;"},
    {"QAV Business Phone", 0x3A08001E, "BusPhone;"},
};
const GalRow kRowsAfterFax[] = {
    {"QAV Home Phone", 0x3A09001E, "HomePhone;"},
    {"QAV Pager", 0x3A21001E, "Pager;"},
};
const GalRow kRowsAfterPhone2[] = {
    {"OtherPhone", 0x3A1F001E, "OtherPhone;"}, {"HomeFax", 0x3A25001E, "HomeFax;"},
    {"Title", 0x3A17001E, "Title;"},           {"Company", 0x3A16001E, "Company;"},
    {"Department", 0x3A18001E, "Dept;"},       {"Office", 0x3A19001E, "Office;"},
    {"StreetAddress", 0x3A29001E, "Street;"},  {"City", 0x3A27001E, "City;"},
    {"State", 0x3A28001E, "State;"},           {"Zip", 0x3A2A001E, "Zip;"},
    {"Country", 0x3A26001E, "Country;"},
};

// Whether a stored field counts as not filled yet (read in place: the GAL pass asks this of
// every field of every record).
bool IsBlank(const Result<const Variant*>& v) {
  if (!v.ok()) return true;
  const Variant& value = **v;
  if (value.IsNull() || value.IsEmpty()) return true;
  return value.IsString() ? value.string_value().empty() : value.ToText().empty();
}

}  // namespace

void QAV::UpdateRstFromGAL() {
  const std::string kPrefix = "QAV::UpdateRstFromGAL:";
  if (!rstQAV) {
    rt_.WriteLog(kPrefix + " aborted: QAV recordset is nothing", kLogWarning);
    return;
  }
  Recordset& rst = *rstQAV;
  ProvenanceObserver* const observer = rt_.provenance;
  ScratchMessage scratch(rt_);
  auto recipients = scratch.Recipients();
  auto total = rst.RecordCount();
  int64_t done = 0;
  rt_.SetProgress("GAL supplement", done, total.ok() ? *total : -1);
  // The SMTP address of every record, in the order this pass resolves them, is announced to
  // the session, which may resolve them on the other core while the pass works.
  if (rt_.g.MapiSession) {
    constexpr size_t kBatch = 1024;
    std::vector<AnticipatedLookup> lookups;
    for (rst.MoveFirst().IgnoreError(); !rst.Eof(); rst.MoveNext().IgnoreError()) {
      auto smtp = rst.ValueView("SMTP");
      if (!smtp.ok() || !(*smtp)->IsString() || (*smtp)->string_value().empty()) continue;
      lookups.push_back(
          {AnticipatedLookup::Kind::kName, DecodeWildcards((*smtp)->string_value()), false, {}});
      if (lookups.size() == kBatch) {
        AnnounceLookups(*rt_.g.MapiSession, std::move(lookups));
        lookups.clear();
      }
    }
    if (!lookups.empty()) AnnounceLookups(*rt_.g.MapiSession, std::move(lookups));
  }
  rst.MoveFirst().IgnoreError();
  while (!rst.Eof()) {
    rt_.SetProgress("GAL supplement", ++done, total.ok() ? *total : -1);
    std::string updates;
    bool changed = false;
    RecipientPtr recipient;
    auto smtp_field = rst.Value("SMTP");
    const std::string stored_smtp = smtp_field.ok() ? smtp_field->ToText() : std::string();
    if (!stored_smtp.empty()) {
      const std::string s = DecodeWildcards(stored_smtp);
      Status pending;
      AddressEntryPtr entry;
      if (!recipients.ok()) {
        pending = recipients.status();
      } else {
        auto r = (*recipients)->Add(s);
        if (!r.ok()) {
          pending = r.status();
        } else {
          recipient = *r;
          Status resolve = recipient->Resolve(false);
          auto e = recipient->AddressEntry();
          if (e.ok() && *e) {
            entry = *e;
          } else {
            pending = resolve.ok() ? e.status() : resolve;
          }
        }
      }
      auto type = entry ? entry->Type() : Result<std::string>(std::string());
      if (!entry) {
        rt_.WriteLog(
            kPrefix + "unable to retrieve address entry for " + s + " " + pending.description(),
            kLogInfo);
      } else if (!type.ok() || *type != "EX") {
        rt_.WriteLog(kPrefix + "failed to resolved " + s + " as EX address entry; found " +
                         (type.ok() ? *type : std::string()),
                     kLogInfo);
      } else {
        rt_.WriteLog(kPrefix + "checking for supplemental data for " + s, kLogTrace);
        // Row 1: the distinguished name and its entry ID.
        auto a = entry->Address();
        if (IsBlank(rst.ValueView("ODN")) && a.ok() && !a->empty()) {
          const std::string id = GetIdForODN(rt_, *a);
          if (!id.empty()) {
            changed = true;
            updates = "ODN;";
            rst.SetValue("ODN", Variant(EncodeWildcards(*a))).IgnoreError();
            rst.SetValue("AddressID", Variant(id)).IgnoreError();
            if (observer != nullptr) observer->GalFieldFilled(s, "ODN");
          }
        }
        // Row 2: proxy addresses appended in encoded form, each at most once.
        auto proxy_list = entry->Field(0x800F101E);
        if (proxy_list.ok() && IsFilledArray(*proxy_list)) {
          for (const Variant& element : proxy_list->array()) {
            const std::string p = element.ToText();
            const char* field = nullptr;
            const char* label = nullptr;
            if (StartsWithIgnoreCase(p, "SMTP:")) {
              field = "Proxies";
              label = "SMTPProxies;";
            } else if (StartsWithIgnoreCase(p, "X500:")) {
              field = "X500Proxies";
              label = "X500Proxies;";
            }
            if (field != nullptr) {
              const std::string e = EncodeWildcards(p.substr(5));
              auto stored = rst.Value(field);
              const std::string list = stored.ok() ? stored->ToText() : std::string();
              if (!ContainsIgnoreCase(list, ";" + e + ";")) {
                const std::string updated = list.empty() ? ";" + e + ";" : list + e + ";";
                rst.SetValue(field, Variant(updated)).IgnoreError();
                changed = true;
                if (!Contains(updates, label)) {
                  updates += label;
                  if (observer != nullptr) observer->GalFieldFilled(s, field);
                }
              }
            }
            rt_.DoEvents();
          }
        }
        auto fill = [&](const char* field, const std::string& value, const char* label) {
          if (value.empty() || !IsBlank(rst.ValueView(field))) return;
          rst.SetValue(field, Variant(value)).IgnoreError();
          changed = true;
          updates += label;
          if (observer != nullptr) observer->GalFieldFilled(s, field);
        };
        for (const GalRow& row : kRowsBeforeFax)
          fill(row.field, GetFieldText(entry, row.tag), row.label);
        if (FaxMapping == 1) {
          fill("QAV Business Fax", GetFieldText(entry, 0x3A23001E), "BusFax;");
        } else if (FaxMapping == 2) {
          fill("OtherFax", GetFieldText(entry, 0x3A23001E), "OtherFax;");
        }
        for (const GalRow& row : kRowsAfterFax)
          fill(row.field, GetFieldText(entry, row.tag), row.label);
        // Rows 8 and 9: the first of a possibly multi-valued telephone property.
        auto first_phone = [&](uint32_t tag, const char* trace) {
          auto v = entry->Field(tag);
          if (!v.ok()) return std::string();
          if (IsFilledArray(*v)) {
            const Variant& first = v->array()[0];
            if (first.IsArray()) {
              rt_.WriteLog(kPrefix + trace + std::string("Type mismatch"), kLogInfo);
              return IsFilledArray(first) ? Trim(first.array()[0].ToText()) : std::string();
            }
            return Trim(first.ToText());
          }
          return Trim(v->ToText());
        };
        fill("BusinessPhone2", first_phone(0x3A1B001E, "error on varBus2(0):"), "BusPhone2;");
        fill("HomePhone2", first_phone(0x3A2F001E, "error on varHome2(0):"), "HomePhone2;");
        for (const GalRow& row : kRowsAfterPhone2) {
          fill(row.field, GetFieldText(entry, row.tag), row.label);
        }
        rst.Update().IgnoreError();
        if (changed) {
          std::string list = updates;
          TrimRepeated(list, ";");
          rt_.WriteLogLines({kPrefix + "supplemental data added from GAL for " + s, "     " + list},
                            kLogTrace);
        } else {
          rt_.WriteLog(kPrefix + "no additional data in GAL for " + s, kLogTrace);
        }
      }
    }
    if (recipient) recipient->Delete().IgnoreError();
    rst.MoveNext().IgnoreError();
    rt_.DoEvents();
    if (rt_.StopRequested()) break;
  }
  rt_.EndProgress();
}

}  // namespace testqav
