#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "engine/qav.h"
#include "support/files.h"
#include "support/temp_dir.h"
#include "support/test_runtime.h"

namespace testqav {
namespace {

using testing::ReadFile;

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> out;
  size_t pos = 0;
  while (pos < text.size()) {
    size_t e = text.find("\r\n", pos);
    if (e == std::string::npos) {
      out.push_back(text.substr(pos));
      break;
    }
    out.push_back(text.substr(pos, e - pos));
    pos = e + 2;
  }
  return out;
}

size_t Columns(const std::string& line) { return std::count(line.begin(), line.end(), ',') + 1; }

class DumpsTest : public ::testing::Test {
 protected:
  testing::TempDir dir;
  testing::TestRuntime t{dir.path().string()};
  std::unique_ptr<QAV> engine = std::make_unique<QAV>(t.rt);
  // Writes the dump and puts it in place, as the end of a completed run does.
  void Dump(const std::string& name) {
    engine->DumpQAV(name);
    testing::PutOutputsInPlace(t.rt);
  }
};

TEST_F(DumpsTest, DataSetsHaveTheirLayouts) {
  engine->CreateQAVData();
  engine->CreateSourceMCLData();
  engine->CreateMCLData();
  EXPECT_EQ(engine->rstQAV->FieldCount(), 43);
  EXPECT_EQ(engine->rstSourceMCL->FieldCount(), 50);
  EXPECT_EQ(engine->rstMCL->FieldCount(), 5);
  EXPECT_EQ(engine->rstQAV->State(), kStateOpen);
  EXPECT_TRUE(engine->rstQAV->Eof());
  EXPECT_EQ(*engine->rstQAV->RecordCount(), 0);
  EXPECT_EQ(*engine->rstQAV->FieldTypeOf(33), FieldType::kInteger);        // FileAsFlag
  EXPECT_EQ(*engine->rstQAV->FieldTypeOf(35), FieldType::kDate);           // LastChange
  EXPECT_EQ(*engine->rstSourceMCL->FieldTypeOf(46), FieldType::kBoolean);  // DL
  // Creating again starts from an empty set.
  engine->rstQAV->AddNew().IgnoreError();
  engine->rstQAV->SetValue("SMTP", Variant("a@x.com")).IgnoreError();
  engine->rstQAV->Update().IgnoreError();
  engine->CreateQAVData();
  EXPECT_EQ(*engine->rstQAV->RecordCount(), 0);
}

TEST_F(DumpsTest, EmptyDataSetGivesTheHeaderOnly) {
  engine->CreateQAVData();
  Dump("QAV-1");
  std::string text = ReadFile(dir.path() / "QAV-1.csv");
  EXPECT_EQ(text.substr(0, 56), "PIN,SMTP,ODN,AddressID,Proxies,X500Proxies,Email2,Email3");
  auto lines = Lines(text);
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(Columns(lines[0]), 43u);
  EXPECT_NE(lines[0].find(",QAV Business Phone,QAV Business Fax,QAV Home Phone,QAV Pager,"),
            std::string::npos);
  EXPECT_TRUE(text.size() >= 2 && text.substr(text.size() - 2) == "\r\n");
}

TEST_F(DumpsTest, ValuesKeepOneRecordPerLine) {
  engine->CreateQAVData();
  Recordset& r = *engine->rstQAV;
  r.AddNew().IgnoreError();
  r.SetValue("PIN", Variant("2A3B")).IgnoreError();
  r.SetValue("SMTP", Variant("a#95b@x.com")).IgnoreError();
  r.SetValue("Notes", Variant("one, two\r\nthree\rfour\nfive")).IgnoreError();
  r.SetValue("FileAsFlag", Variant::Long(32823)).IgnoreError();
  r.Update().IgnoreError();
  r.AddNew().IgnoreError();
  r.SetValue("SMTP", Variant("only@x.com")).IgnoreError();
  r.Update().IgnoreError();
  Dump("QAV-1");
  auto lines = Lines(ReadFile(dir.path() / "QAV-1.csv"));
  ASSERT_EQ(lines.size(), 3u);
  for (const auto& l : lines) EXPECT_EQ(Columns(l), 43u) << l;
  EXPECT_EQ(lines[1].substr(0, 17), "2A3B,a#95b@x.com,");
  EXPECT_NE(lines[1].find(",one; two;three;four;five,"), std::string::npos) << lines[1];
  EXPECT_NE(lines[1].find(",32823,"), std::string::npos);
  EXPECT_EQ(lines[2], ",only@x.com" + std::string(41, ','));
  // The data set is left unfiltered on its first record.
  EXPECT_EQ(r.Value("SMTP")->ToText(), "a#95b@x.com");
}

TEST_F(DumpsTest, SecondDumpReplacesTheFirst) {
  engine->CreateQAVData();
  Recordset& r = *engine->rstQAV;
  r.AddNew().IgnoreError();
  r.SetValue("SMTP", Variant("a@x.com")).IgnoreError();
  r.Update().IgnoreError();
  Dump("QAV-1");
  engine->CreateQAVData();
  Dump("QAV-1");
  EXPECT_EQ(Lines(ReadFile(dir.path() / "QAV-1.csv")).size(), 1u);
}

TEST_F(DumpsTest, UnwritableDumpIsAnErrorLineAndMarksTheRun) {
  engine->CreateQAVData();
  std::filesystem::create_directory(dir.path() / "QAV-1.csv.tmp");  // a folder in the way
  engine->DumpQAV("QAV-1");
  EXPECT_TRUE(t.rt.OutputFailed());
  EXPECT_TRUE(t.rt.StagingFailed());
  EXPECT_TRUE(t.rt.TakeStagedOutputs().empty());
  EXPECT_TRUE(t.log.HasContaining("unable to write")) << t.log.Dump();
}

}  // namespace
}  // namespace testqav
