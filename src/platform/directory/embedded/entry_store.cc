#include "platform/directory/embedded/entry_store.h"

#include <algorithm>
#include <cstring>

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
  return {store_->rdns_.data() + e.first_rdn, e.rdn_count};
}

const std::vector<std::string>& StoredEntry::classes() const {
  return store_->class_sets_[store_->entries_[index_].class_set];
}

size_t StoredEntry::attribute_count() const { return store_->entries_[index_].attribute_count; }

const AttributeType* StoredEntry::type(size_t i) const {
  const EntryStore::Entry& e = store_->entries_[index_];
  return store_->name_types_[store_->attributes_[e.first_attribute + i].name];
}

std::string_view StoredEntry::attribute_name(size_t i) const {
  const EntryStore::Entry& e = store_->entries_[index_];
  return store_->names_[store_->attributes_[e.first_attribute + i].name];
}

std::span<const std::string_view> StoredEntry::values(size_t i) const {
  const EntryStore::Entry& e = store_->entries_[index_];
  const EntryStore::Attribute& a = store_->attributes_[e.first_attribute + i];
  return {store_->values_.data() + a.first_value, a.value_count};
}

std::span<const std::string_view> StoredEntry::Values(std::string_view name) const {
  for (size_t i = 0; i < attribute_count(); ++i) {
    if (EqualsIgnoreCase(attribute_name(i), name)) return values(i);
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

EntryStore::EntryStore(std::shared_ptr<const Schema> schema) : schema_(std::move(schema)) {
  object_class_ = schema_->FindAttribute("objectClass");
  name_type_ = schema_->FindAttribute("name");
}

std::string_view EntryStore::Keep(std::string_view text) {
  if (text.empty()) return {};
  if (text.size() > left_) {
    if (text.size() > kBlockSize / 4) {
      // A large text gets a block of its own; the current block goes on being filled.
      blocks_.push_back(std::make_unique<char[]>(text.size()));
      std::memcpy(blocks_.back().get(), text.data(), text.size());
      return {blocks_.back().get(), text.size()};
    }
    blocks_.push_back(std::make_unique<char[]>(kBlockSize));
    free_ = blocks_.back().get();
    left_ = kBlockSize;
  }
  char* at = free_;
  std::memcpy(at, text.data(), text.size());
  free_ += text.size();
  left_ -= text.size();
  return {at, text.size()};
}

uint32_t EntryStore::NameId(std::string_view spelling) {
  auto found = name_ids_.find(std::string(spelling));
  if (found != name_ids_.end()) return found->second;
  auto id = static_cast<uint32_t>(names_.size());
  names_.emplace_back(spelling);
  name_types_.push_back(schema_->FindAttribute(spelling));
  name_ids_.emplace(std::string(spelling), id);
  return id;
}

uint32_t EntryStore::ClassSetId(std::vector<std::string> classes) {
  auto found = class_set_ids_.find(classes);
  if (found != class_set_ids_.end()) return found->second;
  auto id = static_cast<uint32_t>(class_sets_.size());
  class_sets_.push_back(classes);
  class_set_ids_.emplace(std::move(classes), id);
  return id;
}

void EntryStore::AddAttribute(uint32_t name, std::span<const std::string> values) {
  attributes_.push_back(
      {name, static_cast<uint32_t>(values_.size()), static_cast<uint32_t>(values.size())});
  for (const std::string& v : values) values_.push_back(Keep(v));
}

void EntryStore::Add(const DirectoryEntry& entry) {
  Entry e{};
  e.dn = Keep(entry.dn);
  e.first_attribute = static_cast<uint32_t>(attributes_.size());
  e.first_rdn = static_cast<uint32_t>(rdns_.size());
  std::string rdn_value;
  if (std::optional<ParsedDn> dn = ParseDn(entry.dn, *schema_)) {
    for (const std::string& rdn : dn->rdns) rdns_.push_back(Keep(rdn));
    rdn_value = std::move(dn->first_value);
  }
  e.rdn_count = static_cast<uint32_t>(rdns_.size()) - e.first_rdn;

  std::vector<std::string> classes;
  auto add_class = [&classes](std::string_view c) {
    if (std::find(classes.begin(), classes.end(), c) == classes.end()) classes.emplace_back(c);
  };
  const std::string name_value[] = {rdn_value};
  bool has_name = false;
  for (const DirectoryAttribute& a : entry.attributes) {
    uint32_t id = NameId(a.name);
    const AttributeType* t = name_types_[id];
    if (t != nullptr && t == object_class_) {
      // The closures are computed once in the schema; only unknown classes need folding.
      for (const std::string& v : a.values) {
        const std::vector<std::string>* closure = schema_->ClassClosureOf(v);
        if (closure != nullptr && !closure->empty()) {
          for (const std::string& c : *closure) add_class(c);
        } else {
          add_class(LowerCase(v));
        }
      }
    }
    bool is_name = name_type_ != nullptr ? t == name_type_ : EqualsIgnoreCase(a.name, "name");
    if (is_name) {
      has_name = true;
      AddAttribute(id, name_value);
    } else {
      AddAttribute(id, a.values);
    }
  }
  if (!has_name) {
    AddAttribute(NameId(name_type_ != nullptr ? name_type_->PrimaryName() : "name"), name_value);
  }
  e.attribute_count = static_cast<uint32_t>(attributes_.size()) - e.first_attribute;
  // The RDN value is the stored value of `name`.
  for (uint32_t i = e.first_attribute; i < attributes_.size(); ++i) {
    const AttributeType* t = name_types_[attributes_[i].name];
    if (name_type_ != nullptr ? t == name_type_ : names_[attributes_[i].name] == "name") {
      e.name = values_[attributes_[i].first_value];
    }
  }
  e.class_set = ClassSetId(std::move(classes));
  entries_.push_back(e);
}

void EntryStore::ShrinkToFit() {
  entries_.shrink_to_fit();
  attributes_.shrink_to_fit();
  values_.shrink_to_fit();
  rdns_.shrink_to_fit();
}

bool EntryStore::SpelledOnlyAs(const AttributeType* type, std::string_view spelling) const {
  for (size_t i = 0; i < names_.size(); ++i) {
    if (name_types_[i] == type && names_[i] != spelling) return false;
  }
  return true;
}

}  // namespace testqav
