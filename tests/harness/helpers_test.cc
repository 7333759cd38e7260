#include <gtest/gtest.h>

#include <map>

#include "harness/array_helpers.h"
#include "harness/get_reg_value.h"
#include "harness/runtime.h"
#include "platform/common/error_codes.h"
#include "support/test_runtime.h"

namespace testqav {
namespace {

TEST(ArrayHelpers, ArrayToHex) {
  EXPECT_EQ(ArrayToHex(Variant::Bytes({1, 171, 255})), "01ABFF");
  EXPECT_EQ(ArrayToHex(Variant::Array({})), "");
  EXPECT_EQ(ArrayToHex(Variant("01AB")), "");
  EXPECT_EQ(ArrayToHex(Variant()), "");
  EXPECT_FALSE(IsFilledArray(Variant()));
  EXPECT_FALSE(IsFilledArray(Variant("x")));
  EXPECT_TRUE(IsFilledArray(Variant::Array({Variant("x")})));
}

TEST(ArrayHelpers, TrimRepeated) {
  std::string s = ";;a;b;;";
  EXPECT_EQ(TrimRepeated(s, ";"), "a;b");
  EXPECT_EQ(s, "a;b");
  std::string only = ";;;";
  EXPECT_EQ(TrimRepeated(only, ";"), "");
  std::string word = "abab-x-abab";
  EXPECT_EQ(TrimRepeated(word, "ab"), "-x-");
  // An empty text to remove must return instead of looping forever.
  std::string any = "abc";
  EXPECT_EQ(TrimRepeated(any, ""), "abc");
  // The comparison is exact.
  std::string cased = "AaA";
  EXPECT_EQ(TrimRepeated(cased, "a"), "AaA");
}

class MapRegistry : public Registry {
 public:
  Result<RegValue> QueryValue(uint32_t root, std::string_view key,
                              std::string_view name) const override {
    auto it = values.find(std::to_string(root) + "|" + std::string(key) + "|" + std::string(name));
    if (it == values.end()) return Status(err::kNotFound, "not found");
    return it->second;
  }
  std::map<std::string, RegValue> values;
};

RegValue Text(uint32_t type, std::string s) {
  RegValue v;
  v.type = type;
  v.data.assign(s.begin(), s.end());
  return v;
}

TEST(GetRegValue, ReadsEachTypeAsTheAgentDid) {
  MapRegistry reg;
  const std::string k = std::to_string(kHkeyLocalMachine) + "|K|";
  reg.values[k + "sz"] = Text(kRegSz, std::string("server\0", 7));
  reg.values[k + "two_nuls"] = Text(kRegSz, std::string("x\0\0", 3));
  reg.values[k + "expand"] = Text(kRegExpandSz, std::string("%PATH%\0", 7));
  RegValue dword;
  dword.type = kRegDword;
  dword.data = {0x2A, 0, 0, 0};
  reg.values[k + "dword"] = dword;
  RegValue bin;
  bin.type = kRegBinary;
  bin.data = {0x0A, 0xFF};
  reg.values[k + "bin"] = bin;
  RegValue multi = Text(kRegMultiSz, std::string("a\0b\0\0", 5));
  reg.values[k + "multi"] = multi;

  EXPECT_EQ(GetRegValue(reg, kHkeyLocalMachine, "K", "sz"), Variant("server"));
  // Only one trailing NUL is removed.
  EXPECT_EQ(GetRegValue(reg, kHkeyLocalMachine, "K", "two_nuls"), Variant(std::string("x\0", 2)));
  // Environment references are not expanded.
  EXPECT_EQ(GetRegValue(reg, kHkeyLocalMachine, "K", "expand"), Variant("%PATH%"));
  EXPECT_EQ(GetRegValue(reg, kHkeyLocalMachine, "K", "dword"), Variant::Long(42));
  EXPECT_EQ(GetRegValue(reg, kHkeyLocalMachine, "K", "dword").ToText(), "42");
  EXPECT_EQ(GetRegValue(reg, kHkeyLocalMachine, "K", "bin"), Variant("0A FF"));
  EXPECT_EQ(GetRegValue(reg, kHkeyLocalMachine, "K", "multi"), Variant(""));
  EXPECT_EQ(GetRegValue(reg, kHkeyLocalMachine, "K", "missing"), Variant(""));
  EXPECT_EQ(GetRegValue(reg, kHkeyLocalMachine, "Other", "sz"), Variant(""));
}

// A value from outside (a registration's topic) must never start a log line of its own;
// the line breaks of the system's own multi-line texts stay.
TEST(RunLogText, ValuesCannotForgeLines) {
  EXPECT_EQ(LogSafeText("a@b.example"), "a@b.example");
  EXPECT_EQ(LogSafeText("x\r\n01/01/26 00:00:00: complete"),
            "x<CR><LF>01/01/26 00:00:00: complete");
  EXPECT_EQ(LogSafeText(std::string("a\tb\x1B[2J\x7F\0z", 10)),
            "a<TAB>b<U+001B>[2J<U+007F><U+0000>z");
  // C1 controls and the Unicode line separators are line breaks to some viewers; other
  // non-ASCII text passes unchanged.
  EXPECT_EQ(LogSafeText("n\xC2\x85l\xE2\x80\xA8p\xE2\x80\xA9\xC3\xA9\xE2\x82\xAC"),
            "n<U+0085>l<U+2028>p<U+2029>\xC3\xA9\xE2\x82\xAC");

  testing::TestRuntime t;
  t.rt.WriteLog("QAV::GetQAVData:skipping row with SMTP=evil\r\ncomplete", kLogInfo);
  t.rt.WriteLogLines({"GetFolder:Unable\n(value)", "unable to retrieve PublicStoreID"}, kLogError);
  // Wherever the character stands in a long line, it is found.
  for (size_t at = 0; at < 40; ++at) {
    for (const std::string control : {"\n", "\x7F", "\xC2\x85", "\xE2\x80\xA8"}) {
      std::string text(40, 'a');
      text.replace(at, 1, control);
      testing::TestRuntime each;
      each.rt.WriteLog(text, kLogInfo);
      EXPECT_EQ(each.log.lines[0].second, LogSafeText(text)) << at;
      EXPECT_NE(each.log.lines[0].second, text) << at;
    }
  }
  ASSERT_EQ(t.log.lines.size(), 2u);
  EXPECT_EQ(t.log.lines[0].second, "QAV::GetQAVData:skipping row with SMTP=evil<CR><LF>complete");
  EXPECT_EQ(t.log.lines[1].second,
            "GetFolder:Unable<LF>(value)\r\nunable to retrieve PublicStoreID");
}

// Phase times are for seeing where a run's time goes: one entry each time the run moves on
// to another phase, not one for each item of a loop that reports its progress.
TEST(RuntimePhases, OneEntryEachTimeThePhaseChanges) {
  testing::TestRuntime t;
  EXPECT_TRUE(t.rt.PhaseTimes().empty());
  t.rt.SetPhase("settings");
  t.rt.SetPhase("settings");
  for (int i = 0; i <= 3; ++i) t.rt.SetProgress("registrations", i, 3);
  t.rt.EndProgress();
  t.rt.SetProgress("QAV-1.csv", 1, 1);
  t.rt.SetPhase("registrations");
  const std::vector<Runtime::PhaseTime> times = t.rt.PhaseTimes();
  std::vector<std::string> names;
  for (const Runtime::PhaseTime& p : times) {
    names.push_back(p.phase);
    EXPECT_GE(p.seconds, 0.0) << p.phase;
  }
  EXPECT_EQ(names,
            (std::vector<std::string>{"settings", "registrations", "QAV-1.csv", "registrations"}));
  // The progress of a loop is kept as before.
  EXPECT_EQ(t.rt.Position().phase, "registrations");
  EXPECT_EQ(t.rt.Position().done, -1);
}

}  // namespace
}  // namespace testqav
