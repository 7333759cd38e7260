// Contract of the record sets, run against both implementations.
#include "platform/recordset/recordset.h"

#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "platform/common/error_codes.h"
#include "platform/common/variant.h"

namespace testqav {
namespace {

struct IndexedFactory {
  static std::unique_ptr<Recordset> Make() { return CreateRecordset(); }
};
struct ReferenceFactory {
  static std::unique_ptr<Recordset> Make() { return CreateReferenceRecordset(); }
};

template <typename Factory>
class RecordsetContract : public ::testing::Test {
 protected:
  // The fields the engine's filters use, one with blanks, and one of each other type.
  void SetUp() override {
    rs_ = Factory::Make();
    ASSERT_TRUE(rs_->AppendField("SMTP", FieldType::kText).ok());
    ASSERT_TRUE(rs_->AppendField("ODN", FieldType::kText).ok());
    ASSERT_TRUE(rs_->AppendField("Proxies", FieldType::kText).ok());
    ASSERT_TRUE(rs_->AppendField("X500Proxies", FieldType::kText).ok());
    ASSERT_TRUE(rs_->AppendField("QAV Business Phone", FieldType::kText).ok());
    ASSERT_TRUE(rs_->AppendField("Count", FieldType::kInteger, 0, -1).ok());
    ASSERT_TRUE(rs_->AppendField("When", FieldType::kDate).ok());
    ASSERT_TRUE(rs_->AppendField("DL", FieldType::kBoolean).ok());
    ASSERT_TRUE(rs_->AppendField("Any", FieldType::kVariant).ok());
    ASSERT_TRUE(rs_->Open().ok());
  }

 public:
  void Add(const std::map<std::string, Variant>& values) {
    ASSERT_TRUE(rs_->AddNew().ok());
    for (const auto& [name, value] : values) ASSERT_TRUE(rs_->SetValue(name, value).ok()) << name;
    ASSERT_TRUE(rs_->Update().ok());
  }

  // The SMTP texts of the visible records, in cursor order ("<null>" for Null).
  std::vector<std::string> Visible() {
    std::vector<std::string> out;
    if (!rs_->MoveFirst().ok()) return out;
    while (!rs_->Eof()) {
      Result<Variant> v = rs_->Value("SMTP");
      EXPECT_TRUE(v.ok());
      out.push_back(v->IsNull() ? "<null>" : v->ToText());
      if (!rs_->MoveNext().ok()) break;
    }
    return out;
  }

  Variant Get(const std::string& field) {
    Result<Variant> v = rs_->Value(field);
    EXPECT_TRUE(v.ok()) << field << ": " << v.status().description();
    return v.ok() ? *v : Variant();
  }

  std::unique_ptr<Recordset> rs_;
};

using Implementations = ::testing::Types<IndexedFactory, ReferenceFactory>;
TYPED_TEST_SUITE(RecordsetContract, Implementations);

TYPED_TEST(RecordsetContract, LifecycleAndFieldsByPosition) {
  Recordset& rs = *this->rs_;
  EXPECT_EQ(rs.State(), kStateOpen);
  EXPECT_TRUE(rs.Eof());
  EXPECT_EQ(*rs.RecordCount(), 0);
  EXPECT_EQ(rs.Open().number(), err::kAdoObjectOpen);
  EXPECT_EQ(rs.AppendField("Late", FieldType::kText).number(), err::kAdoObjectOpen);

  ASSERT_EQ(rs.FieldCount(), 9);
  EXPECT_EQ(*rs.FieldName(0), "SMTP");
  EXPECT_EQ(*rs.FieldName(4), "QAV Business Phone");
  EXPECT_EQ(*rs.FieldTypeOf(5), FieldType::kInteger);
  EXPECT_EQ(*rs.FieldTypeOf(6), FieldType::kDate);
  EXPECT_EQ(*rs.FieldTypeOf(7), FieldType::kBoolean);
  EXPECT_EQ(*rs.FieldTypeOf(8), FieldType::kVariant);
  EXPECT_EQ(rs.FieldName(9).status().number(), err::kAdoItemNotFound);
  EXPECT_EQ(rs.FieldName(-1).status().number(), err::kAdoItemNotFound);
  EXPECT_EQ(rs.FieldTypeOf(9).status().number(), err::kAdoItemNotFound);

  this->Add({{"SMTP", "a@x.com"}});
  this->Add({{"SMTP", "b@x.com"}});
  ASSERT_TRUE(rs.SetFilter("SMTP = 'b@x.com'").ok());  // builds the indexes it needs
  EXPECT_EQ(*rs.RecordCount(), 1);
  ASSERT_TRUE(rs.Close().ok());
  EXPECT_EQ(rs.State(), kStateClosed);
  EXPECT_TRUE(rs.Eof());
  EXPECT_EQ(rs.Close().number(), err::kAdoObjectClosed);
  EXPECT_EQ(rs.Close().description(), "Operation is not allowed when the object is closed.");
  // Every record operation needs an open set.
  EXPECT_EQ(rs.AddNew().number(), err::kAdoObjectClosed);
  EXPECT_EQ(rs.SetValue("SMTP", "x").number(), err::kAdoObjectClosed);
  EXPECT_EQ(rs.SetValue(0, Variant("x")).number(), err::kAdoObjectClosed);
  EXPECT_EQ(rs.Update().number(), err::kAdoObjectClosed);
  EXPECT_EQ(rs.Value("SMTP").status().number(), err::kAdoObjectClosed);
  EXPECT_EQ(rs.Value(0).status().number(), err::kAdoObjectClosed);
  EXPECT_EQ(rs.SetFilter("SMTP = 'a'").number(), err::kAdoObjectClosed);
  EXPECT_EQ(rs.ClearFilter().number(), err::kAdoObjectClosed);
  EXPECT_EQ(rs.MoveFirst().number(), err::kAdoObjectClosed);
  EXPECT_EQ(rs.MoveNext().number(), err::kAdoObjectClosed);
  EXPECT_EQ(rs.RecordCount().status().number(), err::kAdoObjectClosed);
  // The fields stay; reopening gives an empty set that works as before.
  EXPECT_EQ(rs.FieldCount(), 9);
  ASSERT_TRUE(rs.AppendField("Extra", FieldType::kText).ok());
  ASSERT_TRUE(rs.Open().ok());
  EXPECT_EQ(*rs.RecordCount(), 0);
  EXPECT_TRUE(rs.Eof());
  this->Add({{"SMTP", "b@x.com"}, {"Extra", "e"}});
  ASSERT_TRUE(rs.SetFilter("SMTP = 'b@x.com' OR Extra = 'e'").ok());
  EXPECT_EQ(*rs.RecordCount(), 1);
}

TYPED_TEST(RecordsetContract, AppendFieldRejectsDuplicatesAndBadTypes) {
  auto rs = TypeParam::Make();
  ASSERT_TRUE(rs->AppendField("Name", FieldType::kText).ok());
  EXPECT_EQ(rs->AppendField("name", FieldType::kText).number(), err::kAdoInvalidArg);
  EXPECT_EQ(rs->AppendField("", FieldType::kText).number(), err::kAdoInvalidArg);
  EXPECT_EQ(rs->AppendField("Odd", static_cast<FieldType>(5)).number(), err::kAdoInvalidArg);
  EXPECT_EQ(rs->FieldCount(), 1);
}

TYPED_TEST(RecordsetContract, NullEmptyTextAndNeverAssigned) {
  Recordset& rs = *this->rs_;
  this->Add({{"SMTP", "only@x.com"}});
  for (const char* field : {"ODN", "Proxies", "QAV Business Phone", "Count", "When", "DL", "Any"}) {
    EXPECT_TRUE(this->Get(field).IsNull()) << field;
  }
  // "" is a value of its own, distinct from Null; Empty and Null both mean "no value".
  ASSERT_TRUE(rs.SetValue("ODN", "").ok());
  ASSERT_TRUE(rs.SetValue("Proxies", Variant::Empty()).ok());
  ASSERT_TRUE(rs.Update().ok());
  EXPECT_TRUE(this->Get("ODN").IsString());
  EXPECT_EQ(this->Get("ODN").string_value(), "");
  EXPECT_TRUE(this->Get("Proxies").IsNull());
  ASSERT_TRUE(rs.SetValue("SMTP", Variant::Null()).ok());
  ASSERT_TRUE(rs.Update().ok());
  EXPECT_TRUE(this->Get("SMTP").IsNull());

  this->Add({{"SMTP", "second@x.com"}});
  ASSERT_TRUE(rs.SetFilter("ODN = ''").ok());
  EXPECT_EQ(this->Visible(), std::vector<std::string>{"<null>"});
  ASSERT_TRUE(rs.SetFilter("ODN LIKE '*'").ok());
  EXPECT_EQ(*rs.RecordCount(), 1) << "Null never matches, not even '*'";
}

// A dump reads values by reference; they must be the values Value gives, in every state of
// the cursor: a committed record, a pending edit, a new record, and past the end.
TYPED_TEST(RecordsetContract, ValueViewShowsWhatValueGives) {
  Recordset& rs = *this->rs_;
  this->Add({{"SMTP", Variant("a@x.com")}, {"Count", Variant::Long(7)}, {"Any", Variant("text")}});
  auto same_as_value = [&rs](const char* state) {
    for (int32_t i = 0; i < rs.FieldCount(); ++i) {
      Result<Variant> copy = rs.Value(i);
      Result<const Variant*> view = rs.ValueView(i);
      ASSERT_EQ(copy.ok(), view.ok()) << state << " field " << i;
      if (!copy.ok()) {
        EXPECT_EQ(view.status().number(), copy.status().number()) << state;
        continue;
      }
      EXPECT_EQ((*view)->TypeName(), copy->TypeName()) << state << " field " << i;
      EXPECT_EQ((*view)->ToText(), copy->ToText()) << state << " field " << i;
      Result<std::string> name = rs.FieldName(i);
      ASSERT_TRUE(name.ok());
      Result<const Variant*> by_name = rs.ValueView(*name);
      ASSERT_TRUE(by_name.ok()) << *name;
      EXPECT_EQ(*by_name, *view) << state << " " << *name;
    }
  };
  ASSERT_TRUE(rs.MoveFirst().ok());
  same_as_value("committed");
  ASSERT_TRUE(rs.SetValue("SMTP", "b@x.com").ok());
  same_as_value("editing");
  EXPECT_EQ((*rs.ValueView(0))->ToText(), "b@x.com");
  ASSERT_TRUE(rs.AddNew().ok());
  ASSERT_TRUE(rs.SetValue("ODN", "/o=x/cn=y").ok());
  same_as_value("adding");
  ASSERT_TRUE(rs.Update().ok());
  ASSERT_TRUE(rs.MoveNext().ok());
  ASSERT_TRUE(rs.Eof());
  same_as_value("past the end");
  EXPECT_EQ(rs.ValueView(0).status().number(), err::kAdoBof);
  EXPECT_EQ(rs.ValueView(99).status().number(), err::kAdoItemNotFound);
  EXPECT_EQ(rs.ValueView("Nope").status().number(), err::kAdoItemNotFound);

  // By record position: committed values only, whatever the cursor or filter.
  ASSERT_TRUE(rs.SetFilter("SMTP = 'nobody'").ok());
  ASSERT_TRUE(rs.AddNew().ok());
  ASSERT_TRUE(rs.SetValue("SMTP", "pending@x.com").ok());
  EXPECT_EQ((*rs.RecordValueView(0, 0))->ToText(), "b@x.com");
  EXPECT_EQ((*rs.RecordValueView(0, 5))->integer_value(), 7);
  EXPECT_EQ((*rs.RecordValueView(1, 1))->ToText(), "/o=x/cn=y");
  EXPECT_TRUE((*rs.RecordValueView(1, 0))->IsNull());
  EXPECT_EQ(rs.RecordValueView(2, 0).status().number(), err::kAdoBof);
  EXPECT_EQ(rs.RecordValueView(-1, 0).status().number(), err::kAdoBof);
  EXPECT_EQ(rs.RecordValueView(0, 99).status().number(), err::kAdoItemNotFound);
}

TYPED_TEST(RecordsetContract, ValuesConvertToTheFieldType) {
  Recordset& rs = *this->rs_;
  ASSERT_TRUE(rs.AddNew().ok());
  struct Case {
    const char* field;
    Variant in;
    Variant out;
  };
  const std::vector<Case> cases = {
      {"SMTP", Variant::Long(42), Variant("42")},
      {"SMTP", Variant::Boolean(true), Variant("True")},
      {"SMTP", Variant::Double(1.5), Variant("1.5")},
      {"SMTP", Variant::Integer(-7), Variant("-7")},
      {"Count", Variant("17"), Variant::Long(17)},
      {"Count", Variant(" -3 "), Variant::Long(-3)},
      {"Count", Variant::Integer(12), Variant::Long(12)},
      {"Count", Variant::Boolean(true), Variant::Long(-1)},
      {"Count", Variant::Double(2.6), Variant::Long(3)},
      {"When", Variant::Date(45000.25), Variant::Date(45000.25)},
      {"When", Variant::Long(2), Variant::Date(2.0)},
      {"When", Variant("2024-02-29 12:00:00"), Variant::Date(45351.5)},
      {"When", Variant("1899-12-30"), Variant::Date(0.0)},
      {"When", Variant("1899-12-29T12:00"), Variant::Date(-1.5)},
      {"DL", Variant("true"), Variant::Boolean(true)},
      {"DL", Variant::Long(0), Variant::Boolean(false)},
      {"DL", Variant::Integer(5), Variant::Boolean(true)},
      {"Any", Variant::Integer(5), Variant::Integer(5)},
      {"Any", Variant::Bytes({1, 2}), Variant::Bytes({1, 2})},
      {"Any", Variant("text"), Variant("text")},
  };
  for (const Case& c : cases) {
    ASSERT_TRUE(rs.SetValue(c.field, c.in).ok()) << c.field << " " << c.in.ToText();
    Variant got = this->Get(c.field);
    EXPECT_EQ(got, c.out) << c.field << " got " << got.TypeName() << " " << got.ToText();
    // By position, the value taken over, the field stores the same.
    ASSERT_TRUE(rs.SetValue(c.field, Variant::Null()).ok());
    ASSERT_TRUE(rs.SetValue(rs.FieldIndex(c.field), Variant(c.in)).ok()) << c.field;
    EXPECT_EQ(this->Get(c.field), c.out) << c.field << " by position";
  }
  const std::vector<std::pair<const char*, Variant>> mismatches = {
      {"SMTP", Variant::Bytes({1})},    {"Count", Variant("abc")},
      {"Count", Variant::Double(3e10)}, {"Count", Variant::LongLong(int64_t{1} << 40)},
      {"Count", Variant::Bytes({1})},   {"When", Variant("2023-02-29")},
      {"When", Variant("29.02.2024")},  {"When", Variant::Boolean(true)},
      {"DL", Variant("maybe")},         {"DL", Variant::Bytes({1})},
  };
  for (const auto& [field, value] : mismatches) {
    Status s = rs.SetValue(field, value);
    EXPECT_EQ(s.number(), err::kAdoTypeMismatch) << field << " " << value.ToText();
    EXPECT_EQ(rs.SetValue(rs.FieldIndex(field), Variant(value)).number(), err::kAdoTypeMismatch);
  }
  // A refused value leaves the field as it was.
  EXPECT_EQ(this->Get("Count"), Variant::Long(3));
  EXPECT_EQ(rs.SetValue("Nope", "x").number(), err::kAdoItemNotFound);
  EXPECT_EQ(rs.Value("Nope").status().number(), err::kAdoItemNotFound);
  EXPECT_EQ(rs.Value(99).status().number(), err::kAdoItemNotFound);
  EXPECT_EQ(rs.FieldIndex("Nope"), -1);
  EXPECT_EQ(rs.SetValue(-1, Variant("x")).number(), err::kAdoItemNotFound);
  EXPECT_EQ(rs.SetValue(rs.FieldCount(), Variant("x")).number(), err::kAdoItemNotFound);
  // Field names ignore letter case; positions count from 0.
  ASSERT_TRUE(rs.SetValue("smtp", "Mixed@X.com").ok());
  ASSERT_TRUE(rs.Update().ok());
  EXPECT_EQ(rs.Value(0)->string_value(), "Mixed@X.com");
  EXPECT_EQ(rs.Value("qav business phone")->IsNull(), true);
  EXPECT_EQ(rs.FieldIndex("qav business phone"), 4);
}

TYPED_TEST(RecordsetContract, CursorWalksInInsertionOrder) {
  Recordset& rs = *this->rs_;
  EXPECT_EQ(rs.MoveFirst().number(), err::kAdoBof);
  EXPECT_EQ(rs.MoveNext().number(), err::kAdoBof);
  EXPECT_EQ(rs.Value("SMTP").status().number(), err::kAdoBof);
  EXPECT_EQ(rs.SetValue("SMTP", "x").number(), err::kAdoBof);
  EXPECT_EQ(rs.Update().number(), err::kAdoBof);
  for (const char* s : {"e", "d", "c", "b", "a"}) this->Add({{"SMTP", s}});
  EXPECT_EQ(this->Get("SMTP").string_value(), "a") << "the added record stays current";
  EXPECT_EQ(this->Visible(), (std::vector<std::string>{"e", "d", "c", "b", "a"}));
  EXPECT_TRUE(rs.Eof());
  EXPECT_EQ(rs.MoveNext().number(), err::kAdoBof);
  EXPECT_EQ(*rs.RecordCount(), 5);
}

TYPED_TEST(RecordsetContract, PendingChangesAreCommittedByMovesAndFilters) {
  Recordset& rs = *this->rs_;
  // A new record is current before Update, reads Null until set, and AddNew commits it.
  ASSERT_TRUE(rs.AddNew().ok());
  EXPECT_FALSE(rs.Eof());
  EXPECT_TRUE(this->Get("SMTP").IsNull());
  ASSERT_TRUE(rs.SetValue("SMTP", "one").ok());
  EXPECT_EQ(this->Get("SMTP").string_value(), "one");
  ASSERT_TRUE(rs.AddNew().ok());
  ASSERT_TRUE(rs.SetValue("SMTP", "two").ok());
  ASSERT_TRUE(rs.MoveFirst().ok());  // commits "two"
  EXPECT_EQ(*rs.RecordCount(), 2);
  ASSERT_TRUE(rs.AddNew().ok());
  ASSERT_TRUE(rs.SetValue("SMTP", "three").ok());
  ASSERT_TRUE(rs.SetFilter("SMTP = 'three'").ok());  // commits, then filters
  EXPECT_EQ(*rs.RecordCount(), 1);
  ASSERT_TRUE(rs.ClearFilter().ok());

  // Editing in place: the pending value is seen before Update; order and count unchanged.
  ASSERT_TRUE(rs.MoveFirst().ok());
  ASSERT_TRUE(rs.MoveNext().ok());
  ASSERT_TRUE(rs.SetValue("SMTP", "TWO-edited").ok());
  EXPECT_EQ(this->Get("SMTP").string_value(), "TWO-edited");
  ASSERT_TRUE(rs.Update().ok());
  // An edit is also committed by a move without Update.
  ASSERT_TRUE(rs.MoveFirst().ok());
  ASSERT_TRUE(rs.SetValue("ODN", "/o=x/cn=one").ok());
  ASSERT_TRUE(rs.MoveNext().ok());
  EXPECT_EQ(this->Visible(), (std::vector<std::string>{"one", "TWO-edited", "three"}));
  ASSERT_TRUE(rs.SetFilter("ODN = '/O=X/CN=ONE' OR SMTP = 'two-edited'").ok());
  EXPECT_EQ(this->Visible(), (std::vector<std::string>{"one", "TWO-edited"}));
  ASSERT_TRUE(rs.SetFilter("SMTP = 'two'").ok());
  EXPECT_EQ(*rs.RecordCount(), 0) << "the old value is gone from every lookup";
}

TYPED_TEST(RecordsetContract, EditedRecordsStayVisibleUntilTheFilterIsSetAgain) {
  Recordset& rs = *this->rs_;
  for (const char* s : {"a@x", "b@x", "c@x"}) this->Add({{"SMTP", s}});
  ASSERT_TRUE(rs.SetFilter("SMTP = 'b@x' OR SMTP = 'c@x'").ok());
  ASSERT_TRUE(rs.SetValue("SMTP", "z@x").ok());
  ASSERT_TRUE(rs.Update().ok());
  EXPECT_EQ(*rs.RecordCount(), 2);
  EXPECT_EQ(this->Visible(), (std::vector<std::string>{"z@x", "c@x"}));
  // A record added under a filter joins the view and is current.
  this->Add({{"SMTP", "new@x"}});
  EXPECT_EQ(this->Get("SMTP").string_value(), "new@x");
  EXPECT_EQ(*rs.RecordCount(), 3);
  EXPECT_EQ(this->Visible(), (std::vector<std::string>{"z@x", "c@x", "new@x"}));
  ASSERT_TRUE(rs.SetFilter("SMTP = 'b@x' OR SMTP = 'c@x'").ok());
  EXPECT_EQ(this->Visible(), (std::vector<std::string>{"c@x"}));
  ASSERT_TRUE(rs.ClearFilter().ok());
  EXPECT_EQ(this->Visible(), (std::vector<std::string>{"a@x", "z@x", "c@x", "new@x"}));
  ASSERT_TRUE(rs.ClearFilter().ok());
  EXPECT_EQ(this->Get("SMTP").string_value(), "a@x") << "clearing moves to the first record";
}

// A set asked to keep its filters' matches selects what a set that keeps nothing selects:
// every commit (a record added, a record changed) makes a filter select afresh.
TYPED_TEST(RecordsetContract, KeptFilterMatchesFollowEveryCommit) {
  Recordset& rs = *this->rs_;
  KeepFilterMatches(rs);
  const std::string f = "SMTP LIKE 'b@x' OR Proxies Like '*;b@x;*'";
  for (const char* s : {"a@x", "b@x", "c@x"}) this->Add({{"SMTP", s}});
  ASSERT_TRUE(rs.SetFilter(f).ok());
  EXPECT_EQ(this->Visible(), (std::vector<std::string>{"b@x"}));
  ASSERT_TRUE(rs.SetFilter(f).ok());
  EXPECT_EQ(this->Visible(), (std::vector<std::string>{"b@x"}));
  ASSERT_TRUE(rs.ClearFilter().ok());
  this->Add({{"SMTP", "d@x"}, {"Proxies", ";B@x;"}});
  ASSERT_TRUE(rs.SetFilter(f).ok());
  EXPECT_EQ(this->Visible(), (std::vector<std::string>{"b@x", "d@x"}));
  // Changed in place, under the filter itself: the record no longer matches.
  ASSERT_TRUE(rs.SetFilter(f).ok());
  ASSERT_TRUE(rs.SetValue("SMTP", "e@x").ok());
  ASSERT_TRUE(rs.Update().ok());
  ASSERT_TRUE(rs.SetFilter(f).ok());
  EXPECT_EQ(this->Visible(), (std::vector<std::string>{"d@x"}));
  // A text that does not parse is refused every time, with an empty view.
  EXPECT_EQ(rs.SetFilter("SMTP LIKE").number(), err::kAdoInvalidArg);
  EXPECT_EQ(rs.SetFilter("SMTP LIKE").number(), err::kAdoInvalidArg);
  EXPECT_TRUE(rs.Eof());
  ASSERT_TRUE(rs.Close().ok());
  ASSERT_TRUE(rs.Open().ok());
  this->Add({{"SMTP", "b@x"}});
  ASSERT_TRUE(rs.SetFilter(f).ok());
  EXPECT_EQ(*rs.RecordCount(), 1);
}

// Filters announced ahead select what they would have selected unannounced, also when the
// caller commits while the set is still working through them: what was selected before the
// commit is not handed out after it.
TYPED_TEST(RecordsetContract, AnnouncedFiltersFollowCommitsMadeMeanwhile) {
  Recordset& rs = *this->rs_;
  constexpr int kRecords = 300;
  auto address = [](int i) { return "u" + std::to_string(i) + "@x"; };
  auto filter = [&](int i) {
    return "SMTP LIKE '" + address(i) + "' OR Proxies Like '*;" + address(i) + ";*'";
  };
  for (int i = 0; i < kRecords; ++i) this->Add({{"SMTP", address(i)}});
  for (int round = 0; round < 3; ++round) {
    SCOPED_TRACE(round);
    auto renamed = [&](int i) { return "r" + std::to_string(round) + "." + address(i); };
    std::vector<std::string> announced;
    for (int i = 0; i < kRecords; ++i) announced.push_back(filter(i));
    announced.push_back("SMTP LIKE");  // does not parse, ahead or not
    AnticipateFilters(rs, announced);
    for (int i = 0; i < kRecords; ++i) {
      ASSERT_TRUE(rs.SetFilter(filter(i)).ok()) << i;
      // Every seventh record was renamed just before its own filter is set.
      const bool gone = i % 7 == round && i > 0;
      EXPECT_EQ(this->Visible(),
                gone ? std::vector<std::string>{} : std::vector<std::string>{address(i)})
          << i;
      if ((i + 1) % 7 == round && i + 1 < kRecords) {
        ASSERT_TRUE(rs.SetFilter(filter(i + 1)).ok());
        ASSERT_TRUE(rs.SetValue("SMTP", renamed(i + 1)).ok());
        ASSERT_TRUE(rs.Update().ok());
      }
    }
    EXPECT_EQ(rs.SetFilter("SMTP LIKE").number(), err::kAdoInvalidArg);
    // Back as they were, for the next round.
    for (int i = round > 0 ? round : 7; i < kRecords; i += 7) {
      ASSERT_TRUE(rs.SetFilter("SMTP LIKE '" + renamed(i) + "'").ok());
      ASSERT_FALSE(rs.Eof()) << i;
      ASSERT_TRUE(rs.SetValue("SMTP", address(i)).ok());
      ASSERT_TRUE(rs.Update().ok());
    }
  }
}

// Records that exercise every rule of the filter grammar; expected results name them by
// their SMTP text in insertion order.
class FilterTable {
 public:
  template <typename Fixture>
  static void Fill(Fixture& f) {
    f.Add({{"SMTP", "alice@x.com"},
           {"ODN", "/o=org/cn=alice"},
           {"Proxies", ";alice@x.com;al@y.com;"},
           {"X500Proxies", ";/o=old/cn=alice;"}});
    f.Add({{"SMTP", "Bob@X.com"},
           {"ODN", "/o=org/cn=bob"},
           {"Proxies", ";bob@x.com;"},
           {"QAV Business Phone", "+1 555"}});
    f.Add({{"SMTP", "a*b@x.com"}, {"Proxies", "x;a*b@x.com;y"}});
    f.Add({{"SMTP", "o'neil@x.com"}, {"ODN", "/o=org/cn=o'neil"}});
    f.Add({{"SMTP", "ÄBC@x.com"}, {"ODN", "straße"}});
    f.Add({{"SMTP", ""}});
    f.Add(
        {{"ODN", "/o=org/cn=nobody"}, {"Count", Variant::Long(7)}, {"DL", Variant::Boolean(true)}});
    f.Add({{"SMTP", "axb@x.com"}});
  }
};

struct FilterCase {
  const char* filter;
  std::vector<std::string> expected;
};

TYPED_TEST(RecordsetContract, FilterGrammarTable) {
  FilterTable::Fill(*this);
  using V = std::vector<std::string>;
  const std::vector<FilterCase> cases = {
      {"SMTP = 'alice@x.com'", V{"alice@x.com"}},
      {"[SMTP] LIKE 'ALICE@X.COM'", V{"alice@x.com"}},
      {"smtp like 'bob@x.com'", V{"Bob@X.com"}},
      {"  SMTP   =   'alice@x.com'  ", V{"alice@x.com"}},
      {"SMTP='alice@x.com'OR SMTP='bob@x.com'", V{"alice@x.com", "Bob@X.com"}},
      // Results come in insertion order, not in the order of the clauses.
      {"SMTP = 'axb@x.com' OR SMTP = 'alice@x.com'", V{"alice@x.com", "axb@x.com"}},
      // A "*" inside the value is an ordinary character.
      {"SMTP Like 'a*b@x.com'", V{"a*b@x.com"}},
      {"SMTP = 'a*'", V{}},
      {"SMTP LIKE 'a*'", V{"alice@x.com", "a*b@x.com", "axb@x.com"}},
      {"SMTP LIKE '*@x.com'",
       V{"alice@x.com", "Bob@X.com", "a*b@x.com", "o'neil@x.com", "ÄBC@x.com", "axb@x.com"}},
      {"SMTP LIKE '%B@X.COM'", V{"Bob@X.com", "a*b@x.com", "axb@x.com"}},
      {"SMTP LIKE '*b@x.c*'", V{"Bob@X.com", "a*b@x.com", "axb@x.com"}},
      {"SMTP LIKE '**'",
       V{"alice@x.com", "Bob@X.com", "a*b@x.com", "o'neil@x.com", "ÄBC@x.com", "", "axb@x.com"}},
      {"[Proxies] Like '*;al@y.com;*'", V{"alice@x.com"}},
      {"[Proxies] Like '*;AL@Y.COM;*' OR [Proxies] Like '*;bob@x.com;*'",
       V{"alice@x.com", "Bob@X.com"}},
      // The list need not be wrapped in ";": the pattern asks for ";a*b@x.com;" anywhere.
      {"Proxies Like '*;a*b@x.com;*'", V{"a*b@x.com"}},
      {"Proxies Like '*;x;*'", V{}},
      {"Proxies Like '*;*'", V{"alice@x.com", "Bob@X.com", "a*b@x.com"}},
      {"Proxies Like '*;alice@x.com;al@y.com;*'", V{"alice@x.com"}},
      {"[Proxies] = ';BOB@x.com;'", V{"Bob@X.com"}},
      {"X500Proxies Like '*;/O=OLD/CN=ALICE;*'", V{"alice@x.com"}},
      // Quotes are doubled inside the value.
      {"ODN LIKE '/o=org/cn=o''neil'", V{"o'neil@x.com"}},
      {"[SMTP] LIKE 'o''neil@x.com' OR [ODN] LIKE 'x'", V{"o'neil@x.com"}},
      {"ODN LIKE '''*' OR ODN LIKE '*o''n''*' OR ODN = ''''", V{}},
      {"ODN LIKE '*''neil' AND SMTP LIKE 'o''*'", V{"o'neil@x.com"}},
      // Letter case is folded the Unicode way, one character to one: the spelling counts.
      {"SMTP = 'äbc@X.COM'", V{"ÄBC@x.com"}},
      {"ODN = 'STRAẞE'", V{"ÄBC@x.com"}},
      {"ODN = 'STRASSE'", V{}},
      // "" matches "" and Null matches nothing.
      {"SMTP = ''", V{""}},
      {"[QAV Business Phone] = '+1 555'", V{"Bob@X.com"}},
      {"[ QAV Business Phone ] LIKE '+1*'", V{"Bob@X.com"}},
      // Other field types compare their text form.
      {"Count = '7'", V{"<null>"}},
      {"DL = 'true'", V{"<null>"}},
      {"SMTP = 'nobody'", V{}},
      {"(SMTP = 'alice@x.com' OR SMTP = 'bob@x.com') AND ODN LIKE '*bob'", V{"Bob@X.com"}},
      {"SMTP LIKE '*x.com' and ODN like '/o=org/*' or SMTP = ''",
       V{"alice@x.com", "Bob@X.com", "o'neil@x.com", ""}},
      {"((SMTP = 'axb@x.com'))", V{"axb@x.com"}},
  };
  for (const FilterCase& c : cases) {
    Status s = this->rs_->SetFilter(c.filter);
    ASSERT_TRUE(s.ok()) << c.filter << ": " << s.description();
    EXPECT_EQ(*this->rs_->RecordCount(), static_cast<int32_t>(c.expected.size())) << c.filter;
    EXPECT_EQ(this->Visible(), c.expected) << c.filter;
  }
}

// In a LIKE value "[c]" is the character c itself, so a value with "*", "%" or "[" in it
// can be looked for literally, by the indexes as well as by a scan.
TYPED_TEST(RecordsetContract, BracketedCharactersInLikeValuesAreLiteral) {
  this->Add({{"SMTP", "partner@x.com"}, {"Proxies", ";partner@x.com;"}});
  this->Add({{"SMTP", "*ner@x.com"}, {"Proxies", ";*ner@x.com;a[1]@x.com;"}});
  this->Add({{"SMTP", "a[1]@x.com"}, {"Proxies", ";a[1]@x.com;"}});
  this->Add({{"SMTP", "a1@x.com"}, {"Proxies", ";a1@x.com;"}});
  this->Add({{"SMTP", "[*]@x.com"}});
  this->Add({{"SMTP", "x[@x.com"}});
  this->Add({{"SMTP", "50%@x.com"}});
  this->Add({{"SMTP", "äbc@x.com"}});
  using V = std::vector<std::string>;
  const std::vector<FilterCase> cases = {
      {"SMTP LIKE '[*]ner@x.com'", V{"*ner@x.com"}},
      {"SMTP LIKE '*ner@x.com'", V{"partner@x.com", "*ner@x.com"}},
      {"SMTP LIKE '*[*]ner@x.com'", V{"*ner@x.com"}},
      {"SMTP LIKE '[*]*'", V{"*ner@x.com"}},
      {"SMTP LIKE '*[*]*'", V{"*ner@x.com", "[*]@x.com"}},
      {"[Proxies] Like '*;[*]ner@x.com;*'", V{"*ner@x.com"}},
      {"[Proxies] Like '*;A[[]1]@X.COM;*'", V{"*ner@x.com", "a[1]@x.com"}},
      {"SMTP LIKE 'a[[]1]@x.com'", V{"a[1]@x.com"}},
      {"SMTP LIKE 'a[1]@x.com'", V{"a1@x.com"}},
      {"SMTP LIKE '[[][*]]@x.com'", V{"[*]@x.com"}},
      {"SMTP LIKE '50[%]@x.com'", V{"50%@x.com"}},
      {"SMTP LIKE '[Ä]BC@x.com'", V{"äbc@x.com"}},
      // A "[" that opens no group of three is itself.
      {"SMTP LIKE 'x[@x.com'", V{"x[@x.com"}},
      {"SMTP LIKE '*x[*'", V{"x[@x.com"}},
      {"SMTP LIKE '[*'", V{"[*]@x.com"}},
      // "=" compares the text as written.
      {"SMTP = '[*]@x.com'", V{"[*]@x.com"}},
      {"SMTP = '[*]ner@x.com'", V{}},
  };
  for (const FilterCase& c : cases) {
    Status s = this->rs_->SetFilter(c.filter);
    ASSERT_TRUE(s.ok()) << c.filter << ": " << s.description();
    EXPECT_EQ(this->Visible(), c.expected) << c.filter;
  }
}

TYPED_TEST(RecordsetContract, MalformedFiltersAreRejectedWithAnEmptyView) {
  FilterTable::Fill(*this);
  const std::vector<std::pair<std::string, std::string>> rejects = {
      {"", "empty filter text at position 1"},
      {"   ", "empty filter text at position 1"},
      {"SMTP = 'abc", "unterminated quoted value at position 8"},
      {"SMTP = 'it''s", "unterminated quoted value at position 8"},
      {"Nope = 'a'", "unknown field 'Nope' at position 1"},
      {"QAV Business Phone = '1'", "unknown field 'QAV' at position 1"},
      {"SMTP = 'ä' OR Nope = 'a'", "unknown field 'Nope' at position 15"},
      {"SMTP 'a'", "expected = or LIKE after field 'SMTP', found quoted value 'a' at position 6"},
      {"SMTP", "expected = or LIKE after field 'SMTP', found end of text at position 5"},
      {"SMTP LIKE", "expected a quoted value, found end of text at position 10"},
      {"SMTP LIKE a", "expected a quoted value, found 'a' at position 11"},
      {"SMTP = \"a\"",
       "double quotes are not allowed, values are written in single quotes "
       "at position 8"},
      {"SMTP = 'a' OR", "expected a field name, found end of text at position 14"},
      {"SMTP = 'a' OR OR ODN = 'b'", "expected a field name, found 'OR' at position 15"},
      {"OR SMTP = 'a'", "expected a field name, found 'OR' at position 1"},
      {"SMTP = 'a' ODN = 'b'", "expected OR or AND before 'ODN' at position 12"},
      {"SMTP = 'a' 'b'", "expected OR or AND before quoted value 'b' at position 12"},
      {"[SMTP = 'a'", "unterminated bracketed field name at position 1"},
      {"[] = 'a'", "empty field name at position 1"},
      {"SMTP] = 'a'", "unexpected ']' at position 5"},
      {"SMTP <> 'a'", "unsupported operator '<>' at position 6"},
      {"SMTP >= 'a'", "unsupported operator '>=' at position 6"},
      {"(SMTP = 'a'", "missing ')' for '(' at position 1, found end of text at position 12"},
      {"SMTP = 'a')", "unexpected ')' at position 11"},
      {"()", "expected a field name, found ')' at position 2"},
      {"= 'a'", "expected a field name, found '=' at position 1"},
  };
  for (const auto& [filter, fault] : rejects) {
    ASSERT_TRUE(this->rs_->SetFilter("SMTP LIKE '*'").ok());
    ASSERT_GT(*this->rs_->RecordCount(), 0);
    Status s = this->rs_->SetFilter(filter);
    EXPECT_EQ(s.number(), err::kAdoInvalidArg) << filter;
    EXPECT_EQ(s.description(), "Invalid filter: " + fault) << filter;
    EXPECT_TRUE(this->rs_->Eof()) << filter;
    EXPECT_EQ(*this->rs_->RecordCount(), 0) << filter;
    EXPECT_EQ(this->rs_->Value("SMTP").status().number(), err::kAdoBof) << filter;
  }
  // Hostile nesting is refused, not a stack overflow.
  Status deep = this->rs_->SetFilter(std::string(100000, '(') + "SMTP = 'a'");
  EXPECT_EQ(deep.number(), err::kAdoInvalidArg);
  EXPECT_EQ(deep.description(), "Invalid filter: parentheses nested too deeply at position 65");
  // The set recovers with the next valid filter.
  ASSERT_TRUE(this->rs_->ClearFilter().ok());
  EXPECT_EQ(*this->rs_->RecordCount(), 8);
}

}  // namespace
}  // namespace testqav
