// Directory entries held compactly for searching. Every text, and each entry's tables of
// attributes and values, is copied once into large blocks; attribute types, the normalised
// DN and the object classes are worked out once, when an entry is added. An entry then costs
// its text plus 16 bytes a value and 12 an attribute, where separate strings and vectors cost
// several times its text, and nothing grows by copying: a table that doubled its way to
// tens of megabytes would leave its earlier copies behind in the heap.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "platform/directory/directory.h"
#include "platform/directory/schema.h"

namespace testqav {

class EntryStore;

// A handle on one stored entry: cheap to copy, valid while its store lives.
class StoredEntry {
 public:
  StoredEntry(const EntryStore* store, uint32_t index) : store_(store), index_(index) {}

  uint32_t index() const { return index_; }
  std::string_view dn() const;  // as the file spells it
  // The RDN value; "" for a DN that the schema-aware parser refuses.
  std::string_view name() const;
  std::span<const std::string_view> rdns() const;  // normalised, leaf first
  // Lower-cased object classes with their superclasses, each once.
  const std::vector<std::string>& classes() const;

  size_t attribute_count() const;
  const AttributeType* type(size_t i) const;        // never nullptr (see AttributeFor)
  std::string_view attribute_name(size_t i) const;  // as the file spells it
  std::span<const std::string_view> values(size_t i) const;
  // The values of the attribute spelled `name`, compared ignoring case (aliases are other
  // attributes here, as in DirectoryEntry::Values).
  std::span<const std::string_view> Values(std::string_view name) const;

  DirectoryEntry ToEntry() const;

 private:
  const EntryStore* store_;
  uint32_t index_;
};

class EntryStore {
 public:
  explicit EntryStore(std::shared_ptr<const Schema> schema);
  EntryStore(EntryStore&&) = default;
  EntryStore& operator=(EntryStore&&) = default;

  // Adds `entry` at the end. Its `name` attribute is stored as the RDN value (added when
  // the entry has none), as Active Directory keeps it.
  void Add(const DirectoryEntry& entry);

  size_t size() const { return entries_.size(); }
  StoredEntry operator[](size_t i) const { return StoredEntry(this, static_cast<uint32_t>(i)); }
  const Schema& schema() const { return *schema_; }

  // Whether every stored attribute of `type` is spelled exactly `spelling` (true when no
  // entry has one).
  bool SpelledOnlyAs(const AttributeType* type, std::string_view spelling) const;

  // The type of the attribute named `name` (any spelling, or its OID): the schema's; for an
  // attribute that the schema does not define, a Unicode string type (UnicodeStringAttribute)
  // that is the type of the entries' values of that name, or, when no entry holds one, a
  // type that no value has. Never nullptr; one name always gives the same type.
  const AttributeType* AttributeFor(std::string_view name) const;

 private:
  friend class StoredEntry;
  struct Attribute {
    uint32_t name;         // into names_
    uint32_t first_value;  // into the entry's values
    uint32_t value_count;
  };
  struct Entry {
    std::string_view dn;
    std::string_view name;
    Attribute* attributes;  // in the blocks
    const std::string_view* values;
    const std::string_view* rdns;
    uint32_t attribute_count;
    uint32_t rdn_count;
    uint32_t class_set;
  };

  std::string_view Keep(std::string_view text);
  // Room for `count` objects of T in the blocks, suitably aligned.
  template <typename T>
  T* Allocate(size_t count);
  char* Room(size_t bytes, size_t align);
  uint32_t NameId(std::string_view spelling);
  // The schema's type of `spelling`, else this store's Unicode string type of that name,
  // made on first use.
  const AttributeType* TypeForStored(std::string_view spelling);
  uint32_t ClassSetId(std::vector<std::string> classes);
  bool IsName(uint32_t name_id) const;

  std::shared_ptr<const Schema> schema_;
  const AttributeType* object_class_ = nullptr;
  const AttributeType* name_type_ = nullptr;

  std::vector<std::unique_ptr<char[]>> blocks_;
  char* free_ = nullptr;
  size_t left_ = 0;

  std::vector<Entry> entries_;

  // Attribute spellings: a file uses a few dozen, each for many entries.
  std::vector<std::string> names_;
  std::vector<const AttributeType*> name_types_;
  // Spellings that differ only in case name one attribute: each spelling's group is the id of
  // the first spelling of its case-folded form. Values(name) finds the group of the name asked
  // for once and then compares numbers, not letters, with the attributes of the entry.
  std::vector<uint32_t> name_groups_;
  std::unordered_map<std::string, uint32_t> groups_by_folded_name_;
  struct TextHash {
    using is_transparent = void;
    size_t operator()(std::string_view s) const { return std::hash<std::string_view>{}(s); }
  };
  std::unordered_map<std::string, uint32_t, TextHash, std::equal_to<>> name_ids_;
  // The group of the attribute spelled `name`, or nullopt when no entry has it.
  std::optional<uint32_t> NameGroup(std::string_view name) const;

  // Types of the stored attributes that the schema lacks, by lower-cased name; held by
  // pointer so that they stay where they are when the store moves.
  std::unordered_map<std::string, std::unique_ptr<const AttributeType>> undefined_types_;
  std::unique_ptr<const AttributeType> absent_type_;

  // Sets of object classes: most entries share one of a handful.
  std::vector<std::vector<std::string>> class_sets_;
  std::map<std::vector<std::string>, uint32_t> class_set_ids_;
};

}  // namespace testqav
