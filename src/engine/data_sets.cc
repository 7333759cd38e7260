// The layouts of the engine's data sets and the operations that create them empty.
#include "engine/qav.h"
#include "platform/common/error_codes.h"

namespace testqav {

namespace {

constexpr FieldType kT = FieldType::kText;
constexpr FieldType kI = FieldType::kInteger;
constexpr FieldType kD = FieldType::kDate;
constexpr FieldType kB = FieldType::kBoolean;

std::unique_ptr<Recordset> CreateDataSet(Runtime& rt, const std::vector<FieldSpec>& layout) {
  std::unique_ptr<Recordset> rst = rt.make_recordset();
  for (const FieldSpec& f : layout) rst->AppendField(f.name, f.type, 0, -1).IgnoreError();
  rst->Open().IgnoreError();
  return rst;
}

}  // namespace

const std::vector<FieldSpec>& QavLayout() {
  static const std::vector<FieldSpec> kLayout = {
      {"PIN", kT},
      {"SMTP", kT},
      {"ODN", kT},
      {"AddressID", kT},
      {"Proxies", kT},
      {"X500Proxies", kT},
      {"Email2", kT},
      {"Email3", kT},
      {"MobilePhone", kT},
      {"RadioPhone", kT},
      {"QAV Business Phone", kT},
      {"QAV Business Fax", kT},
      {"QAV Home Phone", kT},
      {"QAV Pager", kT},
      {"BusinessPhone2", kT},
      {"HomePhone2", kT},
      {"Title", kT},
      {"Company", kT},
      {"Department", kT},
      {"Office", kT},
      {"StreetAddress", kT},
      {"City", kT},
      {"State", kT},
      {"Zip", kT},
      {"Country", kT},
      {"HomeStreet", kT},
      {"HomeCity", kT},
      {"HomeState", kT},
      {"HomeZip", kT},
      {"HomeCountry", kT},
      {"HomeAddress", kT},
      {"PrivateFields", kT},
      {"FileAs", kT},
      {"FileAsFlag", kI},
      {"Notes", kT},
      {"LastChange", kD},
      {"TargetChecksum", kI},
      {"OtherPhone", kT},
      {"HomeFax", kT},
      {"OtherFax", kT},
      {"UserField2", kT},
      {"UserField3", kT},
      {"UserField4", kT},
  };
  return kLayout;
}

const std::vector<FieldSpec>& SourceMclLayout() {
  static const std::vector<FieldSpec> kLayout = {
      {"SMTP", kT},
      {"MCLID", kT},
      {"ODN", kT},
      {"AddressID", kT},
      {"Proxies", kT},
      {"X500Proxies", kT},
      {"PIN", kT},
      {"MobilePhone", kT},
      {"RadioPhone", kT},
      {"QAV Business Phone", kT},
      {"QAV Business Fax", kT},
      {"QAV Home Phone", kT},
      {"QAV Pager", kT},
      {"BusinessPhone2", kT},
      {"HomePhone2", kT},
      {"Title", kT},
      {"Company", kT},
      {"Department", kT},
      {"Office", kT},
      {"StreetAddress", kT},
      {"City", kT},
      {"State", kT},
      {"Zip", kT},
      {"Country", kT},
      {"HomeStreet", kT},
      {"HomeCity", kT},
      {"HomeState", kT},
      {"HomeZip", kT},
      {"HomeCountry", kT},
      {"HomeAddress", kT},
      {"FirstName", kT},
      {"LastName", kT},
      {"MiddleName", kT},
      {"Generation", kT},
      {"DisplayName", kT},
      {"Description", kT},
      {"PrivateFields", kT},
      {"FileAs", kT},
      {"FileAsFlag", kI},
      {"Notes", kT},
      {"LastChange", kD},
      {"OtherPhone", kT},
      {"HomeFax", kT},
      {"OtherFax", kT},
      {"Email2", kT},
      {"Email3", kT},
      {"DL", kB},
      {"UserField2", kT},
      {"UserField3", kT},
      {"UserField4", kT},
  };
  return kLayout;
}

const std::vector<FieldSpec>& MclLayout() {
  static const std::vector<FieldSpec> kLayout = {
      {"MCLID", kT}, {"SMTP", kT}, {"ODN", kT}, {"FolderID", kT}, {"PF", kB},
  };
  return kLayout;
}

// One record per contact identity: the contact's addresses as the walk worked them out, the
// folder that owns the record (the first in trust order that gave the contact) and every
// folder that gave it.
const std::vector<FieldSpec>& MergeLayout() {
  static const std::vector<FieldSpec> kLayout = {
      {"SMTP", kT},    {"Email2", kT},  {"Email3", kT}, {"SMTPList", kT}, {"ODN", kT},
      {"ODNList", kT}, {"Subject", kT}, {"Folder", kT}, {"Rank", kI},     {"Sources", kT},
  };
  return kLayout;
}

void QAV::CreateQAVData() { rstQAV = CreateDataSet(rt_, QavLayout()); }
void QAV::CreateSourceMCLData() { rstSourceMCL = CreateDataSet(rt_, SourceMclLayout()); }
void QAV::CreateMCLData() { rstMCL = CreateDataSet(rt_, MclLayout()); }
void QAV::CreateMergeData() { rstMerge = CreateDataSet(rt_, MergeLayout()); }

}  // namespace testqav
