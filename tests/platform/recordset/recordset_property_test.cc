// Randomised comparison of the indexed record set with the reference scan: the same records,
// edits and filters must give the same visible records in the same order.
#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "platform/common/text.h"
#include "platform/common/variant.h"
#include "platform/recordset/filter.h"
#include "platform/recordset/recordset.h"

namespace testqav {
namespace {

// Small pieces so that values collide often: letter case, non-ASCII letters (ß, which is
// not "ss"; the Kelvin sign, which folds to "k"), the list separator, quotes, wildcard
// characters, brackets and the characters of the stored encoding.
const std::vector<std::string> kPieces = {"a", "A", "b", "B", "ä", "Ä",     "ß", "ss",
                                          "S", ";", "'", "*", "%", "x",     "@", ".",
                                          " ", "[", "]", "#", "k", "\u212A"};
const std::vector<std::string> kElements = {"a",   "A",   "ab",  "aB",  "ä",   "Ä",
                                            "x'y", "a*b", "ß",   "SS",  "",    "b",
                                            "ss",  "*a",  "[*]", "a[b", "#25", "\u212A"};
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

  // `s` for a LIKE pattern with none of its characters a wildcard, as the engine writes
  // values into its patterns.
  static std::string Literal(const std::string& s) {
    std::string out;
    for (char c : s) {
      if (c == '*' || c == '%' || c == '[') {
        out += std::string("[") + c + "]";
      } else {
        out += c;
      }
    }
    return out;
  }

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
    switch (Pick(10)) {
      case 0:
        return field + " = " + Quote(Needle());
      case 1:
        return field + " " + like + " " + Quote(Needle());
      case 8:
        return field + " " + like + " " + Quote(Literal(Needle()));
      case 9:
        return field + " " + like + " " + Quote("*;" + Literal(Needle()) + ";*");
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
  int literal_filters_with_matches = 0;
  for (uint32_t seed = 1; seed <= 25; ++seed) {
    Model m(seed);
    auto fast = CreateRecordset();
    auto slow = CreateReferenceRecordset();
    Define(*fast);
    Define(*slow);
    Recordset* both[] = {fast.get(), slow.get()};
    int next_id = 0;
    // The text fields of every record by Id, as the test set them.
    std::vector<std::map<std::string, std::optional<std::string>>> rows;
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
        rows.emplace_back(values.begin(), values.end());
        ++next_id;
      } else if (op < 7 && m.Chance(25)) {
        // A stored value (or an element of one), written literally, finds exactly the
        // records that hold it, whatever wildcard characters and brackets it contains.
        const std::string field = kTextFields[size_t(m.Pick(int(kTextFields.size())))];
        const std::string needle = m.Needle();
        const bool element = needle.find(';') == std::string::npos && m.Chance(50);
        const std::string filter =
            "[" + field + "] LIKE " +
            Model::Quote(element ? "*;" + Model::Literal(needle) + ";*" : Model::Literal(needle));
        std::vector<int64_t> expected;
        for (size_t id = 0; id < rows.size(); ++id) {
          const std::optional<std::string>& v = rows[id][field];
          if (v && (element ? ContainsIgnoreCase(*v, ";" + needle + ";")
                            : EqualsIgnoreCase(*v, needle))) {
            expected.push_back(static_cast<int64_t>(id));
          }
        }
        for (Recordset* rs : both) {
          ASSERT_TRUE(rs->SetFilter(filter).ok()) << filter;
          ASSERT_EQ(Walk(*rs), expected) << "seed " << seed << " step " << step << ": " << filter;
        }
        ++filters;
        if (!expected.empty()) {
          ++filters_with_matches;
          ++literal_filters_with_matches;
        }
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
        rows[size_t(Walk(*fast)[size_t(target)])][field] = value;
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
  EXPECT_GT(literal_filters_with_matches, 500);
}

// Values are compared without a folded copy when they are ASCII: every kind of comparison
// must still answer as the folded text does, whatever the letter case on either side.
TEST(RecordsetProperty, MatchingAValueAgreesWithMatchingItsFoldedText) {
  using recordset_internal::Comparison;
  using recordset_internal::MatchKind;
  Model model(7);
  int ascii_values = 0;
  for (int i = 0; i < 20000; ++i) {
    std::string text = model.Chance(50) ? model.RandomList() : model.RandomText();
    if (model.Chance(30)) text = UpperCase(text);
    if (IsAscii(text)) ++ascii_values;
    model.Remember(text);
    Comparison c;
    c.kind = static_cast<MatchKind>(model.Pick(4));
    std::string core = model.Needle();
    if (model.Chance(50) && core.size() > 1) core = core.substr(1, core.size() / 2);
    c.folded_core = FoldCase(core);
    const Variant value(text);
    EXPECT_EQ(recordset_internal::MatchesValue(c, &value),
              recordset_internal::MatchesFolded(c, FoldCase(text)))
        << "text '" << text << "' core '" << c.folded_core << "' kind " << static_cast<int>(c.kind);
  }
  EXPECT_GT(ascii_values, 2000);
}

}  // namespace
}  // namespace testqav
