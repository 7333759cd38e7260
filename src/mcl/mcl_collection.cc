// Walking the mandatory-contacts folder: each active Mandatory Contact List with a target gets
// the next list number and its source addresses are parsed into the SourceMCL data set.
#include "engine/provenance.h"
#include "engine/qav.h"
#include "platform/common/text.h"

namespace testqav {

namespace {

// What one MCL item holds. Only the source list, the target's presence and IncludeDLs drive
// the run; the rest is read so that a definition is complete when it is looked at.
struct MclDefinition {
  std::string id;
  std::string source;
  std::string target;
  bool source_no_smtp = false;
  std::string name;
  std::string description;
  bool pdl = false;
  bool pdl_pin = false;
  bool pdl_sms = false;
  bool pdl_email = false;
  bool include_dls = true;
};

// A named field as the item holds it; a missing or unreadable one is Empty.
Variant NamedField(const MessagePtr& item, std::string_view name) {
  auto v = item->Field(name);
  return v.ok() ? *v : Variant();
}

std::string FieldText(const MessagePtr& item, std::string_view name) {
  return NamedField(item, name).ToText();
}

// A value that does not convert to a Boolean reads as False.
bool FieldBool(const MessagePtr& item, std::string_view name) {
  bool ok = false;
  const bool value = NamedField(item, name).ToBool(&ok);
  return ok && value;
}

bool IsMissing(const Variant& v) { return v.IsEmpty() || v.IsNull() || v.ToText().empty(); }

}  // namespace

bool QAV::CheckInactive(const MessagePtr& item) {
  if (!item || IsMissing(NamedField(item, "QAV.Inactive"))) return false;
  return FieldBool(item, "QAV.Inactive");
}

bool QAV::GetIncludeDLs(const MessagePtr& item) {
  if (!item) return true;
  const Variant v = NamedField(item, "MCL.IncludeDLs");
  if (IsMissing(v)) return true;
  bool ok = false;
  const bool value = v.ToBool(&ok);
  return ok && value;
}

bool QAV::CollectDataMCL() {
  const std::string kPrefix = "QAV::CollectDataMCL:";
  if (!GetMandatoryFolder()) {
    rt_.WriteLog(kPrefix + "failed to get Mandatory Contacts folder; unable to collect MCL data",
                 kLogWarning);
    return false;
  }
  CreateSourceMCLData();
  // Every contact reached is matched against the registered users, which this phase leaves
  // as they are; a contact reached by several lists is matched with the same filter again.
  if (rstQAV) KeepFilterMatches(*rstQAV);
  std::vector<MessagePtr> items;
  if (auto messages = fldMandatory->Messages(); messages.ok()) {
    if (auto all = (*messages)->All(); all.ok()) items = std::move(*all);
  }
  // A 32-bit number: one run may hold far more lists than a 16-bit counter can number.
  int32_t list_number = 0;
  int64_t done = 0;
  const auto total = static_cast<int64_t>(items.size());
  rt_.SetProgress("mandatory contact lists", done, total);
  for (const MessagePtr& item : items) {
    if (rt_.StopRequested()) break;
    rt_.SetProgress("mandatory contact lists", ++done, total);
    if (!item) continue;
    auto subject_result = item->Subject();
    const std::string subject = subject_result.ok() ? *subject_result : std::string();
    auto type = item->Type();
    const std::string message_class = type.ok() ? *type : std::string();
    if (message_class != "IPM.Post.MCL") {
      rt_.WriteLog(kPrefix + "found item '" + subject + "' with incorrect MessageClass '" +
                       message_class + "'; checking for MCL properties",
                   kLogInfo);
    }
    rt_.WriteLog(kPrefix + "examining " + subject, kLogInfo);
    if (CheckInactive(item)) {
      rt_.WriteLog(kPrefix + "skipping " + subject + ", Inactive flag is set", kLogInfo);
      if (rt_.provenance != nullptr) rt_.provenance->MclPassedOver(subject, "inactive");
      continue;
    }
    MclDefinition mcl;
    mcl.id = FieldText(item, "ZOR.Guid");
    mcl.source = FieldText(item, "MCL Source Email");
    mcl.target = FieldText(item, "MCL Target Email");
    mcl.source_no_smtp = FieldBool(item, "MCL Source No SMTP");
    mcl.name = ReplaceAll(ReplaceAll(subject, ",", "_"), ";", "_");
    mcl.description = FieldText(item, "MCL Description");
    mcl.pdl = FieldBool(item, "PDL");
    if (IsMissing(NamedField(item, "PDL.PIN"))) {
      mcl.pdl_pin = true;
    } else {
      mcl.pdl_pin = FieldBool(item, "PDL.PIN");
      mcl.pdl_sms = FieldBool(item, "PDL.SMS");
      mcl.pdl_email = FieldBool(item, "PDL.Email");
    }
    mcl.include_dls = GetIncludeDLs(item);
    if (mcl.target.empty()) {
      rt_.WriteLog(kPrefix + "skipping " + subject + ", missing target", kLogWarning);
      if (rt_.provenance != nullptr) rt_.provenance->MclPassedOver(subject, "no target");
      continue;
    }
    if (mcl.source.empty()) {
      if (rt_.provenance != nullptr) rt_.provenance->MclPassedOver(subject, "no source");
      continue;
    }
    ++list_number;
    rt_.WriteLog(
        kPrefix + "parsing data from " + subject + " as list " + std::to_string(list_number),
        kLogDetail);
    rt_.WriteLog(kPrefix + "Source=" + mcl.source + ", Target=" + mcl.target, kLogTrace);
    std::string mclid = std::to_string(list_number);
    if (rt_.provenance != nullptr) {
      rt_.provenance->MclStarted(mclid, subject, mcl.source, mcl.target);
    }
    ParseSourceMCL(mcl.source, mclid, mcl.include_dls);
  }
  rt_.EndProgress();
  rstSourceMCL->ClearFilter().IgnoreError();
  return true;
}

}  // namespace testqav
