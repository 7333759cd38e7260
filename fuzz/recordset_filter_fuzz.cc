// Feeds arbitrary bytes to the record-set filter parser over three known fields: it must
// neither crash nor give an error without a description, and a filter it accepts names
// only fields the resolver knows.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <string_view>

#include "platform/common/text.h"
#include "platform/recordset/filter.h"

namespace {

bool KnownFieldsOnly(const testqav::recordset_internal::FilterNode& node) {
  if (node.kind == testqav::recordset_internal::FilterNode::Kind::kCompare) {
    return node.compare.field >= 0 && node.compare.field < 3;
  }
  if (node.children.size() < 2) return false;
  for (const testqav::recordset_internal::FilterNode& child : node.children) {
    if (!KnownFieldsOnly(child)) return false;
  }
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view text(reinterpret_cast<const char*>(data), size);
  auto resolve = [](std::string_view name) -> std::optional<int32_t> {
    if (testqav::EqualsIgnoreCase(name, "UserID")) return 0;
    if (testqav::EqualsIgnoreCase(name, "SMTPAddress")) return 1;
    if (testqav::EqualsIgnoreCase(name, "Pin")) return 2;
    return std::nullopt;
  };
  testqav::Result<testqav::recordset_internal::FilterNode> tree =
      testqav::recordset_internal::ParseFilter(text, resolve);
  if (!tree.ok()) {
    if (tree.status().description().empty()) std::abort();
    return 0;
  }
  if (!KnownFieldsOnly(*tree)) std::abort();
  return 0;
}
