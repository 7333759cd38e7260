#include "platform/directory/result_attributes.h"

#include <type_traits>

#include "platform/common/text.h"

namespace testqav {

DirectoryEntry ProjectAttributes(const DirectoryEntry& stored, const std::string& rdn_value,
                                 const std::vector<std::string>& requested, const Schema& schema) {
  // Schema look-ups fold the name each time; resolve every stored attribute's type once.
  std::vector<const AttributeType*> stored_types;
  if (!requested.empty()) {
    stored_types.reserve(stored.attributes.size());
    for (const DirectoryAttribute& a : stored.attributes) {
      stored_types.push_back(schema.FindAttribute(a.name));
    }
  }
  return AttributeRequest(requested, schema).Project(stored, stored_types, rdn_value);
}

AttributeRequest::AttributeRequest(const std::vector<std::string>& requested, const Schema& schema)
    : requested_(requested) {
  wanted_.reserve(requested.size());
  for (const std::string& want : requested) {
    Wanted w{&want,
             schema.FindAttribute(want),
             EqualsIgnoreCase(want, "name"),
             EqualsIgnoreCase(want, "distinguishedName"),
             {}};
    // A request repeats an earlier one (that produced values) when both name the same
    // attribute; equal names have equal types, so the type check only saves comparisons.
    for (size_t k = 0; k < wanted_.size(); ++k) {
      if ((w.type == nullptr || wanted_[k].type == w.type) &&
          EqualsIgnoreCase(*wanted_[k].name, want)) {
        w.same_as.push_back(k);
      }
      if ((w.type != nullptr && wanted_[k].type == w.type) ||
          EqualsIgnoreCase(*wanted_[k].name, want)) {
        distinct_ = false;
      }
    }
    wanted_.push_back(std::move(w));
  }
}

namespace {

// A search result entry; with `kMovable`, one whose values may be taken (every stored
// attribute goes to one request at most).
template <bool kMove>
struct EntrySource {
  static constexpr bool kMovable = kMove;
  std::conditional_t<kMove, DirectoryEntry&, const DirectoryEntry&> entry;
  const std::vector<const AttributeType*>& types;
  const std::string& rdn;
  std::string_view dn() const { return entry.dn; }
  std::string_view rdn_value() const { return rdn; }
  size_t count() const { return entry.attributes.size(); }
  std::string_view name(size_t i) const { return entry.attributes[i].name; }
  const AttributeType* type(size_t i) const { return types[i]; }
  auto& values(size_t i) const { return entry.attributes[i].values; }
};
using DirectoryEntrySource = EntrySource<false>;
using MovableEntrySource = EntrySource<true>;

struct StoredEntrySource {
  const StoredEntry& entry;
  std::string_view dn() const { return entry.dn(); }
  std::string_view rdn_value() const { return entry.name(); }
  size_t count() const { return entry.attribute_count(); }
  std::string_view name(size_t i) const { return entry.attribute_name(i); }
  const AttributeType* type(size_t i) const { return entry.type(i); }
  std::span<const std::string_view> values(size_t i) const { return entry.values(i); }
};

template <typename Source>
constexpr bool IsMovable() {
  if constexpr (requires { Source::kMovable; }) {
    return Source::kMovable;
  } else {
    return false;
  }
}

}  // namespace

DirectoryEntry AttributeRequest::Project(const DirectoryEntry& stored,
                                         const std::vector<const AttributeType*>& stored_types,
                                         const std::string& rdn_value) const {
  if (requested_.empty()) {
    DirectoryEntry out;
    out.dn = stored.dn;
    out.attributes = stored.attributes;
    bool has_name = false;
    for (const DirectoryAttribute& a : out.attributes) {
      has_name = has_name || EqualsIgnoreCase(a.name, "name");
    }
    if (!has_name) out.attributes.push_back({"name", {rdn_value}});
    return out;
  }
  return ProjectRequested(DirectoryEntrySource{stored, stored_types, rdn_value});
}

DirectoryEntry AttributeRequest::Project(DirectoryEntry&& stored,
                                         const std::vector<const AttributeType*>& stored_types,
                                         const std::string& rdn_value) const {
  if (requested_.empty() || !distinct_) return Project(stored, stored_types, rdn_value);
  return ProjectRequested(MovableEntrySource{stored, stored_types, rdn_value});
}

DirectoryEntry AttributeRequest::Project(const StoredEntry& stored) const {
  // A stored entry always holds `name`.
  if (requested_.empty()) return stored.ToEntry();
  return ProjectRequested(StoredEntrySource{stored});
}

template <typename Source>
DirectoryEntry AttributeRequest::ProjectRequested(const Source& stored) const {
  DirectoryEntry out;
  out.dn = std::string(stored.dn());
  std::vector<bool> added(wanted_.size(), false);
  for (size_t j = 0; j < wanted_.size(); ++j) {
    const Wanted& w = wanted_[j];
    bool duplicate = false;
    for (size_t k : w.same_as) duplicate = duplicate || added[k];
    if (duplicate) continue;
    if (w.is_name) {
      out.attributes.push_back({*w.name, {std::string(stored.rdn_value())}});
      added[j] = true;
      continue;
    }
    DirectoryAttribute got{std::string(), {}};
    for (size_t i = 0; i < stored.count(); ++i) {
      // Two names of one attribute type (an alias) are the same attribute.
      bool same =
          w.type != nullptr ? stored.type(i) == w.type : EqualsIgnoreCase(stored.name(i), *w.name);
      if (same) {
        auto&& values = stored.values(i);
        if constexpr (IsMovable<Source>()) {
          if (got.values.empty()) {
            got.values = std::move(values);
          } else {
            got.values.insert(got.values.end(), std::make_move_iterator(values.begin()),
                              std::make_move_iterator(values.end()));
          }
        } else {
          got.values.insert(got.values.end(), values.begin(), values.end());
        }
      }
    }
    if (got.values.empty() && w.is_dn) got.values.emplace_back(stored.dn());
    if (!got.values.empty()) {
      got.name = *w.name;
      out.attributes.push_back(std::move(got));
      added[j] = true;
    }
  }
  return out;
}

}  // namespace testqav
