// CSV dumps of the data sets: header of field names, one line per record, "," inside a
// value and line breaks written as ";", CR LF line ends, no quoting.
#include <cstdio>
#include <fstream>

#include "engine/qav.h"
#include "platform/common/error_codes.h"
#include "platform/common/text.h"

namespace testqav {

namespace {

// Appends a field's text: "," becomes ";" (the separator), and so does each line break (CR
// LF, CR or LF), in one pass.
void AppendField(std::string& line, std::string_view text) {
  size_t plain = 0;  // start of the run of characters copied as they are
  for (size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (c != ',' && c != '\r' && c != '\n') continue;
    line.append(text.data() + plain, i - plain);
    line.push_back(';');
    if (c == '\r' && i + 1 < text.size() && text[i + 1] == '\n') ++i;
    plain = i + 1;
  }
  line.append(text.data() + plain, text.size() - plain);
}

}  // namespace

void QAV::DumpQAV(const std::string& name) { Dump(rstQAV.get(), name); }
void QAV::DumpSourceMCL(const std::string& name) { Dump(rstSourceMCL.get(), name); }
void QAV::DumpMerge(const std::string& name) { Dump(rstMerge.get(), name); }

void QAV::Dump(Recordset* rst, const std::string& name) {
  const std::string path = rt_.host().ProgramFolder() + "/" + name + ".csv";
  // Written beside the target and put in place with the run's other dumps when the run
  // completes: a reader never sees half a dump, and a run that is stopped or fails leaves
  // the previous dumps as they were.
  const std::string temp = path + ".tmp";
  if (rst == nullptr) return;
  std::ofstream out(temp, std::ios::binary | std::ios::trunc);
  rst->ClearFilter().IgnoreError();
  rst->MoveFirst().IgnoreError();
  std::string line;
  const int32_t count = rst->FieldCount();
  for (int32_t i = 0; i < count; ++i) {
    auto n = rst->FieldName(i);
    line += (n.ok() ? *n : std::string()) + ",";
  }
  if (!line.empty()) line.pop_back();
  out << line << "\r\n";
  const auto total = rst->RecordCount();
  int64_t done = 0;
  bool stopped = false;
  while (!rst->Eof()) {
    rt_.SetProgress(name + ".csv", ++done, total.ok() ? *total : -1);
    line.clear();
    for (int32_t i = 0; i < count; ++i) {
      Result<const Variant*> v = rst->ValueView(i);
      if (v.ok()) {
        if ((*v)->IsString()) {
          AppendField(line, (*v)->string_value());
        } else {
          AppendField(line, (*v)->ToText());
        }
      }
      line += ',';
    }
    if (!line.empty()) line.pop_back();
    line += "\r\n";
    out << line;
    rst->MoveNext().IgnoreError();
    rt_.DoEvents();
    if (rt_.StopRequested()) {
      stopped = true;
      break;
    }
  }
  rt_.EndProgress();
  rst->MoveFirst().IgnoreError();
  out.flush();
  bool ok = static_cast<bool>(out);
  out.close();
  ok = ok && !out.fail();
  if (stopped) {
    std::remove(temp.c_str());
    return;
  }
  if (!ok) {
    std::remove(temp.c_str());
    rt_.WriteLog("QAV::Dump:unable to write " + path, kLogError);
    rt_.NoteOutputFailed("unable to write " + path);
    rt_.NoteStagingFailed();
    return;
  }
  rt_.StageOutput(temp, path);
}

}  // namespace testqav
