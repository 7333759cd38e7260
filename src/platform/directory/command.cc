#include "platform/directory/command.h"

#include "platform/common/error_codes.h"
#include "platform/common/text.h"
#include "platform/directory/filter.h"
#include "platform/directory/matching.h"
#include "platform/directory/schema.h"

namespace testqav {
namespace {

// Attributes that Active Directory defines multi-valued among those the program reads.
// OpenLDAP's stock schema makes some others multi-valued (mail, title); the provider's rows
// follow Active Directory, so those come back as single values.
bool MultiValued(const AttributeType* type, std::string_view attribute) {
  // The directory's own attributes are defined as Active Directory defines them.
  if (type != nullptr && type->origin == "testqav.schema") return !type->single_value;
  // The LDAP core definitions leave most attributes multi-valued; of those, Active Directory
  // makes these multi-valued too.
  static const char* const kMulti[] = {
      "objectClass", "description",   "member",          "o",
      "ou",          "postOfficeBox", "seeAlso",         "secretary",
      "roomNumber",  "carLicense",    "departmentNumber"};
  for (const char* m : kMulti) {
    if (EqualsIgnoreCase(attribute, m)) return true;
  }
  return false;
}

Variant TypedValue(const AttributeType* type, std::string_view value) {
  if (type != nullptr && type->IsInteger()) {
    if (std::optional<int64_t> v = ParseInteger(value)) {
      if (*v >= INT32_MIN && *v <= INT32_MAX) return Variant::Long(static_cast<int32_t>(*v));
      return Variant::LongLong(*v);
    }
  }
  if (type != nullptr && type->equality == MatchKind::kBoolean) {
    if (value == "TRUE") return Variant::Boolean(true);
    if (value == "FALSE") return Variant::Boolean(false);
  }
  return Variant::String(std::string(value));
}

// How the values of one requested attribute become a field's value. Worked out once per
// command: a member query reads the same attributes for every one of up to 100,000 rows.
struct Column {
  explicit Column(std::string_view attribute)
      : name(attribute),
        type(Schema::Builtin()->FindAttribute(attribute)),
        multi_valued(MultiValued(type, attribute)) {}

  Variant ValueOf(const ValueList& values) const {
    if (values.empty()) return Variant::Null();
    if (!multi_valued) return TypedValue(type, values.front());
    std::vector<Variant> items;
    items.reserve(values.size());
    for (std::string_view v : values) items.push_back(TypedValue(type, v));
    return Variant::Array(std::move(items));
  }

  std::string name;
  const AttributeType* type;
  bool multi_valued;
};

// Whether `entry` holds only attributes spelled exactly as columns, in the columns' order;
// if so, `held_at` receives for each column the position of its attribute, or -1.
bool InColumnOrder(const DirectoryEntry& entry, const std::vector<Column>& columns,
                   std::vector<int>& held_at) {
  size_t c = 0;
  for (size_t h = 0; h < entry.attributes.size(); ++h) {
    while (c < columns.size() && columns[c].name != entry.attributes[h].name) held_at[c++] = -1;
    if (c == columns.size()) return false;
    held_at[c++] = static_cast<int>(h);
  }
  while (c < columns.size()) held_at[c++] = -1;
  return true;
}

// "((f))" -> "(f)" while the inside is itself one complete filter.
std::string Unwrap(std::string filter) {
  while (filter.size() >= 4 && filter.front() == '(' && filter[1] == '(' && filter.back() == ')') {
    std::string inner = filter.substr(1, filter.size() - 2);
    if (!ParseFilter(inner).ok()) break;
    filter = std::move(inner);
  }
  return filter;
}

}  // namespace

Result<AdsPath> ParseAdsPath(std::string_view path) {
  AdsPath out;
  size_t sep = path.find("://");
  std::string provider(path.substr(0, sep == std::string_view::npos ? 0 : sep));
  if (sep == std::string_view::npos ||
      !(EqualsIgnoreCase(provider, "GC") || EqualsIgnoreCase(provider, "LDAP"))) {
    return Status(err::kDirBadPathname,
                  "An invalid directory pathname was passed: \"" + std::string(path) + "\"");
  }
  out.provider = provider;
  std::string rest(path.substr(sep + 3));
  size_t slash = rest.find('/');
  if (slash != std::string::npos && rest.substr(0, slash).find('=') == std::string::npos) {
    out.server = rest.substr(0, slash);
    rest = rest.substr(slash + 1);
  }
  if (EqualsIgnoreCase(rest, "rootDSE")) {
    out.root_dse = true;
  } else {
    out.dn = rest;
  }
  return out;
}

Result<Variant> BoundObject::Get(std::string_view attribute) const {
  Variant v = Column(attribute).ValueOf(entry_.Values(attribute));
  // A bound object hands out a lone value of a multi-valued attribute by itself, as the
  // directory's object interface does; only a query's columns are always arrays.
  if (v.IsArray() && v.array().size() == 1) v = Variant(v.array().front());
  if (v.IsNull()) {
    return Status(err::kDirPropertyNotFound,
                  "The directory property cannot be found in the cache: " + std::string(attribute));
  }
  return v;
}

Result<BoundObject> Bind(Directory& directory, std::string_view path) {
  Result<AdsPath> parsed = ParseAdsPath(path);
  if (!parsed.ok()) return parsed.status();
  std::string ads_path = parsed->provider + "://" +
                         (parsed->server.empty() ? "" : parsed->server + "/") +
                         (parsed->root_dse ? "rootDSE" : parsed->dn);
  if (parsed->root_dse) {
    Result<DirectoryEntry> dse = directory.RootDse();
    if (!dse.ok()) return dse.status();
    return BoundObject(ads_path, std::move(dse).value());
  }
  if (parsed->dn.empty()) {
    return Status(err::kDirBadPathname,
                  "An invalid directory pathname was passed: \"" + std::string(path) + "\"");
  }
  Result<std::vector<DirectoryEntry>> found =
      directory.Search(parsed->dn, SearchScope::kBase, "(objectClass=*)", {});
  if (!found.ok()) return found.status();
  if (found->empty()) {
    return Status(err::kDirNoSuchObject,
                  "There is no such object on the server: \"" + parsed->dn + "\"");
  }
  return BoundObject(ads_path, std::move(found->front()));
}

Result<DirectoryCommand> ParseCommandText(std::string_view text) {
  auto fail = [&](const std::string& why) {
    return Status(err::kInvalidArg,
                  "invalid directory command \"" + std::string(text) + "\": " + why);
  };
  if (text.empty() || text.front() != '<') return fail("the base must be in angle brackets");
  size_t close = text.find('>');
  if (close == std::string_view::npos) return fail("missing \">\"");
  Result<AdsPath> base = ParseAdsPath(text.substr(1, close - 1));
  if (!base.ok()) return base.status();
  if (close + 1 >= text.size() || text[close + 1] != ';')
    return fail("missing \";\" after the base");
  std::vector<std::string> parts = Split(text.substr(close + 2), ";");
  if (parts.size() < 2) return fail("expected filter;attributes[;scope]");
  DirectoryCommand command;
  command.base = std::move(base).value();
  std::string scope = "subtree";
  if (parts.size() >= 3) {
    scope = LowerCase(Trim(parts.back()));
    parts.pop_back();
  }
  if (scope == "base") {
    command.scope = SearchScope::kBase;
  } else if (scope == "onelevel") {
    command.scope = SearchScope::kOneLevel;
  } else if (scope == "subtree") {
    command.scope = SearchScope::kSubtree;
  } else {
    return fail("unknown scope \"" + scope + "\"");
  }
  std::string attributes = parts.back();
  parts.pop_back();
  command.filter = Unwrap(Join(parts, ";"));
  for (const std::string& a : Split(attributes, ",")) {
    std::string name = Trim(a);
    if (name.empty()) return fail("empty attribute name");
    command.attributes.push_back(name);
  }
  return command;
}

Result<std::unique_ptr<Recordset>> ExecuteCommand(Directory& directory,
                                                  const RecordsetFactory& make_recordset,
                                                  std::string_view command_text) {
  Result<DirectoryCommand> command = ParseCommandText(command_text);
  if (!command.ok()) return command.status();
  std::string base = command->base.root_dse ? "" : command->base.dn;
  // Both backends parse a filter text with this parser and fail with its error, so parsing
  // here changes no answer. The rows are only read into the record set: the embedded
  // directory hands out its stored entries instead of copies of them, which for a list of
  // every mailbox user spares copying and then freeing some hundred megabytes.
  Result<FilterNode> filter = ParseFilter(command->filter);
  if (!filter.ok()) return filter.status();
  std::unique_ptr<Recordset> set = make_recordset();
  std::vector<Column> columns;
  columns.reserve(command->attributes.size());
  const int32_t first_field = set->FieldCount();
  for (const std::string& a : command->attributes) {
    Status s = set->AppendField(a, FieldType::kVariant);
    if (!s.ok()) return s;
    columns.emplace_back(a);
  }
  Status s = set->Open();
  if (!s.ok()) return s;
  // Each row goes into the record set as the directory hands it out.
  Status filled = Status::Ok();
  size_t rows = 0;
  std::vector<int> held_at(columns.size(), -1);
  Status searched = directory.ForEachEntry(
      base, command->scope, *filter, command->attributes, [&](SharedDirectoryEntry row) {
        if (!filled.ok()) return;
        ++rows;
        filled = set->AddNew();
        // A result entry holds the requested attributes in the order and spelling they were
        // requested in, less those it lacks: one pass then tells each column's attribute.
        // An entry that is not like that is searched by name.
        const auto* result = dynamic_cast<const DirectoryEntryView*>(row.get());
        const bool in_order = result != nullptr && InColumnOrder(result->entry(), columns, held_at);
        auto values_of = [&](size_t i) -> ValueList {
          if (!in_order) return row->Values(columns[i].name);
          if (held_at[i] < 0) return {};
          return result->entry().attributes[static_cast<size_t>(held_at[i])].values;
        };
        // The fields were appended in the order of the columns.
        for (size_t i = 0; filled.ok() && i < columns.size(); ++i) {
          Variant v = columns[i].ValueOf(values_of(i));
          if (!v.IsNull()) {
            filled = set->SetValue(first_field + static_cast<int32_t>(i), std::move(v));
          }
        }
        if (filled.ok()) filled = set->Update();
      });
  if (!searched.ok()) return searched;
  if (!filled.ok()) return filled;
  if (rows > 0) set->MoveFirst().IgnoreError();
  return set;
}

}  // namespace testqav
