#include "mcl/query_row.h"

#include "core/array_helpers.h"
#include "platform/common/text.h"

namespace testqav {

bool ContainsPersonCategory(std::string_view category) {
  return ContainsIgnoreCase(category, "CN=Person");
}

std::string ColumnText(const Variant* value) {
  if (value == nullptr || value->IsNull() || value->IsArray()) return {};
  return value->ToText();
}

std::optional<Variant> ColumnFieldValue(const Variant* value, bool multi_valued) {
  if (value == nullptr) return std::nullopt;
  if (multi_valued && IsFilledArray(*value)) {
    const Variant& first = value->array().front();
    if (first.IsArray()) return std::nullopt;
    if (first.IsNull()) return Variant::Null();
    return Variant(Trim(first.ToText()));
  }
  if (value->IsArray()) return std::nullopt;
  if (value->IsNull()) return Variant::Null();
  return Variant(Trim(value->ToText()));
}

QueryRowValues ReadCurrentQueryRow(const Recordset& rows, const QueryRowColumns& columns,
                                   bool with_fields, bool any_category) {
  return ReadQueryRow(
      columns,
      [&rows](int32_t column) -> const Variant* {
        auto v = rows.ValueView(column);
        return v.ok() ? *v : nullptr;
      },
      with_fields, any_category);
}

}  // namespace testqav
