// Randomised comparison of the indexed record set with the reference scan: the same records,
// edits and filters must give the same visible records in the same order.
#include <gtest/gtest.h>

#include <memory>
#include <random>
#include <string>
#include <vector>

#include "platform/common/text.h"
#include "platform/common/variant.h"
#include "platform/recordset/recordset.h"

namespace testqav {
namespace {

// Small pieces so that values collide often: letter case, non-ASCII letters whose folding
// differs from lower casing (ß -> ss), the list separator, quotes and wildcard characters.
const std::vector<std::string> kPieces = {"a", "A", "b", "B", "ä", "Ä", "ß", "ss", "S",
                                          ";", "'", "*", "%", "x", "@", ".", " "};
const std::vector<std::string> kElements = {"a",   "A", "ab", "aB", "ä", "Ä", "x'y",
                                            "a*b", "ß", "SS", "",   "b", "ss"};
const std::vector<std::string> kTextFields = {"A", "B", "List", "Two Words"};

class Model {
 public:
  explicit Model(uint32_t seed) : rng_(seed) {}

  int Pick(int n) { return std::uniform_int_distribution<int>(0, n - 1)(rng_); }
  bool Chance(int percent) { return Pick(100) < percent; }

  std::string RandomText() {
    std::string s;
    int n = Pick(6);
    for (int i = 0; i < n; ++i) s += kPieces[static_cast<size_t>(Pick(int(kPieces.size())))];
    return s;
  }

  std::string RandomElement() {
    return kElements[static_cast<size_t>(Pick(int(kElements.size())))];
  }

  std::string RandomList() {
    std::string s;
    int n = 1 + Pick(4);
    for (int i = 0; i < n; ++i) s += ";" + RandomElement();
    s += ";";
    if (Chance(20)) s = s.substr(1);  // not wrapped at the start
    if (Chance(20) && !s.empty()) s.pop_back();
    return s;
  }

  // A text value; nullopt leaves the field Null.
  std::optional<std::string> RandomValue() {
    if (Chance(15)) return std::nullopt;
    if (Chance(10)) return std::string();
    if (Chance(45)) return RandomList();
    return RandomText();
  }

  // Something to search for: mostly taken from stored values so that filters do match.
  std::string Needle() {
    if (!seen_.empty() && Chance(70)) {
      std::string s = seen_[static_cast<size_t>(Pick(int(seen_.size())))];
      if (Chance(30)) s = UpperCase(s);
      return s;
    }
    return Chance(50) ? RandomElement() : RandomText();
  }

  void Remember(const std::string& value) {
    seen_.push_back(value);
    for (const std::string& e : Split(value, ";")) seen_.push_back(e);
  }

  static std::string Quote(const std::string& s) { return "'" + ReplaceAll(s, "'", "''") + "'"; }

  std::string FieldRef() {
    const std::string& f = kTextFields[static_cast<size_t>(Pick(int(kTextFields.size())))];
    std::string name = Chance(30) ? LowerCase(f) : f;
    if (f.find(' ') != std::string::npos || Chance(50)) return "[" + name + "]";
    return name;
  }

  std::string Clause() {
    if (Chance(5)) return "N = '" + std::to_string(Pick(5)) + "'";
    std::string like = std::vector<std::string>{"LIKE", "Like", "like"}[size_t(Pick(3))];
    std::string field = FieldRef();
    switch (Pick(8)) {
      case 0:
        return field + " = " + Quote(Needle());
      case 1:
        return field + " " + like + " " + Quote(Needle());
      case 2:
      case 3:
        return field + " " + like + " " + Quote("*;" + Needle() + ";*");
      case 4:
        return field + " " + like + " " + Quote(Needle() + "*");
      case 5:
        return field + " " + like + " " + Quote("*" + Needle());
      case 6:
        return field + " " + like + " " + Quote("%" + Needle() + "%");
      default:
        return field + " " + like + " " + Quote("*" + Needle() + "*");
    }
  }

  std::string Filter() {
    std::string f = Clause();
    int n = Pick(5);
    for (int i = 0; i < n; ++i) {
      f += std::vector<std::string>{" OR ", " or ", " Or "}[size_t(Pick(3))] + Clause();
    }
    if (Chance(10)) f = "(" + f + ") AND " + Clause();
    return f;
  }

 private:
  std::mt19937 rng_;
  std::vector<std::string> seen_;
};

void Define(Recordset& rs) {
  ASSERT_TRUE(rs.AppendField("Id", FieldType::kInteger).ok());
  for (const std::string& f : kTextFields) ASSERT_TRUE(rs.AppendField(f, FieldType::kText).ok());
  ASSERT_TRUE(rs.AppendField("N", FieldType::kInteger).ok());
  ASSERT_TRUE(rs.Open().ok());
}

// The Ids of the visible records, walking from the first; the walk leaves the set at EOF.
std::vector<int64_t> Walk(Recordset& rs) {
  std::vector<int64_t> ids;
  if (!rs.MoveFirst().ok()) return ids;
  while (!rs.Eof()) {
    ids.push_back(rs.Value("Id")->integer_value());
    if (!rs.MoveNext().ok()) break;
  }
  return ids;
}

TEST(RecordsetProperty, IndexedAgreesWithReferenceScan) {
  int filters = 0;
  int filters_with_matches = 0;
  int edits_under_filter = 0;
  for (uint32_t seed = 1; seed <= 25; ++seed) {
    Model m(seed);
    auto fast = CreateRecordset();
    auto slow = CreateReferenceRecordset();
    Define(*fast);
    Define(*slow);
    Recordset* both[] = {fast.get(), slow.get()};
    int next_id = 0;
    for (int step = 0; step < 600; ++step) {
      int op = m.Pick(10);
      if (op < 4 || next_id < 5) {
        // Add a record; a third of the time the commit is left to the next operation.
        std::vector<std::pair<std::string, std::optional<std::string>>> values;
        for (const std::string& f : kTextFields) values.emplace_back(f, m.RandomValue());
        int32_t n = m.Pick(5);
        bool update = m.Chance(66);
        for (Recordset* rs : both) {
          ASSERT_TRUE(rs->AddNew().ok());
          ASSERT_TRUE(rs->SetValue("Id", Variant::Long(next_id)).ok());
          ASSERT_TRUE(rs->SetValue("N", Variant::Long(n)).ok());
          for (const auto& [f, v] : values) {
            if (v) {
              ASSERT_TRUE(rs->SetValue(f, *v).ok());
            }
          }
          if (update) {
            ASSERT_TRUE(rs->Update().ok());
          }
        }
        for (const auto& [f, v] : values) {
          if (v) m.Remember(*v);
        }
        ++next_id;
      } else if (op < 7) {
        std::string filter = m.Filter();
        Status a = fast->SetFilter(filter);
        Status b = slow->SetFilter(filter);
        ASSERT_TRUE(a.ok()) << filter << ": " << a.description();
        ASSERT_TRUE(b.ok()) << filter << ": " << b.description();
        ASSERT_EQ(*fast->RecordCount(), *slow->RecordCount()) << filter;
        std::vector<int64_t> ids = Walk(*fast);
        ASSERT_EQ(ids, Walk(*slow)) << "seed " << seed << " step " << step << ": " << filter;
        ++filters;
        if (!ids.empty()) ++filters_with_matches;
      } else if (op < 9) {
        // Edit a visible record (of the current view, filtered or not) in place.
        // MoveFirst commits a record still pending from an earlier step.
        for (Recordset* rs : both) rs->MoveFirst().IgnoreError();
        int32_t count = *fast->RecordCount();
        if (count == 0) continue;
        int target = m.Pick(count);
        std::string field = kTextFields[size_t(m.Pick(int(kTextFields.size())))];
        std::optional<std::string> value = m.RandomValue();
        bool update = m.Chance(50);
        for (Recordset* rs : both) {
          ASSERT_TRUE(rs->MoveFirst().ok());
          for (int i = 0; i < target; ++i) ASSERT_TRUE(rs->MoveNext().ok());
          ASSERT_TRUE(rs->SetValue(field, value ? Variant(*value) : Variant::Null()).ok());
          if (update) {
            ASSERT_TRUE(rs->Update().ok());
          }
        }
        if (value) m.Remember(*value);
        ++edits_under_filter;
        // The view is kept as it was: the edited record stays in it.
        ASSERT_EQ(*fast->RecordCount(), count);
        ASSERT_EQ(Walk(*fast), Walk(*slow)) << "seed " << seed << " step " << step;
      } else {
        ASSERT_TRUE(fast->ClearFilter().ok());
        ASSERT_TRUE(slow->ClearFilter().ok());
        ASSERT_EQ(*fast->RecordCount(), next_id);
        ASSERT_EQ(Walk(*fast), Walk(*slow));
      }
    }
  }
  // The comparison means something only when many filters match some records.
  EXPECT_GT(filters, 3000);
  EXPECT_GT(filters_with_matches, filters / 2);
  EXPECT_GT(edits_under_filter, 1000);
}

}  // namespace
}  // namespace testqav
