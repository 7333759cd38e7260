// Internal storage shared by the record-set implementations: field definitions and records.
#pragma once

#include <algorithm>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "platform/common/variant.h"
#include "platform/recordset/recordset.h"

namespace testqav::recordset_internal {

struct FieldDef {
  std::string name;
  std::string folded_name;  // for the case-insensitive lookups by name
  FieldType type;
  int32_t defined_size;
  int32_t attributes;
};

// One record. Only assigned fields are stored (a record of the engine's 43-field layout
// usually holds a handful of values), sorted by field position. A field that is absent reads
// as Null; Null is never stored.
class Record {
 public:
  // The stored value, or nullptr for Null.
  const Variant* Get(int32_t field) const {
    auto it = Find(field);
    return it != cells_.end() && it->first == field ? &it->second : nullptr;
  }

  // Gives back the room that growing left over. A set keeps every record for its life; a
  // record that grew one field at a time holds up to twice the room it needs otherwise.
  // (Nothing is moved when the record has exactly the room it needs.)
  void Compact() { cells_.shrink_to_fit(); }

  // Room for `cells` fields in all, so that filling them does not move the record again.
  void Reserve(size_t cells) { cells_.reserve(cells); }
  // This record becomes a copy of `from` with room for `extra` more fields.
  void AssignWithRoom(const Record& from, size_t extra) {
    cells_.clear();
    cells_.reserve(from.cells_.size() + extra);
    cells_.insert(cells_.end(), from.cells_.begin(), from.cells_.end());
  }
  size_t size() const { return cells_.size(); }

  // Stores an already converted value; Null removes the field.
  void Set(int32_t field, Variant value) {
    auto it = Find(field);
    bool present = it != cells_.end() && it->first == field;
    if (value.IsNull()) {
      if (present) cells_.erase(it);
      return;
    }
    if (present) {
      it->second = std::move(value);
    } else {
      cells_.emplace(it, field, std::move(value));
    }
  }

 private:
  using Cells = std::vector<std::pair<int32_t, Variant>>;
  Cells::const_iterator Find(int32_t field) const {
    return std::lower_bound(cells_.begin(), cells_.end(), field,
                            [](const auto& cell, int32_t f) { return cell.first < f; });
  }
  Cells::iterator Find(int32_t field) {
    return std::lower_bound(cells_.begin(), cells_.end(), field,
                            [](const auto& cell, int32_t f) { return cell.first < f; });
  }

  Cells cells_;
};

}  // namespace testqav::recordset_internal
