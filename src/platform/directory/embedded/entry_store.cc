#include "platform/directory/embedded/entry_store.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <memory>
#include <type_traits>

#include "platform/common/text.h"
#include "platform/directory/matching.h"

namespace testqav {

namespace {
// Texts go into blocks of this size; a longer text gets a block of its own.
constexpr size_t kBlockSize = size_t{1} << 20;
}  // namespace

std::string_view StoredEntry::dn() const { return store_->entries_[index_].dn; }
std::string_view StoredEntry::name() const { return store_->entries_[index_].name; }

std::span<const std::string_view> StoredEntry::rdns() const {
  const EntryStore::Entry& e = store_->entries_[index_];
  return {e.rdns, e.rdn_count};
}

const std::vector<std::string>& StoredEntry::classes() const {
  return store_->class_sets_[store_->entries_[index_].class_set];
}

size_t StoredEntry::attribute_count() const { return store_->entries_[index_].attribute_count; }

const AttributeType* StoredEntry::type(size_t i) const {
  return store_->name_types_[store_->entries_[index_].attributes[i].name];
}

std::string_view StoredEntry::attribute_name(size_t i) const {
  return store_->names_[store_->entries_[index_].attributes[i].name];
}

std::span<const std::string_view> StoredEntry::values(size_t i) const {
  const EntryStore::Entry& e = store_->entries_[index_];
  const EntryStore::Attribute& a = e.attributes[i];
  return {e.values + a.first_value, a.value_count};
}

std::span<const std::string_view> StoredEntry::Values(std::string_view name) const {
  const std::optional<uint32_t> group = store_->NameGroup(name);
  if (!group) return {};
  const EntryStore::Entry& e = store_->entries_[index_];
  for (size_t i = 0; i < e.attribute_count; ++i) {
    if (store_->name_groups_[e.attributes[i].name] == *group) return values(i);
  }
  return {};
}

DirectoryEntry StoredEntry::ToEntry() const {
  DirectoryEntry out;
  out.dn = std::string(dn());
  out.attributes.reserve(attribute_count());
  for (size_t i = 0; i < attribute_count(); ++i) {
    std::span<const std::string_view> v = values(i);
    out.attributes.push_back({std::string(attribute_name(i)), {v.begin(), v.end()}});
  }
  return out;
}

EntryStore::EntryStore(std::shared_ptr<const Schema> schema)
    : schema_(std::move(schema)),
      absent_type_(std::make_unique<const AttributeType>(UnicodeStringAttribute(""))) {
  object_class_ = schema_->FindAttribute("objectClass");
  name_type_ = schema_->FindAttribute("name");
}

char* EntryStore::Room(size_t bytes, size_t align) {
  size_t pad = (align - reinterpret_cast<uintptr_t>(free_) % align) % align;
  if (bytes + pad > left_) {
    if (bytes > kBlockSize / 4) {
      // A large piece gets a block of its own; the current block goes on being filled.
      blocks_.push_back(std::make_unique_for_overwrite<char[]>(bytes));
      return blocks_.back().get();
    }
    blocks_.push_back(std::make_unique_for_overwrite<char[]>(kBlockSize));
    free_ = blocks_.back().get();
    left_ = kBlockSize;
    pad = 0;  // a new block is aligned for any object
  }
  char* at = free_ + pad;
  free_ += pad + bytes;
  left_ -= pad + bytes;
  return at;
}

template <typename T>
T* EntryStore::Allocate(size_t count) {
  static_assert(std::is_trivially_destructible_v<T>, "blocks are freed without destructors");
  if (count == 0) return nullptr;
  T* at = reinterpret_cast<T*>(Room(sizeof(T) * count, alignof(T)));
  std::uninitialized_value_construct_n(at, count);
  return at;
}

std::string_view EntryStore::Keep(std::string_view text) {
  if (text.empty()) return {};
  char* at = Room(text.size(), 1);
  std::memcpy(at, text.data(), text.size());
  return {at, text.size()};
}

uint32_t EntryStore::NameId(std::string_view spelling) {
  auto found = name_ids_.find(spelling);
  if (found != name_ids_.end()) return found->second;
  auto id = static_cast<uint32_t>(names_.size());
  names_.emplace_back(spelling);
  name_types_.push_back(TypeForStored(spelling));
  name_groups_.push_back(groups_by_folded_name_.try_emplace(FoldCase(spelling), id).first->second);
  name_ids_.emplace(std::string(spelling), id);
  return id;
}

std::optional<uint32_t> EntryStore::NameGroup(std::string_view name) const {
  // Nearly always the name is asked for as the entries spell it.
  if (auto found = name_ids_.find(name); found != name_ids_.end()) {
    return name_groups_[found->second];
  }
  auto group = groups_by_folded_name_.find(FoldCase(name));
  if (group == groups_by_folded_name_.end()) return std::nullopt;
  return group->second;
}

const AttributeType* EntryStore::TypeForStored(std::string_view spelling) {
  if (const AttributeType* known = schema_->FindAttribute(spelling)) return known;
  // A real organisation's export carries attributes that no schema here defines; Active
  // Directory compares those as the Unicode strings they are, and so does this store.
  std::unique_ptr<const AttributeType>& type = undefined_types_[LowerCase(spelling)];
  if (!type)
    type = std::make_unique<const AttributeType>(UnicodeStringAttribute(std::string(spelling)));
  return type.get();
}

const AttributeType* EntryStore::AttributeFor(std::string_view name) const {
  if (const AttributeType* known = schema_->FindAttribute(name)) return known;
  auto found = undefined_types_.find(LowerCase(name));
  return found != undefined_types_.end() ? found->second.get() : absent_type_.get();
}

bool EntryStore::IsName(uint32_t name_id) const {
  return name_type_ != nullptr ? name_types_[name_id] == name_type_ : names_[name_id] == "name";
}

uint32_t EntryStore::ClassSetId(std::vector<std::string> classes) {
  auto found = class_set_ids_.find(classes);
  if (found != class_set_ids_.end()) return found->second;
  auto id = static_cast<uint32_t>(class_sets_.size());
  class_sets_.push_back(classes);
  class_set_ids_.emplace(std::move(classes), id);
  return id;
}

void EntryStore::Add(const DirectoryEntry& entry) {
  Entry e{};
  e.dn = Keep(entry.dn);
  std::string rdn_value;
  if (std::optional<ParsedDn> dn = ParseDn(entry.dn, *schema_)) {
    auto* rdns = Allocate<std::string_view>(dn->rdns.size());
    for (size_t i = 0; i < dn->rdns.size(); ++i) rdns[i] = Keep(dn->rdns[i]);
    e.rdns = rdns;
    e.rdn_count = static_cast<uint32_t>(dn->rdns.size());
    rdn_value = std::move(dn->first_value);
  }

  // The tables are sized first so that each is written once, in place.
  std::vector<uint32_t> ids;
  ids.reserve(entry.attributes.size() + 1);
  bool has_name = false;
  size_t value_count = 0;
  for (const DirectoryAttribute& a : entry.attributes) {
    uint32_t id = NameId(a.name);
    ids.push_back(id);
    if (IsName(id)) {
      has_name = true;
      value_count += 1;
    } else {
      value_count += a.values.size();
    }
  }
  if (!has_name) {
    ids.push_back(NameId(name_type_ != nullptr ? name_type_->PrimaryName() : "name"));
    value_count += 1;
  }
  auto* attributes = Allocate<Attribute>(ids.size());
  auto* values = Allocate<std::string_view>(value_count);
  e.attributes = attributes;
  e.values = values;
  e.attribute_count = static_cast<uint32_t>(ids.size());

  std::vector<std::string> classes;
  auto add_class = [&classes](std::string_view c) {
    if (std::find(classes.begin(), classes.end(), c) == classes.end()) classes.emplace_back(c);
  };
  uint32_t next_value = 0;
  for (size_t i = 0; i < ids.size(); ++i) {
    Attribute& a = attributes[i];
    a.name = ids[i];
    a.first_value = next_value;
    if (IsName(ids[i])) {
      // The RDN value, as Active Directory keeps it, whatever the file gives.
      e.name = Keep(rdn_value);
      values[next_value++] = e.name;
      a.value_count = 1;
      continue;
    }
    const std::vector<std::string>& given = entry.attributes[i].values;
    const AttributeType* t = name_types_[ids[i]];
    if (t != nullptr && t == object_class_) {
      // The closures are computed once in the schema; only unknown classes need folding.
      for (const std::string& v : given) {
        const std::vector<std::string>* closure = schema_->ClassClosureOf(v);
        if (closure != nullptr && !closure->empty()) {
          for (const std::string& c : *closure) add_class(c);
        } else {
          add_class(LowerCase(v));
        }
      }
    }
    for (const std::string& v : given) values[next_value++] = Keep(v);
    a.value_count = static_cast<uint32_t>(given.size());
  }
  e.class_set = ClassSetId(std::move(classes));
  entries_.push_back(e);
}

bool EntryStore::SpelledOnlyAs(const AttributeType* type, std::string_view spelling) const {
  for (size_t i = 0; i < names_.size(); ++i) {
    if (name_types_[i] == type && names_[i] != spelling) return false;
  }
  return true;
}

}  // namespace testqav
