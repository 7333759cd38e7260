// The behaviour that both record-set implementations share: fields, records in insertion
// order, the edit buffer of AddNew/SetValue/Update, the cursor and the filtered view. The
// implementations differ only in how a filter finds its records (SelectMatches) and in what
// they keep up to date when a record is committed.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "platform/common/text.h"
#include "platform/recordset/filter.h"
#include "platform/recordset/record.h"
#include "platform/recordset/recordset.h"

namespace testqav::recordset_internal {

class RecordsetBase : public Recordset {
 public:
  Status AppendField(std::string_view name, FieldType type, int32_t defined_size,
                     int32_t attributes) override;
  Status Open() override;
  Status Close() override;
  int32_t State() const override;

  Status AddNew() override;
  Status SetValue(std::string_view field, const Variant& value) override;
  Status SetValue(int32_t index, Variant value) override;
  Status Update() override;
  Result<Variant> Value(std::string_view field) const override;
  Result<Variant> Value(int32_t index) const override;
  Result<const Variant*> ValueView(int32_t index) const override;
  Result<const Variant*> ValueView(std::string_view field) const override;
  Result<const Variant*> RecordValueView(int32_t record, int32_t field) const override;

  Status SetFilter(std::string_view filter) override;
  Status ClearFilter() override;

  Status MoveFirst() override;
  Status MoveNext() override;
  bool Eof() const override;
  Result<int32_t> RecordCount() const override;

  int32_t FieldCount() const override;
  int32_t FieldIndex(std::string_view name) const override;
  Result<std::string> FieldName(int32_t index) const override;
  Result<FieldType> FieldTypeOf(int32_t index) const override;

 protected:
  // Positions (in insertion order, ascending, no duplicates) of the committed records that
  // match a parsed filter.
  virtual std::vector<uint32_t> SelectMatches(const FilterNode& root) = 0;
  // A record was committed: appended (before == nullptr, id is the last position) or
  // changed in place (before holds the previous values).
  virtual void OnCommitted(uint32_t id, const Record* before, const Record& after) = 0;
  // Every record was dropped (Close): the subclass drops what it keeps for them.
  virtual void OnCleared() = 0;
  // What the filter text selects, into `matches`, if the subclass kept it (nothing was
  // committed since); false to parse and select.
  virtual bool KnownMatches(std::string_view /*filter*/, std::vector<uint32_t>& /*matches*/) {
    return false;
  }
  // A filter text that parsed selected `matches`.
  virtual void OnSelected(std::string_view /*filter*/, const std::vector<uint32_t>& /*matches*/) {}
  // The records are about to change (a commit, Close): called before the first change.
  virtual void BeforeRecordsChange() {}

  // Parses a filter text against this set's fields.
  Result<FilterNode> Parse(std::string_view filter) const;

  const std::vector<FieldDef>& fields() const { return fields_; }
  const std::vector<Record>& records() const { return records_; }

 private:
  enum class EditMode { kNone, kEdit, kAdd };

  std::optional<int32_t> FindField(std::string_view name) const;
  // Position of the current committed record, or nullopt at end-of-file.
  std::optional<uint32_t> CurrentId() const;
  size_t ViewSize() const;
  // Commits a pending edit or new record; nothing pending is success.
  void Commit();
  Status CheckOpen() const;
  Result<Variant> ValueAt(int32_t field) const;
  Result<const Variant*> ValueViewAt(int32_t field) const;
  Status SetValueAt(int32_t field, Variant value);

  std::vector<FieldDef> fields_;
  TextMap<int32_t> field_by_name_;  // folded name -> position
  // Name as defined -> position: callers nearly always spell a field as it was defined,
  // and this finds it without folding.
  TextMap<int32_t> field_by_spelling_;
  std::vector<Record> records_;
  bool open_ = false;

  // The visible records: all of them, or the positions that a filter selected when it was
  // set (later edits do not re-evaluate it, so an edited record stays visible).
  bool filtered_ = false;
  std::vector<uint32_t> view_;
  size_t pos_ = 0;  // index into the view; == view size at end-of-file

  EditMode mode_ = EditMode::kNone;
  Record buffer_;  // the pending values of the edited or new record
  // Fields of the last record added, and fields that the last edit added: a set is filled
  // and supplemented record after record in the same way, so the buffer is given that room
  // at once instead of growing (and being compacted) field by field.
  size_t added_record_cells_ = 0;
  size_t edit_added_cells_ = 0;
};

}  // namespace testqav::recordset_internal
