#include <gtest/gtest.h>

#include "store/filtered_tables.h"
#include "support/test_runtime.h"

namespace testqav {
namespace {

TEST(FilteredTables, GetPropType) {
  EXPECT_EQ(GetPropType(static_cast<int32_t>(0x66700102)), 258);
  EXPECT_EQ(GetPropType(0x0070001E), 30);
  EXPECT_EQ(GetPropType(static_cast<int32_t>(0x30080040)), 64);
}

TEST(FilteredTables, GetRowValKeepsOnlyTheExpectedType) {
  testing::TestRuntime t;
  Runtime& rt = t.rt;
  EXPECT_EQ(GetRowVal(rt, Variant::Integer(5), 0x00010002), Variant::Integer(5));
  EXPECT_EQ(GetRowVal(rt, Variant::Long(5), 0x00010002), Variant::Long(5));
  EXPECT_EQ(GetRowVal(rt, Variant("5"), 0x00010002), Variant::Integer(0));
  EXPECT_EQ(GetRowVal(rt, Variant::Integer(5), 0x00010003), Variant::Integer(0));
  EXPECT_EQ(GetRowVal(rt, Variant::Boolean(true), 0x0001000B), Variant::Boolean(true));
  EXPECT_EQ(GetRowVal(rt, Variant(" x "), 0x0001001E), Variant("x"));
  EXPECT_EQ(GetRowVal(rt, Variant::Null(), 0x0001001E), Variant(""));
  EXPECT_EQ(GetRowVal(rt, Variant::Date(2), 0x00010040), Variant::Date(2));
  EXPECT_EQ(GetRowVal(rt, Variant("x"), 0x00010040), Variant::Date(0));
  EXPECT_EQ(GetRowVal(rt, Variant::Bytes({0, 0xAB}), static_cast<int32_t>(0x66700102)),
            Variant("00AB"));
  EXPECT_EQ(GetRowVal(rt, Variant("00AB"), static_cast<int32_t>(0x66700102)), Variant(""));
  EXPECT_TRUE(GetRowVal(rt, Variant("x"), 0x0001001F).IsEmpty());
}

TEST(FilteredTables, FilterMsgsRdoWithoutFolderOrFields) {
  testing::TestRuntime t;
  std::vector<FilterField> fields(1);
  EXPECT_TRUE(FilterMsgsRDO(t.rt, nullptr, fields).empty());
  EXPECT_TRUE(t.log.Has("FilterMsgsRDO:no folder supplied", kLogInfo));
}

}  // namespace
}  // namespace testqav
