// The value type keeps one payload at a time in shared room, so copying, moving and
// assigning between kinds must hand the right payload over and end the old one.
#include "platform/common/variant.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace testqav {
namespace {

std::vector<Variant> OneOfEachKind() {
  return {Variant(),
          Variant::Null(),
          Variant("a text long enough to live outside the string object itself"),
          Variant("short"),
          Variant::Integer(-7),
          Variant::Long(123456),
          Variant::LongLong(int64_t{1} << 40),
          Variant::Boolean(true),
          Variant::Byte(200),
          Variant::Double(2.5),
          Variant::Date(45000.5),
          Variant::Array({Variant("x"), Variant::Long(1), Variant::Array({Variant("nested")})})};
}

TEST(VariantTest, CopiesMovesAndAssignmentsBetweenKindsKeepTheValue) {
  const std::vector<Variant> kinds = OneOfEachKind();
  for (const Variant& from : kinds) {
    Variant copy(from);
    EXPECT_EQ(copy, from) << from.TypeName();
    Variant moved(std::move(copy));
    EXPECT_EQ(moved, from) << from.TypeName();
    for (const Variant& to : kinds) {
      Variant target(to);
      target = from;
      EXPECT_EQ(target, from) << to.TypeName() << " <- " << from.TypeName();
      Variant source(from);
      Variant other(to);
      other = std::move(source);
      EXPECT_EQ(other, from) << to.TypeName() << " <- moved " << from.TypeName();
    }
  }
}

TEST(VariantTest, WrongAccessorsGiveZeroValues) {
  Variant d = Variant::Double(2.5);
  EXPECT_EQ(d.integer_value(), 0);
  EXPECT_FALSE(d.bool_value());
  EXPECT_EQ(d.string_value(), "");
  EXPECT_TRUE(d.array().empty());
  Variant s("text");
  EXPECT_EQ(s.integer_value(), 0);
  EXPECT_EQ(s.double_value(), 0.0);
  EXPECT_TRUE(s.array().empty());
  Variant n = Variant::Long(5);
  EXPECT_EQ(n.double_value(), 0.0);
  EXPECT_EQ(n.string_value(), "");
  EXPECT_EQ(n.ToText(), "5");
  EXPECT_EQ(Variant::Date(45000.5).ToInteger(), 45001);
}

TEST(VariantTest, AssigningAnElementOfItsOwnArrayIsSafe) {
  Variant v =
      Variant::Array({Variant("first element, long enough to be on the heap"), Variant::Long(1)});
  v = v.array()[0];
  EXPECT_EQ(v.string_value(), "first element, long enough to be on the heap");
  Variant w = Variant::Array({Variant::Array({Variant("inner")})});
  w = w.array()[0];
  ASSERT_TRUE(w.IsArray());
  EXPECT_EQ(w.array()[0].string_value(), "inner");
}

}  // namespace
}  // namespace testqav
