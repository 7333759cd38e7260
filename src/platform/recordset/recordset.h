// In-memory record sets: typed fields, insertion order, AddNew/Update, a filter grammar,
// a forward cursor. The engine's data sets and the rows of directory commands use them.
//
// Filter grammar: one or more comparisons joined by OR (any letter case); a comparison is
// a field name, bare or in [brackets], then "=" or LIKE (any letter case), then a value in
// single quotes in which a quote is written twice. In a LIKE value a "*" (or "%") at the
// start and/or at the end matches any run of characters; elsewhere it is an ordinary
// character. Text comparisons ignore letter case (Unicode case folding). A comparison
// against a field that holds Null, or a non-text value, compares its text form; Null never
// matches.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/common/status.h"
#include "platform/common/variant.h"

namespace testqav {

enum class FieldType : int32_t {
  kInteger = 3,   // adInteger, 32-bit signed
  kDate = 7,      // adDate
  kText = 8,      // adBSTR, Unicode text of any length
  kBoolean = 11,  // adBoolean
  kVariant = 12,  // adVariant: any value (directory rows, arrays)
};

inline constexpr int32_t kStateClosed = 0;
inline constexpr int32_t kStateOpen = 1;

class Recordset {
 public:
  virtual ~Recordset() = default;

  // Appends a field (only while closed). Errors: kAdoObjectOpen when open, kAdoInvalidArg for
  // a duplicate name.
  virtual Status AppendField(std::string_view name, FieldType type, int32_t defined_size = 0,
                             int32_t attributes = -1) = 0;
  // Opens an empty, updatable set positioned at end-of-file. kAdoObjectOpen when open.
  virtual Status Open() = 0;
  // Empties the set and closes it; kAdoObjectClosed when it is not open.
  virtual Status Close() = 0;
  virtual int32_t State() const = 0;

  // Starts a new record (committing a pending edit first); the new record is current and
  // every field reads Null until set. Update() appends it at the end of the set.
  virtual Status AddNew() = 0;
  // Sets a field of the current (or new) record; committed by Update(). Errors:
  // kAdoItemNotFound for an unknown field, kAdoBof without a current record,
  // kAdoTypeMismatch when the value does not convert to the field's type.
  virtual Status SetValue(std::string_view field, const Variant& value) = 0;
  // The same for the field at `index` (kAdoItemNotFound outside 0 .. FieldCount() - 1); the
  // value is taken over rather than copied when it needs no conversion.
  virtual Status SetValue(int32_t index, Variant value) = 0;
  virtual Status Update() = 0;
  // Field value of the current record (Null when never assigned). Errors as SetValue.
  virtual Result<Variant> Value(std::string_view field) const = 0;
  virtual Result<Variant> Value(int32_t index) const = 0;
  // The same value as Value(index), not copied: valid until the record set is next changed
  // or moved. For reading many values in a row (a dump).
  virtual Result<const Variant*> ValueView(int32_t index) const = 0;
  virtual Result<const Variant*> ValueView(std::string_view field) const = 0;
  // The value of the field at `field` in the committed record at `record` (0 .. number of
  // records - 1, in the order they were added), wherever the cursor is and whatever filter
  // is set; valid until the set is next changed. Reads nothing that moving the cursor
  // changes, so another thread may read records this way while the set is only walked.
  virtual Result<const Variant*> RecordValueView(int32_t record, int32_t field) const = 0;

  // Restricts the visible records and moves to the first match. A filter text that does not
  // parse is an error (kAdoInvalidArg, with a description naming the fault) and leaves an
  // empty view, so that no caller reads a failed filter as a match.
  virtual Status SetFilter(std::string_view filter) = 0;
  // Filter = 0: every record visible again; moves to the first record.
  virtual Status ClearFilter() = 0;

  virtual Status MoveFirst() = 0;
  virtual Status MoveNext() = 0;
  virtual bool Eof() const = 0;
  virtual Result<int32_t> RecordCount() const = 0;

  virtual int32_t FieldCount() const = 0;
  // Position of the field named `name` (compared ignoring case), or -1: for a caller that
  // reads or writes the same fields of many records.
  virtual int32_t FieldIndex(std::string_view name) const = 0;
  virtual Result<std::string> FieldName(int32_t index) const = 0;
  virtual Result<FieldType> FieldTypeOf(int32_t index) const = 0;
};

// Optional beside Recordset, found with dynamic_cast (see KeepFilterMatches): a record set
// that is searched again and again with the same filters while its records stay as they are
// (the registered users, matched against every contact that the mandatory contact lists
// reach, most of them several times) may keep the records each filter text selected.
class FilterMemory {
 public:
  virtual ~FilterMemory() = default;
  // From now on the set keeps what each filter text selects, until a record is added or
  // changed or the set is closed; the same text set again selects the same records without
  // being parsed or searched. What a filter selects does not change.
  virtual void KeepFilterMatches() = 0;
  // The caller will soon set the filter texts that `next` gives, one a call and nullopt
  // after the last, about in this order, and commits nothing before it has: the set may
  // select their records on a thread of its own beforehand, and keeps them as
  // KeepFilterMatches does (which this implies). A commit stops that work. `next` is called
  // on that thread, so it reads only what it owns: building the texts there, not in the
  // caller, is part of the work taken off the caller.
  virtual void AnticipateFilters(std::function<std::optional<std::string>()> next) = 0;
};

// Asks `rst` to keep its filters' matches when it can; otherwise does nothing.
inline void KeepFilterMatches(Recordset& rst) {
  if (auto* memory = dynamic_cast<FilterMemory*>(&rst)) memory->KeepFilterMatches();
}

// Announces filter texts to `rst` when it can select them ahead; otherwise does nothing.
inline void AnticipateFilters(Recordset& rst, std::function<std::optional<std::string>()> next) {
  if (auto* memory = dynamic_cast<FilterMemory*>(&rst)) memory->AnticipateFilters(std::move(next));
}
inline void AnticipateFilters(Recordset& rst, std::vector<std::string> filters) {
  AnticipateFilters(rst, [filters = std::move(filters), i = size_t{0}]() mutable {
    return i < filters.size() ? std::optional<std::string>(std::move(filters[i++])) : std::nullopt;
  });
}

// Makes the record sets of a run: the one place that picks the implementation chooses.
using RecordsetFactory = std::function<std::unique_ptr<Recordset>()>;

// The default implementation: indexes equality and ";element;" list patterns so that the
// engine's filters do not scan every record.
std::unique_ptr<Recordset> CreateRecordset();
// The plain reference implementation: every filter scans every record.
std::unique_ptr<Recordset> CreateReferenceRecordset();

}  // namespace testqav
