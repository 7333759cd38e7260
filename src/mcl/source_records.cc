// SourceMCL records from address-book entries: a person gets one record filled from the
// address book, a distribution list may get a record of its own and is expanded member by
// member, a query-based list is expanded through the directory. A contact is never stored
// twice: a later MCL only adds its identifier.
#include "core/array_helpers.h"
#include "engine/provenance.h"
#include "engine/qav.h"
#include "platform/common/error_codes.h"
#include "platform/common/text.h"
#include "store/address_resolution.h"

namespace testqav {

namespace {

const std::string kPrefix = "QAV::AddToSourceMCL:";
const std::string kLabel = "AddToSourceMCL:";

constexpr int32_t kDtMailUser = 0;
constexpr int32_t kDtDistList = 1;
constexpr int32_t kDtAgent = 3;
constexpr int32_t kDtOrganization = 4;
constexpr int32_t kDtRemoteMailUser = 6;

constexpr uint32_t kPrEmailAddress = 0x3003001E;
constexpr uint32_t kPrBusiness2Phone = 0x3A1B001E;
constexpr uint32_t kPrHome2Phone = 0x3A2F001E;
constexpr uint32_t kPrPrimaryFax = 0x3A23001E;

// A person's fields read by tag, in the order they are written; a log word gives the field a
// line of its own before it is written.
struct TagField {
  const char* field;
  uint32_t tag;
  const char* log_word;
};
const TagField kBeforeFax[] = {
    {"MobilePhone", 0x3A1C001E, "MobilePhone"},
    {"QAV Business Phone", 0x3A08001E, "BusPhone"},
};
const TagField kBeforeMultiValued[] = {
    {"QAV Home Phone", 0x3A09001E, "HomePhone"},
    {"QAV Pager", 0x3A21001E, "Pager"},
};
const TagField kAfterMultiValued[] = {
    {"OtherPhone", 0x3A1F001E, "OtherPhone"}, {"HomeFax", 0x3A25001E, "HomeFax"},
    {"Title", 0x3A17001E, "Title"},           {"Company", 0x3A16001E, "Company"},
    {"Department", 0x3A18001E, "Dept"},       {"Office", 0x3A19001E, "Off"},
    {"StreetAddress", 0x3A29001E, nullptr},   {"City", 0x3A27001E, nullptr},
    {"State", 0x3A28001E, nullptr},           {"Zip", 0x3A2A001E, nullptr},
    {"Country", 0x3A26001E, nullptr},         {"FirstName", 0x3A06001E, "FirstName"},
    {"LastName", 0x3A11001E, "LastName"},     {"MiddleName", 0x3A44001E, nullptr},
    {"Generation", 0x3A05001E, nullptr},
};
// A list's record takes only these from the address book, without log lines.
const TagField kListFields[] = {
    {"Title", 0x3A17001E, nullptr},
    {"Company", 0x3A16001E, nullptr},
    {"Department", 0x3A18001E, nullptr},
    {"Office", 0x3A19001E, nullptr},
};

// "Surname, Given name" files as written; anything else as "Given name Surname".
Variant FileAsFlag(const std::string& name) {
  return Variant::Long(Contains(name, ",") ? 32791 : 32823);
}

std::string MclTag(const std::string& mclid) { return "{" + mclid + "}"; }

// Writes a field, keeping the last failure as the record's pending error. An empty text is
// not written: the field of a new record is empty already, and most people have only a few
// of the many telephone and address fields.
void Write(Recordset& rst, std::string_view field, const Variant& value, Status& pending) {
  if (value.IsString() && value.string_value().empty()) return;
  Status s = rst.SetValue(field, value);
  if (!s.ok()) pending = s;
}

std::string CurrentText(const Recordset& rst, std::string_view field) {
  auto v = rst.ValueView(field);
  if (!v.ok() || *v == nullptr || (*v)->IsNull()) return {};
  return (*v)->ToText();
}

}  // namespace

void QAV::AddToSourceMCL(const AddressEntryPtr& entry, const std::string& mclid,
                         bool& include_dls) {
  // Depth first, members in stored order: the same order as calling this for each member
  // in turn, with one frame of pending members per list being expanded.
  struct Frame {
    std::vector<AddressEntryPtr> members;
    size_t next = 0;
  };
  std::vector<Frame> frames;
  std::vector<AddressEntryPtr> members = AddOneToSourceMCL(entry, mclid, include_dls);
  if (!members.empty()) frames.push_back({std::move(members), 0});
  while (!frames.empty()) {
    Frame& top = frames.back();
    if (top.next == top.members.size() || rt_.StopRequested()) {
      frames.pop_back();
      if (rt_.provenance != nullptr) rt_.provenance->ListLeft(mclid);
      continue;
    }
    const AddressEntryPtr member = top.members[top.next++];
    members = AddOneToSourceMCL(member, mclid, include_dls);
    if (!members.empty()) frames.push_back({std::move(members), 0});
  }
}

std::vector<AddressEntryPtr> QAV::AddOneToSourceMCL(const AddressEntryPtr& entry,
                                                    const std::string& mclid, bool& include_dls) {
  if (!entry || !rstSourceMCL || rt_.StopRequested()) return {};
  ContactAddresses addresses = AddressesOf(entry);
  std::string smtp = std::move(addresses.smtp);
  std::string odn = std::move(addresses.odn);
  const std::string address_id = std::move(addresses.address_id);
  // An ODN that the address book does not know is neither searched for nor stored.
  if (address_id.empty()) odn.clear();
  FindMatchInQAV(smtp, odn);
  auto name_result = entry->Name();
  const std::string name = Trim(name_result.ok() ? *name_result : std::string());
  auto display_type = entry->DisplayType();
  rt_.WriteLog(kPrefix + "DisplayType = " +
                   (display_type.ok() ? std::to_string(*display_type) : std::string()) + " for " +
                   name + " with SMTP " + smtp + " and ODN " + odn,
               kLogInfo);
  if (!display_type.ok()) return {};
  switch (*display_type) {
    case kDtMailUser:
    case kDtRemoteMailUser:
      AddPersonToSourceMCL(entry, mclid, name, smtp, odn, address_id);
      return {};
    case kDtDistList:
    case kDtOrganization:
      return AddListToSourceMCL(entry, mclid, include_dls, name, smtp, odn, address_id);
    case kDtAgent: {
      if (smtp.empty()) return {};
      if (!expanded_lists.Insert(smtp, smtp)) {
        rt_.WriteLog(kPrefix + "skipping repeat expansion of " +
                         (name_result.ok() ? *name_result : std::string()),
                     kLogInfo);
        if (rt_.provenance != nullptr) rt_.provenance->ListRefused(mclid, {name, smtp, odn});
        return {};
      }
      rt_.WriteLog(kPrefix + "attempting to expand " + smtp + " as query-based DL", kLogDetail);
      // The list itself gets no record: its members are whatever its filter finds.
      ExpandQueryDL(smtp, mclid, true, include_dls, "");
      return {};
    }
    default:
      return {};
  }
}

QAV::ContactAddresses QAV::AddressesOf(const AddressEntryPtr& entry) {
  if (auto found = contact_addresses_.find(entry.get()); found != contact_addresses_.end()) {
    return found->second;
  }
  ContactAddresses a;
  a.smtp = LowerCase(Trim(GetSMTPFromAE(entry)));
  a.odn = LowerCase(GetFieldText(entry, kPrEmailAddress));
  a.address_id = GetIdForODN(rt_, a.odn);
  if (a.odn.empty() || !a.address_id.empty()) {
    a.entry = entry;
    contact_addresses_.emplace(entry.get(), a);
  }
  return a;
}

void QAV::AddPersonToSourceMCL(const AddressEntryPtr& entry, const std::string& mclid,
                               const std::string& name, std::string smtp, std::string odn,
                               const std::string& address_id) {
  if (smtp.empty() && odn.empty()) {
    auto raw = entry->Name();
    rt_.WriteLog(
        kPrefix + "skipping " + (raw.ok() ? *raw : std::string()) + ":no valid email address",
        kLogWarning);
    if (rt_.provenance != nullptr) {
      rt_.provenance->ContactSkipped(mclid, {name, smtp, odn}, "no valid email address");
    }
    return;
  }
  const std::string filter = SourceMclContactFilter(smtp, odn);
  Recordset& rst = *rstSourceMCL;
  rst.ClearFilter().IgnoreError();
  // A filter that cannot be set finds no record: the contact is stored as new.
  const bool filtered = SetFilterOrLog(rst, filter, kLabel);
  auto count = rst.RecordCount();
  if (!filtered || !count.ok() || *count == 0) {
    rt_.WriteLog(kPrefix + "adding record for " + name, kLogDetail);
    std::string proxies;
    std::string x500proxies;
    NewContactProxies(smtp, odn, proxies, x500proxies);
    rst.ClearFilter().IgnoreError();
    Status pending;
    rst.AddNew().IgnoreError();
    rst.SetValue("SMTP", Variant(EncodeWildcards(smtp))).IgnoreError();
    rst.SetValue("MCLID", Variant(MclTag(mclid))).IgnoreError();
    rst.SetValue("ODN", Variant(EncodeWildcards(odn))).IgnoreError();
    rst.SetValue("AddressID", Variant(address_id)).IgnoreError();
    rst.SetValue("Proxies", Variant(EncodeWildcards(proxies))).IgnoreError();
    rst.SetValue("X500Proxies", Variant(EncodeWildcards(x500proxies))).IgnoreError();
    // Each property is read once for its line and its field: a property the entry does not
    // have gives neither.
    auto write_tagged = [&](const TagField& f) {
      auto value = entry->Field(f.tag);
      if (!value.ok()) return;
      const std::string text = value->ToText();
      if (f.log_word != nullptr) LogFieldText(kLabel, name, f.log_word, text);
      Write(rst, f.field, Variant(Trim(text)), pending);
    };
    for (const TagField& f : kBeforeFax) write_tagged(f);
    if (FaxMapping == 1) {
      write_tagged({"QAV Business Fax", kPrPrimaryFax, "BusFax"});
    } else if (FaxMapping == 2) {
      write_tagged({"OtherFax", kPrPrimaryFax, "OtherFax"});
    }
    for (const TagField& f : kBeforeMultiValued) write_tagged(f);
    Write(rst, "BusinessPhone2", Variant(MultiValueText(entry, kPrBusiness2Phone, "varBus2")),
          pending);
    Write(rst, "HomePhone2", Variant(MultiValueText(entry, kPrHome2Phone, "varHome2")), pending);
    for (const TagField& f : kAfterMultiValued) write_tagged(f);
    Write(rst, "DisplayName", Variant(name), pending);
    Write(rst, "FileAs", Variant(name), pending);
    Write(rst, "FileAsFlag", FileAsFlag(name), pending);
    if (Status s = rst.Update(); !s.ok()) pending = s;
    if (!pending.ok()) {
      rt_.WriteLog(kPrefix + "error for " + name + ": &H" +
                       Hex(static_cast<uint32_t>(pending.number())) + " " + pending.description(),
                   kLogError);
    }
    if (rt_.provenance != nullptr) rt_.provenance->ContactAdded(mclid, {name, smtp, odn}, false);
  } else {
    const std::string current = CurrentText(rst, "MCLID");
    if (!Contains(current, MclTag(mclid))) {
      rst.SetValue("MCLID", Variant(current + MclTag(mclid))).IgnoreError();
      rst.Update().IgnoreError();
      rt_.WriteLog(kPrefix + "appending MCLID to existing record for " + name, kLogDetail);
      if (rt_.provenance != nullptr) rt_.provenance->MclIdAppended(mclid, {name, smtp, odn});
    } else {
      rt_.WriteLog(kPrefix + "existing record for " + name + " already has MCLID " + mclid,
                   kLogTrace);
      if (rt_.provenance != nullptr) rt_.provenance->ContactReachedAgain(mclid, {name, smtp, odn});
    }
  }
  rst.ClearFilter().IgnoreError();
}

std::string QAV::SourceMclContactFilter(const std::string& smtp, const std::string& odn) {
  return AddressFilter(smtp, odn, true);
}

std::vector<AddressEntryPtr> QAV::AddListToSourceMCL(const AddressEntryPtr& entry,
                                                     const std::string& mclid, bool& include_dls,
                                                     const std::string& name,
                                                     const std::string& smtp,
                                                     const std::string& odn,
                                                     const std::string& address_id) {
  auto raw_name = entry->Name();
  const std::string entry_name = raw_name.ok() ? *raw_name : std::string();
  // A list without an SMTP address is known by its entry ID: under the empty text, the first
  // such list would stand for every other one of the MCL and they would never be expanded.
  std::string key = smtp;
  if (key.empty()) {
    auto id = entry->ID();
    key = "id:" + (id.ok() ? *id : std::string());
  }
  if (!expanded_lists.Insert(key, key)) {
    rt_.WriteLog(kPrefix + "skipping repeat expansion of DL " + entry_name, kLogDetail);
    if (rt_.provenance != nullptr) rt_.provenance->ListRefused(mclid, {name, smtp, odn});
    return {};
  }
  auto members = entry->Members();
  if (!members.ok() || members->empty()) {
    rt_.WriteLog(kPrefix + "skipping DL " + name + " because it has no members", kLogInfo);
    if (rt_.provenance != nullptr) {
      rt_.provenance->ContactSkipped(mclid, {name, smtp, odn}, "list without members");
    }
    return {};
  }
  if (smtp.empty()) {
    rt_.WriteLog(kPrefix + "skipping " + name + ": no SMTP address", kLogWarning);
  } else if (!include_dls) {
    rt_.WriteLog(kPrefix + "skipping creation of record for DL '" + name +
                     "'; IncludeDLs=False for this MCL",
                 kLogDetail);
  } else {
    Recordset& rst = *rstSourceMCL;
    rst.ClearFilter().IgnoreError();
    const bool filtered =
        SetFilterOrLog(rst, "[SMTP] LIKE '" + QuoteFilterValue(Variant(smtp)) + "'", kLabel);
    auto count = rst.RecordCount();
    if (!filtered || !count.ok() || *count == 0) {
      rst.ClearFilter().IgnoreError();
      rst.AddNew().IgnoreError();
      rst.SetValue("SMTP", Variant(EncodeWildcards(smtp))).IgnoreError();
      rst.SetValue("MCLID", Variant(MclTag(mclid))).IgnoreError();
      rst.SetValue("ODN", Variant(EncodeWildcards(odn))).IgnoreError();
      rst.SetValue("AddressID", Variant(address_id)).IgnoreError();
      for (const TagField& f : kListFields) {
        rst.SetValue(f.field, Variant(GetFieldText(entry, f.tag))).IgnoreError();
      }
      rst.SetValue("DisplayName", Variant(name)).IgnoreError();
      rst.SetValue("LastName", Variant(name)).IgnoreError();
      rst.SetValue("FileAs", Variant(name)).IgnoreError();
      rst.SetValue("FileAsFlag", FileAsFlag(name)).IgnoreError();
      rst.SetValue("DL", Variant::Boolean(true)).IgnoreError();
      rst.Update().IgnoreError();
      rt_.WriteLog(kPrefix + "adding record for DL " + name, kLogDetail);
      if (rt_.provenance != nullptr) rt_.provenance->ContactAdded(mclid, {name, smtp, odn}, true);
    } else {
      const std::string current = CurrentText(rst, "MCLID");
      if (Contains(current, MclTag(mclid))) {
        // The list was expanded for this MCL already (reached before the register knew it).
        rt_.WriteLog(kPrefix + "skipping repeat expansion of " + name + " for MCLID " + current,
                     kLogWarning);
        if (rt_.provenance != nullptr) rt_.provenance->ListRefused(mclid, {name, smtp, odn});
        return {};
      }
      rst.SetValue("MCLID", Variant(current + MclTag(mclid))).IgnoreError();
      rst.Update().IgnoreError();
      rt_.WriteLog(kPrefix + "appending MCLID to existing record for " + name, kLogDetail);
      if (rt_.provenance != nullptr) rt_.provenance->MclIdAppended(mclid, {name, smtp, odn});
    }
    rst.ClearFilter().IgnoreError();
  }
  rt_.WriteLog(kPrefix + "expanding DL " + name, kLogDetail);
  // The caller walks the members and says when it leaves the list.
  if (rt_.provenance != nullptr) {
    rt_.provenance->ListEntered(mclid, ListKind::kDistributionList, {name, smtp, odn}, "");
  }
  return std::move(*members);
}

std::string QAV::MultiValueText(const AddressEntryPtr& entry, uint32_t tag,
                                const std::string& label) {
  Variant value{std::string()};
  if (auto v = entry->Field(tag); v.ok()) value = *v;
  if (IsFilledArray(value)) {
    const Variant& first = value.array().front();
    if (!first.IsArray()) return Trim(first.ToText());
    // A value whose first element is itself an array: the directory's values were nested
    // one level deeper than a list of numbers.
    rt_.WriteLog(kPrefix + "error on " + label + "(0):Type mismatch", kLogInfo);
    return IsFilledArray(first) ? Trim(first.array().front().ToText()) : std::string();
  }
  if (value.IsArray()) return {};
  return Trim(value.ToText());
}

void QAV::ReplayContactProxies(std::vector<ProxyPass>& passes, std::string& odn,
                               std::string& proxies, std::string& x500proxies) {
  // Each look-up as GetAllProxies makes it: nothing once the run is to stop.
  for (ProxyPass& pass : passes) {
    if (rt_.StopRequested()) break;
    for (const auto& [line, level] : pass.lines) rt_.WriteLog(line, level);
    proxies = std::move(pass.proxies);
    x500proxies = std::move(pass.x500proxies);
    odn = std::move(pass.odn);
  }
  CloseList(proxies);
  CloseList(x500proxies);
}

void QAV::NewContactProxies(const std::string& smtp, std::string& odn, std::string& proxies,
                            std::string& x500proxies) {
  const std::string odn_address = odn;
  GetAllProxies(odn_address, proxies, x500proxies, odn, true, false);
  GetAllProxies(smtp, proxies, x500proxies, odn, true, true);
  // The second look-up hands the lists back without their outer ";" when the address was
  // already in them; closed, a later "*;x;*" search finds their first and last elements.
  CloseList(proxies);
  CloseList(x500proxies);
}

}  // namespace testqav
