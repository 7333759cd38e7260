#include "platform/recordset/recordset_base.h"

#include <cmath>
#include <limits>
#include <utility>

#include "platform/common/civil_date.h"
#include "platform/common/error_codes.h"
#include "platform/common/text.h"

namespace testqav::recordset_internal {

namespace {

// The descriptions are the ones the original component gave, so that log lines read as an
// administrator of such a system expects.
Status ClosedError() {
  return Status(err::kAdoObjectClosed, "Operation is not allowed when the object is closed.");
}
Status OpenError() {
  return Status(err::kAdoObjectOpen, "Operation is not allowed when the object is open.");
}
Status NoCurrentRecord() {
  return Status(err::kAdoBof,
                "Either BOF or EOF is True, or the current record has been deleted. Requested "
                "operation requires a current record.");
}
Status ItemNotFound(std::string_view what) {
  return Status(err::kAdoItemNotFound,
                "Item cannot be found in the collection corresponding to the requested name or "
                "ordinal: " +
                    std::string(what));
}

const char* TypeLabel(FieldType type) {
  switch (type) {
    case FieldType::kInteger:
      return "integer";
    case FieldType::kDate:
      return "date";
    case FieldType::kText:
      return "text";
    case FieldType::kBoolean:
      return "Boolean";
    case FieldType::kVariant:
      return "variant";
  }
  return "unknown";
}

bool IsKnownType(FieldType type) {
  switch (type) {
    case FieldType::kInteger:
    case FieldType::kDate:
    case FieldType::kText:
    case FieldType::kBoolean:
    case FieldType::kVariant:
      return true;
  }
  return false;
}

bool ReadNumber(std::string_view s, size_t* i, size_t digits, int64_t* out) {
  if (*i + digits > s.size()) return false;
  int64_t v = 0;
  for (size_t k = 0; k < digits; ++k) {
    char c = s[*i + k];
    if (c < '0' || c > '9') return false;
    v = v * 10 + (c - '0');
  }
  *i += digits;
  *out = v;
  return true;
}

// Dates given as text: the ISO forms "YYYY-MM-DD", optionally followed by " HH:MM[:SS]" or
// "THH:MM[:SS]". Locale-dependent forms are not guessed at.
std::optional<double> ParseIsoDate(std::string_view text) {
  std::string t = Trim(text);
  std::string_view s = t;
  size_t i = 0;
  int64_t y = 0, mo = 0, d = 0, h = 0, mi = 0, se = 0;
  if (!ReadNumber(s, &i, 4, &y) || i >= s.size() || s[i++] != '-' || !ReadNumber(s, &i, 2, &mo) ||
      i >= s.size() || s[i++] != '-' || !ReadNumber(s, &i, 2, &d)) {
    return std::nullopt;
  }
  if (i < s.size()) {
    if (s[i] != ' ' && s[i] != 'T') return std::nullopt;
    ++i;
    if (!ReadNumber(s, &i, 2, &h) || i >= s.size() || s[i++] != ':' || !ReadNumber(s, &i, 2, &mi)) {
      return std::nullopt;
    }
    if (i < s.size()) {
      if (s[i++] != ':' || !ReadNumber(s, &i, 2, &se) || i != s.size()) return std::nullopt;
    }
  }
  static constexpr int kDaysInMonth[] = {31, 29, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  if (mo < 1 || mo > 12 || d < 1 || d > kDaysInMonth[mo - 1] || h > 23 || mi > 59 || se > 59) {
    return std::nullopt;
  }
  bool leap = (y % 4 == 0 && y % 100 != 0) || y % 400 == 0;
  if (mo == 2 && d == 29 && !leap) return std::nullopt;
  // OLE dates count days from 1899-12-30; before that day the time of day still counts
  // forward from the (negative) day number's midnight, hence the sign flip.
  const int64_t days = DaysFromCivil(y, mo, d) - DaysFromCivil(1899, 12, 30);
  const double fraction = static_cast<double>(h * 3600 + mi * 60 + se) / 86400.0;
  const double whole = static_cast<double>(days);
  return days < 0 ? whole - fraction : whole + fraction;
}

// Converts a value to what a field of the given type stores. Null and Empty both become
// Null: a record field has no Empty, and "never assigned" is what Empty says. A value that
// needs no conversion is handed back as it came (moved, when the caller moved it in).
Result<Variant> Convert(const FieldDef& field, Variant value) {
  if (value.IsNull() || value.IsEmpty()) return Variant::Null();
  auto mismatch = [&]() {
    return Status(err::kAdoTypeMismatch,
                  "Application uses a value of the wrong type for the current operation: field '" +
                      field.name + "' (" + TypeLabel(field.type) + ") cannot take a " +
                      value.TypeName() + " value");
  };
  switch (field.type) {
    case FieldType::kVariant:
      return value;
    case FieldType::kText:
      if (value.IsArray()) return mismatch();
      if (value.IsString()) return value;
      return Variant::String(value.ToText());
    case FieldType::kInteger: {
      if (value.IsArray()) return mismatch();
      if ((value.type() == VarType::kDouble || value.type() == VarType::kDate) &&
          !std::isfinite(value.double_value())) {
        return mismatch();
      }
      if ((value.type() == VarType::kDouble || value.type() == VarType::kDate) &&
          std::fabs(value.double_value()) > 4e9) {
        return mismatch();
      }
      bool ok = false;
      int64_t v = value.ToInteger(&ok);
      if (!ok || v < std::numeric_limits<int32_t>::min() ||
          v > std::numeric_limits<int32_t>::max()) {
        return mismatch();
      }
      return Variant::Long(static_cast<int32_t>(v));
    }
    case FieldType::kBoolean: {
      bool ok = false;
      bool v = value.ToBool(&ok);
      if (!ok) return mismatch();
      return Variant::Boolean(v);
    }
    case FieldType::kDate: {
      switch (value.type()) {
        case VarType::kDate:
          return value;
        case VarType::kDouble:
          if (!std::isfinite(value.double_value())) return mismatch();
          return Variant::Date(value.double_value());
        case VarType::kInteger:
        case VarType::kLong:
        case VarType::kLongLong:
        case VarType::kByte:
          return Variant::Date(static_cast<double>(value.integer_value()));
        case VarType::kString:
          if (std::optional<double> d = ParseIsoDate(value.string_value())) {
            return Variant::Date(*d);
          }
          return mismatch();
        default:
          return mismatch();
      }
    }
  }
  return mismatch();
}

}  // namespace

Status RecordsetBase::CheckOpen() const { return open_ ? Status::Ok() : ClosedError(); }

std::optional<int32_t> RecordsetBase::FindField(std::string_view name) const {
  if (auto exact = field_by_spelling_.find(name); exact != field_by_spelling_.end()) {
    return exact->second;
  }
  auto it = field_by_name_.find(FoldCase(name));
  if (it == field_by_name_.end()) return std::nullopt;
  return it->second;
}

size_t RecordsetBase::ViewSize() const { return filtered_ ? view_.size() : records_.size(); }

std::optional<uint32_t> RecordsetBase::CurrentId() const {
  if (pos_ >= ViewSize()) return std::nullopt;
  return filtered_ ? view_[pos_] : static_cast<uint32_t>(pos_);
}

Status RecordsetBase::AppendField(std::string_view name, FieldType type, int32_t defined_size,
                                  int32_t attributes) {
  if (open_) return OpenError();
  if (name.empty()) return Status(err::kAdoInvalidArg, "Field name must not be empty");
  if (!IsKnownType(type)) {
    return Status(err::kAdoInvalidArg, "Unsupported field type " +
                                           std::to_string(static_cast<int32_t>(type)) +
                                           " for field '" + std::string(name) + "'");
  }
  std::string folded = FoldCase(name);
  if (field_by_name_.count(folded) != 0) {
    return Status(err::kAdoInvalidArg, "Field '" + std::string(name) + "' already exists");
  }
  const auto index = static_cast<int32_t>(fields_.size());
  field_by_name_.emplace(folded, index);
  field_by_spelling_.emplace(std::string(name), index);
  fields_.push_back(FieldDef{std::string(name), std::move(folded), type, defined_size, attributes});
  return Status::Ok();
}

Status RecordsetBase::Open() {
  if (open_) return OpenError();
  open_ = true;
  records_.clear();
  filtered_ = false;
  view_.clear();
  pos_ = 0;
  mode_ = EditMode::kNone;
  buffer_ = Record();
  return Status::Ok();
}

Status RecordsetBase::Close() {
  if (!open_) return ClosedError();
  // A pending edit is dropped with the records it would have changed.
  BeforeRecordsChange();
  open_ = false;
  records_ = {};
  filtered_ = false;
  view_ = {};
  pos_ = 0;
  mode_ = EditMode::kNone;
  buffer_ = Record();
  OnCleared();
  return Status::Ok();
}

int32_t RecordsetBase::State() const { return open_ ? kStateOpen : kStateClosed; }

void RecordsetBase::Commit() {
  if (mode_ != EditMode::kNone) BeforeRecordsChange();
  if (mode_ == EditMode::kAdd) {
    const auto id = static_cast<uint32_t>(records_.size());
    added_record_cells_ = buffer_.size();
    buffer_.Compact();
    records_.push_back(std::move(buffer_));
    OnCommitted(id, nullptr, records_.back());
    // The new record joins the current view (filtered or not) and stays current.
    if (filtered_) view_.push_back(id);
    pos_ = ViewSize() - 1;
  } else if (mode_ == EditMode::kEdit) {
    const uint32_t id = *CurrentId();
    Record before = std::move(records_[id]);
    edit_added_cells_ = buffer_.size() > before.size() ? buffer_.size() - before.size() : 0;
    buffer_.Compact();
    records_[id] = std::move(buffer_);
    OnCommitted(id, &before, records_[id]);
  }
  mode_ = EditMode::kNone;
  buffer_ = Record();
}

Status RecordsetBase::AddNew() {
  if (Status s = CheckOpen(); !s.ok()) return s;
  Commit();
  mode_ = EditMode::kAdd;
  buffer_ = Record();
  buffer_.Reserve(added_record_cells_);
  return Status::Ok();
}

Status RecordsetBase::SetValue(std::string_view field, const Variant& value) {
  if (Status s = CheckOpen(); !s.ok()) return s;
  std::optional<int32_t> index = FindField(field);
  if (!index) return ItemNotFound(field);
  return SetValueAt(*index, value);
}

Status RecordsetBase::SetValue(int32_t index, Variant value) {
  if (Status s = CheckOpen(); !s.ok()) return s;
  if (index < 0 || index >= FieldCount()) return ItemNotFound(std::to_string(index));
  return SetValueAt(index, std::move(value));
}

Status RecordsetBase::SetValueAt(int32_t field, Variant value) {
  std::optional<uint32_t> current = CurrentId();
  if (mode_ == EditMode::kNone && !current) return NoCurrentRecord();
  Result<Variant> converted = Convert(fields_[static_cast<size_t>(field)], std::move(value));
  if (!converted.ok()) return converted.status();
  if (mode_ == EditMode::kNone) {
    buffer_.AssignWithRoom(records_[*current], edit_added_cells_);
    mode_ = EditMode::kEdit;
  }
  buffer_.Set(field, std::move(converted).value());
  return Status::Ok();
}

Status RecordsetBase::Update() {
  if (Status s = CheckOpen(); !s.ok()) return s;
  if (mode_ == EditMode::kNone && !CurrentId()) return NoCurrentRecord();
  Commit();
  return Status::Ok();
}

Result<const Variant*> RecordsetBase::ValueViewAt(int32_t field) const {
  static const Variant kNull = Variant::Null();
  const Variant* v = nullptr;
  if (mode_ != EditMode::kNone) {
    v = buffer_.Get(field);
  } else {
    std::optional<uint32_t> current = CurrentId();
    if (!current) return NoCurrentRecord();
    v = records_[*current].Get(field);
  }
  return v != nullptr ? v : &kNull;
}

Result<Variant> RecordsetBase::ValueAt(int32_t field) const {
  Result<const Variant*> v = ValueViewAt(field);
  if (!v.ok()) return v.status();
  return **v;
}

Result<const Variant*> RecordsetBase::ValueView(std::string_view field) const {
  if (Status s = CheckOpen(); !s.ok()) return s;
  std::optional<int32_t> index = FindField(field);
  if (!index) return ItemNotFound(field);
  return ValueViewAt(*index);
}

Result<const Variant*> RecordsetBase::ValueView(int32_t index) const {
  if (Status s = CheckOpen(); !s.ok()) return s;
  if (index < 0 || index >= FieldCount()) return ItemNotFound(std::to_string(index));
  return ValueViewAt(index);
}

Result<const Variant*> RecordsetBase::RecordValueView(int32_t record, int32_t field) const {
  static const Variant kNull = Variant::Null();
  if (Status s = CheckOpen(); !s.ok()) return s;
  if (field < 0 || field >= FieldCount()) return ItemNotFound(std::to_string(field));
  if (record < 0 || static_cast<size_t>(record) >= records_.size()) return NoCurrentRecord();
  const Variant* v = records_[static_cast<size_t>(record)].Get(field);
  return v != nullptr ? v : &kNull;
}

Result<Variant> RecordsetBase::Value(std::string_view field) const {
  if (Status s = CheckOpen(); !s.ok()) return s;
  std::optional<int32_t> index = FindField(field);
  if (!index) return ItemNotFound(field);
  return ValueAt(*index);
}

Result<Variant> RecordsetBase::Value(int32_t index) const {
  if (Status s = CheckOpen(); !s.ok()) return s;
  if (index < 0 || index >= FieldCount()) return ItemNotFound(std::to_string(index));
  return ValueAt(index);
}

Status RecordsetBase::SetFilter(std::string_view filter) {
  if (Status s = CheckOpen(); !s.ok()) return s;
  Commit();
  filtered_ = true;
  view_.clear();
  pos_ = 0;
  if (KnownMatches(filter, view_)) return Status::Ok();
  Result<FilterNode> root = Parse(filter);
  // A filter that does not parse leaves the view empty, never the previous one.
  if (!root.ok()) return root.status();
  view_ = SelectMatches(*root);
  OnSelected(filter, view_);
  return Status::Ok();
}

Result<FilterNode> RecordsetBase::Parse(std::string_view filter) const {
  return ParseFilter(filter, [this](std::string_view name) { return FindField(Trim(name)); });
}

Status RecordsetBase::ClearFilter() {
  if (Status s = CheckOpen(); !s.ok()) return s;
  Commit();
  filtered_ = false;
  view_.clear();
  pos_ = 0;
  return Status::Ok();
}

Status RecordsetBase::MoveFirst() {
  if (Status s = CheckOpen(); !s.ok()) return s;
  Commit();
  pos_ = 0;
  if (ViewSize() == 0) return NoCurrentRecord();
  return Status::Ok();
}

Status RecordsetBase::MoveNext() {
  if (Status s = CheckOpen(); !s.ok()) return s;
  Commit();
  if (pos_ >= ViewSize()) return NoCurrentRecord();
  ++pos_;
  return Status::Ok();
}

bool RecordsetBase::Eof() const {
  if (!open_) return true;
  if (mode_ == EditMode::kAdd) return false;
  return pos_ >= ViewSize();
}

Result<int32_t> RecordsetBase::RecordCount() const {
  if (Status s = CheckOpen(); !s.ok()) return s;
  return static_cast<int32_t>(ViewSize());
}

int32_t RecordsetBase::FieldCount() const { return static_cast<int32_t>(fields_.size()); }

int32_t RecordsetBase::FieldIndex(std::string_view name) const {
  return FindField(name).value_or(-1);
}

Result<std::string> RecordsetBase::FieldName(int32_t index) const {
  if (index < 0 || index >= FieldCount()) return ItemNotFound(std::to_string(index));
  return fields_[static_cast<size_t>(index)].name;
}

Result<FieldType> RecordsetBase::FieldTypeOf(int32_t index) const {
  if (index < 0 || index >= FieldCount()) return ItemNotFound(std::to_string(index));
  return fields_[static_cast<size_t>(index)].type;
}

}  // namespace testqav::recordset_internal
