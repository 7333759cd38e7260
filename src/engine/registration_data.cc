// Building the QAV data set from the registration messages: one record per registered
// handheld user, the most recently changed registration of a user winning.
#include <deque>

#include "core/array_helpers.h"
#include "engine/provenance.h"
#include "engine/qav.h"
#include "platform/common/error_codes.h"
#include "platform/common/text.h"
#include "platform/messaging/look_ahead.h"
#include "store/address_resolution.h"
#include "store/filtered_tables.h"
#include "store/folder_location.h"

namespace testqav {

namespace {

const char* const kNamedColumns[] = {
    "Proxies",
    "X500Proxies",
    "PIN",
    "DeviceID",
    "ODN",
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
};

// Registrations are read this many rows ahead of the one in hand (and at most twice as many).
constexpr size_t kReadAhead = 256;

// The look-ups that the row's turn will start with: the ODN's GAL entry, the ODN as a
// recipient (its proxies) when it has one, and the primary SMTP address of the topic.
void AddLookups(const std::vector<Variant>& row, std::vector<AnticipatedLookup>& lookups) {
  using Kind = AnticipatedLookup::Kind;
  if (row.size() > 4) {
    std::string odn = LowerCase(row[4].ToText());
    if (!odn.empty()) lookups.push_back({Kind::kDistinguishedName, std::move(odn), true, {}});
  }
  if (row.size() > 3) {
    std::string smtp = row[3].ToText();
    if (!smtp.empty()) lookups.push_back({Kind::kName, "SMTP:" + LowerCase(smtp), false, {}});
  }
}

// Tells the observer which field of the record in hand (the one the duplicate filter found)
// the new registration matched: the first of SMTP, ODN, SMTP among the proxies, ODN among
// the X.500 names.
void ReportDuplicate(QAV& qav, ProvenanceObserver& observer, const Recordset& rst,
                     const RegistrationSource& source, const std::string& smtp,
                     const std::string& odn, const std::string& filter) {
  auto stored = [&](std::string_view field) {
    auto v = rst.ValueView(field);
    if (!v.ok() || *v == nullptr || (*v)->IsNull()) return std::string();
    return (*v)->ToText();
  };
  // Stored values are encoded ("#95" for "_"); so is what is compared with them.
  const std::string e_smtp = qav.EncodeWildcards(smtp);
  const std::string e_odn = qav.EncodeWildcards(odn);
  const std::string existing = stored("SMTP");
  std::string field = "Proxies";
  if (!smtp.empty() && EqualsIgnoreCase(existing, e_smtp)) {
    field = "SMTP";
  } else if (!odn.empty() && EqualsIgnoreCase(stored("ODN"), e_odn)) {
    field = "ODN";
  } else if (!smtp.empty() && ContainsIgnoreCase(stored("Proxies"), ";" + e_smtp + ";")) {
    field = "Proxies";
  } else if (!odn.empty() && ContainsIgnoreCase(stored("X500Proxies"), ";" + e_odn + ";")) {
    field = "X500Proxies";
  }
  observer.RegistrationDuplicate(source, {std::string(), smtp, odn}, qav.DecodeWildcards(existing),
                                 field, filter);
}

}  // namespace

void QAV::GetQAVData() {
  const std::string kPrefix = "QAV::GetQAVData:";
  CreateQAVData();
  TablePtr contents;
  Status pending;
  if (!fldReg) {
    pending = Status(err::kObjectRequired, "Object required");
  } else {
    auto t = fldReg->GetContentsTable();
    if (t.ok()) {
      contents = *t;
    } else {
      pending = t.status();
    }
  }
  if (!contents) {
    rt_.WriteLog(
        kPrefix + "error: unable to retrieve Registration messages " + pending.description(),
        kLogWarning);
    return;
  }
  rt_.WriteLog(kPrefix + "assembling data set", kLogTrace);

  uint32_t named[15] = {};
  for (int i = 0; i < 15; ++i) {
    auto id = fldReg->GetIDFromName(kPsPublicStrings, kNamedColumns[i]);
    named[i] = (id.ok() ? *id : 0u) | 0x1Eu;
  }
  // Column order of the registration table.
  std::vector<uint32_t> columns = {
      named[0],  named[2],  named[3],  kPrConversationTopic,
      named[4],  named[5],  named[6],  named[7],
      named[8],  named[9],  named[10], named[11],
      named[12], named[13], named[14], named[1],
  };
  ProvenanceObserver* const observer = rt_.provenance;
  // Only a listener wants to know when each registration changed; the run itself reads the
  // time only through the sort.
  if (observer != nullptr) columns.push_back(kPrLastModificationTime);
  contents->SetColumns(columns).IgnoreError();
  contents->Sort(kPrLastModificationTime, true).IgnoreError();
  contents->GoToFirstRow().IgnoreError();
  auto total = contents->RowCount();
  int64_t done = 0;
  rt_.SetProgress("registrations", done, total.ok() ? *total : -1);

  // Rows are read ahead of the one in hand and their look-ups announced to the session, which
  // may answer them on the other core while this one works through the rows before.
  std::deque<Variant> ahead;
  bool exhausted = false;
  auto read_ahead = [&] {
    std::vector<AnticipatedLookup> lookups;
    while (!exhausted && ahead.size() < 2 * kReadAhead) {
      auto next = contents->NextRow();
      if (!next.ok() || next->IsEmpty() || !next->IsArray()) {
        exhausted = true;
        break;
      }
      AddLookups(next->array(), lookups);
      ahead.push_back(std::move(*next));
    }
    if (!lookups.empty() && rt_.g.MapiSession) {
      AnnounceLookups(*rt_.g.MapiSession, std::move(lookups));
    }
  };

  Recordset& rst = *rstQAV;
  while (true) {
    if (ahead.size() <= kReadAhead) read_ahead();
    if (ahead.empty()) break;
    const Variant current = std::move(ahead.front());
    ahead.pop_front();
    const std::vector<Variant>& row = current.array();
    auto col = [&](size_t i) { return i < row.size() ? row[i] : Variant(); };
    auto text = [&](size_t i) { return GetTypedValue(col(i), 0).ToText(); };
    rt_.SetProgress("registrations", ++done, total.ok() ? *total : -1);

    std::string pin;
    if (col(1).IsString() && LowerCase(col(1).string_value()) != "none") {
      pin = Trim(col(1).string_value());
    } else if (col(2).IsString() && LowerCase(col(2).string_value()) != "none") {
      pin = Trim(col(2).string_value());
    }
    std::string proxies = text(0);
    std::string x500proxies = text(15);
    std::string odn = LowerCase(col(4).ToText());
    std::string address_id = GetIdForODN(rt_, odn);
    if (address_id.empty()) odn.clear();

    std::string mobile, pager, other_phone;
    switch (lMobileMode) {
      case 1:
        mobile = col(5).ToText();
        pager = col(13).ToText();
        break;
      case 2:
        pager = col(5).ToText();
        if (pager.empty()) pager = col(13).ToText();
        break;
      case 3:
        pager = col(13).ToText();
        other_phone = col(5).ToText();
        break;
      default:
        pager = col(13).ToText();
        break;
    }
    const std::string radio = col(6).ToText();
    const std::string business_phone = col(10).ToText();
    const std::string business_fax = col(11).ToText();
    const std::string home_phone = col(12).ToText();
    if (pager.empty()) pager = col(13).ToText();
    const std::string private_fields = col(14).ToText();

    RegistrationSource source;
    if (observer != nullptr) {
      source.pin = pin;
      source.topic = col(3).ToText();
      const Variant modified = col(16);
      if (!modified.IsEmpty() && !modified.IsNull() && !modified.IsArray()) {
        source.modified = modified.double_value();
        source.has_modified = modified.double_value() != 0;
      }
    }
    std::string smtp = LowerCase(col(3).ToText());
    smtp = GetPrimarySMTP(rt_, smtp);
    if (smtp.empty() && !odn.empty()) smtp = PrimarySMTPfromODN(rt_, odn);
    rt_.DoEvents();

    const size_t at = smtp.find('@');
    const bool usable = !ContainsIgnoreCase(smtp, "deviceinfo:") && at != std::string::npos &&
                        smtp.find('.', at + 1) != std::string::npos;
    if (!usable) {
      rt_.WriteLog(kPrefix + "skipping row with SMTP=" + smtp, kLogInfo);
      if (observer != nullptr)
        observer->RegistrationUnusable(source, smtp, "no usable SMTP address");
      rt_.DoEvents();
      if (rt_.StopRequested()) break;
      continue;
    }
    GetAllProxies(odn, proxies, x500proxies, odn, true, false);
    GetAllProxies(smtp, proxies, x500proxies, odn, true, true);

    const std::string filter = BuildEmailFilter(smtp, odn, proxies, x500proxies);
    if (filter.empty()) {
      rt_.WriteLog(kPrefix +
                       "SMTP and ODN were both blank; unable to filter existing data to check "
                       "for dupes",
                   kLogWarning);
      if (observer != nullptr) observer->RegistrationUnusable(source, smtp, "no SMTP and no ODN");
      rt_.DoEvents();
      if (rt_.StopRequested()) break;
      continue;
    }
    // A filter that cannot be set says nothing about duplicates: the registration is new.
    const bool filtered = SetFilterOrLog(rst, filter, "GetQAVData:");
    if (!filtered || rst.Eof()) {
      rst.AddNew().IgnoreError();
      rst.SetValue("PIN", Variant(pin)).IgnoreError();
      rst.SetValue("SMTP", Variant(EncodeWildcards(smtp))).IgnoreError();
      if (!odn.empty()) {
        rst.SetValue("ODN", Variant(EncodeWildcards(odn))).IgnoreError();
        rst.SetValue("AddressID", Variant(address_id)).IgnoreError();
      }
      if (!proxies.empty()) {
        CloseList(proxies);
        rst.SetValue("Proxies", Variant(EncodeWildcards(proxies))).IgnoreError();
      }
      if (!x500proxies.empty()) {
        CloseList(x500proxies);
        rst.SetValue("X500Proxies", Variant(EncodeWildcards(x500proxies))).IgnoreError();
      }
      rst.SetValue("MobilePhone", Variant(mobile)).IgnoreError();
      rst.SetValue("RadioPhone", Variant(radio)).IgnoreError();
      rst.SetValue("QAV Business Phone", Variant(business_phone)).IgnoreError();
      rst.SetValue("QAV Business Fax", Variant(business_fax)).IgnoreError();
      rst.SetValue("QAV Home Phone", Variant(home_phone)).IgnoreError();
      rst.SetValue("QAV Pager", Variant(pager)).IgnoreError();
      rst.SetValue("OtherPhone", Variant(other_phone)).IgnoreError();
      rst.SetValue("PrivateFields", Variant(private_fields)).IgnoreError();
      rt_.WriteLog(kPrefix + "row: PIN=" + pin + ";SMTP=" + smtp + ";Proxies=" + proxies +
                       "; ODN=" + odn + ";X500Proxies=" + x500proxies + ";MobilePhone=" + mobile +
                       ";RadioPhone=" + radio + ";PrivateFields=" + private_fields + ";BusPhone=" +
                       business_phone + ";BusFax=" + business_fax + ";HomePhone=" + home_phone +
                       ";Pager=" + pager + ";OtherPhone=" + other_phone,
                   kLogTrace);
      rst.Update().IgnoreError();
      if (observer != nullptr) observer->RegistrationAdded(source, {std::string(), smtp, odn});
    } else {
      rt_.WriteLog(kPrefix + "found existing record using Filter = " + filter +
                       "; skipping duplicate Reg message",
                   kLogWarning);
      if (observer != nullptr) ReportDuplicate(*this, *observer, rst, source, smtp, odn, filter);
    }
    rst.ClearFilter().IgnoreError();
    rt_.DoEvents();
    if (rt_.StopRequested()) break;
  }
  rt_.EndProgress();
  contents->Close().IgnoreError();
}

}  // namespace testqav
