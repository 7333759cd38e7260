// The reference record set: every filter is evaluated against every record. It is the
// yardstick that the indexed record set is tested against, so it stays as plain as it can.
#include <memory>
#include <vector>

#include "platform/recordset/recordset_base.h"

namespace testqav {

namespace {

using recordset_internal::FilterNode;
using recordset_internal::Record;

bool Evaluate(const FilterNode& node, const Record& record) {
  switch (node.kind) {
    case FilterNode::Kind::kCompare:
      return recordset_internal::MatchesValue(node.compare, record.Get(node.compare.field));
    case FilterNode::Kind::kOr:
      for (const FilterNode& child : node.children) {
        if (Evaluate(child, record)) return true;
      }
      return false;
    case FilterNode::Kind::kAnd:
      for (const FilterNode& child : node.children) {
        if (!Evaluate(child, record)) return false;
      }
      return true;
  }
  return false;
}

class ReferenceRecordset final : public recordset_internal::RecordsetBase {
 protected:
  std::vector<uint32_t> SelectMatches(const FilterNode& root) override {
    std::vector<uint32_t> matches;
    const auto& all = records();
    for (size_t i = 0; i < all.size(); ++i) {
      if (Evaluate(root, all[i])) matches.push_back(static_cast<uint32_t>(i));
    }
    return matches;
  }
  void OnCommitted(uint32_t, const Record*, const Record&) override {}
  void OnCleared() override {}
};

}  // namespace

std::unique_ptr<Recordset> CreateReferenceRecordset() {
  return std::make_unique<ReferenceRecordset>();
}

}  // namespace testqav
