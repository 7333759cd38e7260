// What the expansion of a query-based list reads of the rows of its member query, and where
// they keep it. Every row of a query has the same columns, so their positions are found once
// per query instead of by name for every value of every row.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "engine/proxy_lists.h"
#include "platform/common/variant.h"
#include "platform/recordset/recordset.h"

namespace testqav {

// The attributes of a person row that become fields of its SourceMCL record, in the order
// the fields are written.
struct QueryColumnField {
  const char* field;
  const char* column;
  bool multi_valued;
};
inline constexpr std::array<QueryColumnField, 20> kQueryColumnFields = {{
    {"MobilePhone", "mobile", false},
    {"QAV Business Phone", "telephoneNumber", false},
    {"QAV Business Fax", "facsimileTelephoneNumber", false},
    {"QAV Home Phone", "homePhone", false},
    {"QAV Pager", "pager", false},
    {"BusinessPhone2", "otherTelephone", true},
    {"HomePhone2", "otherHomePhone", true},
    {"Title", "title", false},
    {"Company", "company", false},
    {"Department", "department", false},
    {"Office", "physicalDeliveryOfficeName", false},
    {"StreetAddress", "streetAddress", false},
    {"City", "l", false},
    {"State", "st", false},
    {"Zip", "postalCode", false},
    {"Country", "co", false},
    {"FirstName", "givenName", false},
    {"LastName", "sn", false},
    {"MiddleName", "initials", false},
    {"Generation", "generationQualifier", false},
}};

// A person row: its objectCategory names the person category (ignoring case).
bool ContainsPersonCategory(std::string_view category);

// Positions in a member query's record set; -1 for an attribute the query did not ask for,
// which reads as missing.
struct QueryRowColumns {
  explicit QueryRowColumns(const Recordset& rows)
      : object_category(rows.FieldIndex("objectCategory")),
        name(rows.FieldIndex("name")),
        mail(rows.FieldIndex("mail")),
        legacy_exchange_dn(rows.FieldIndex("legacyExchangeDN")) {
    for (size_t i = 0; i < kQueryColumnFields.size(); ++i) {
      fields[i] = rows.FieldIndex(kQueryColumnFields[i].column);
    }
  }

  int32_t object_category;
  int32_t name;
  int32_t mail;
  int32_t legacy_exchange_dn;
  std::array<int32_t, kQueryColumnFields.size()> fields{};
};

// A value as the text the expansion reads: "" when the row lacks the column, or its value is
// Null or an array.
std::string ColumnText(const Variant* value);
// What a column gives its record field: the value trimmed, Null as Null; nothing when the row
// lacks the column or (single-valued) holds several values there. A multi-valued column gives
// the first of several values.
std::optional<Variant> ColumnFieldValue(const Variant* value, bool multi_valued);

// One row as the expansion reads it, read once.
struct QueryRowValues {
  std::string category;
  std::string name;
  std::string mail;
  std::string odn;  // person rows only
  bool person = false;
  // The entry ID of the row's ODN, when it was found in the address book beforehand.
  std::optional<std::string> address_id;
  // A person row's filters for the QAV match and the SourceMCL look-up, made beforehand from
  // its mail and ODN as read; empty when they were not.
  std::string qav_filter;
  std::string source_filter;
  // A new record's two proxy look-ups (by the ODN, then by the SMTP address), worked out
  // beforehand from the addresses as read. Empty when they were not.
  std::vector<ProxyPass> proxy_passes;
  // A person row's values for the fields of a new record, in the order of kQueryColumnFields;
  // read when has_fields.
  bool has_fields = false;
  std::array<std::optional<Variant>, kQueryColumnFields.size()> fields;
};

// Reads a row through `value_at(column)`, which gives the value at a column position or
// nullptr; a person row's field values too when `with_fields`. With `any_category` the row
// is read as a person's whatever its category.
template <typename ValueAt>
QueryRowValues ReadQueryRow(const QueryRowColumns& columns, const ValueAt& value_at,
                            bool with_fields, bool any_category = false) {
  auto at = [&](int32_t column) -> const Variant* {
    return column < 0 ? nullptr : value_at(column);
  };
  QueryRowValues row;
  row.category = ColumnText(at(columns.object_category));
  row.name = ColumnText(at(columns.name));
  row.mail = ColumnText(at(columns.mail));
  row.person = ContainsPersonCategory(row.category);
  if (!row.person && !any_category) return row;
  row.odn = ColumnText(at(columns.legacy_exchange_dn));
  if (with_fields) {
    for (size_t i = 0; i < kQueryColumnFields.size(); ++i) {
      row.fields[i] = ColumnFieldValue(at(columns.fields[i]), kQueryColumnFields[i].multi_valued);
    }
    row.has_fields = true;
  }
  return row;
}

// The row the cursor of `rows` is on.
QueryRowValues ReadCurrentQueryRow(const Recordset& rows, const QueryRowColumns& columns,
                                   bool with_fields, bool any_category = false);

}  // namespace testqav
