#include <gtest/gtest.h>

#include <map>

#include "harness/array_helpers.h"
#include "platform/common/error_codes.h"
#include "harness/get_reg_value.h"

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

}  // namespace
}  // namespace testqav
