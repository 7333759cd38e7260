// Where a member query's rows keep the attributes that their expansion reads. Every row of a
// query has the same columns, so their positions are found once per query instead of by
// name for every value of every row.
#pragma once

#include <array>
#include <cstdint>
#include <string_view>

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

}  // namespace testqav
