// Directory service: rootDSE, search (base, RFC 4515 filter, attributes, scope). The
// embedded implementation holds an LDIF file in memory; the real one speaks LDAP through
// libldap. Both evaluate filters as Active Directory does (see docs/directory.md).
#pragma once

#include <cstddef>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/common/status.h"

namespace testqav {

enum class SearchScope { kBase, kOneLevel, kSubtree };

struct DirectoryAttribute {
  std::string name;  // as the schema spells it
  std::vector<std::string> values;
};

struct DirectoryEntry {
  std::string dn;
  std::vector<DirectoryAttribute> attributes;

  // Values of an attribute, name compared ignoring case; empty when absent.
  const std::vector<std::string>& Values(std::string_view attribute) const;
  // The first value, or "" when absent.
  std::string First(std::string_view attribute) const;
};

struct FilterNode;

// The values of one attribute, wherever they are kept: the strings of a search result or
// the texts the embedded directory holds. Valid while what it points into lives.
class ValueList {
 public:
  ValueList() = default;
  ValueList(const std::vector<std::string>& values)  // NOLINT: a view of them
      : strings_(values.data()), size_(values.size()) {}
  ValueList(std::span<const std::string_view> values)  // NOLINT: a view of them
      : views_(values.data()), size_(values.size()) {}

  size_t size() const { return size_; }
  bool empty() const { return size_ == 0; }
  std::string_view operator[](size_t i) const {
    return strings_ != nullptr ? std::string_view(strings_[i]) : views_[i];
  }
  std::string_view front() const { return (*this)[0]; }

  class Iterator {
   public:
    using value_type = std::string_view;
    using difference_type = std::ptrdiff_t;
    Iterator() = default;
    Iterator(const ValueList* list, size_t i) : list_(list), i_(i) {}
    std::string_view operator*() const { return (*list_)[i_]; }
    Iterator& operator++() {
      ++i_;
      return *this;
    }
    Iterator operator++(int) {
      Iterator old = *this;
      ++i_;
      return old;
    }
    bool operator==(const Iterator& other) const { return i_ == other.i_; }

   private:
    const ValueList* list_ = nullptr;
    size_t i_ = 0;
  };
  Iterator begin() const { return Iterator(this, 0); }
  Iterator end() const { return Iterator(this, size_); }

 private:
  const std::string* strings_ = nullptr;
  const std::string_view* views_ = nullptr;
  size_t size_ = 0;
};

// Read access to one directory entry, however it is kept.
class EntryView {
 public:
  virtual ~EntryView() = default;
  virtual std::string_view Dn() const = 0;
  // The values of the attribute spelled `attribute` (compared ignoring case); empty when
  // the entry has none.
  virtual ValueList Values(std::string_view attribute) const = 0;
};

// An EntryView that owns a search result entry.
class DirectoryEntryView : public EntryView {
 public:
  explicit DirectoryEntryView(DirectoryEntry entry) : entry_(std::move(entry)) {}
  std::string_view Dn() const override { return entry_.dn; }
  ValueList Values(std::string_view attribute) const override { return entry_.Values(attribute); }
  const DirectoryEntry& entry() const { return entry_; }

 private:
  DirectoryEntry entry_;
};

// An entry that its reader may keep: a backend that holds its entries in memory hands out
// a view of the entry itself, not a copy.
using SharedDirectoryEntry = std::shared_ptr<const EntryView>;

class Directory {
 public:
  virtual ~Directory() = default;
  // The rootDSE's attributes (defaultNamingContext, rootDomainNamingContext, ...).
  virtual Result<DirectoryEntry> RootDse() = 0;
  // Entries under `base_dn` in `scope` that match `filter`, with the requested attributes
  // (all when `attributes` is empty). Errors: err::kDirInvalidFilter for a malformed filter,
  // err::kDirNoSuchObject for a base that does not exist, err::kDirServerDown and others
  // from the real backend (number and description).
  virtual Result<std::vector<DirectoryEntry>> Search(
      std::string_view base_dn, SearchScope scope, std::string_view filter,
      const std::vector<std::string>& attributes) = 0;
  // The same search with the filter as a tree, each entry handed to `each` as the backend
  // has it. Callers that build filters from values (the address book) need not write text
  // for a backend that evaluates trees to parse again; a backend that reads pages from a
  // server never holds the whole answer; one that holds its entries in memory hands out
  // views of them, not copies. Each entry holds at least the requested attributes, under the
  // requested spelling and with the values that Search gives; it may hold more, in another
  // order. On a failure `each` may have seen part of the answer; the caller drops it. The
  // default writes the filter's text and calls Search.
  virtual Status ForEachEntry(std::string_view base_dn, SearchScope scope, const FilterNode& filter,
                              const std::vector<std::string>& attributes,
                              const std::function<void(SharedDirectoryEntry)>& each);
  // OK while the directory can answer. A backend whose server is lost for good (the
  // connection broke, or a search timed out, and a new connection could not be made either)
  // returns that error here, and every later call fails at once with it instead of waiting
  // for the server again.
  virtual Status Failure() const { return Status::Ok(); }
};

// Every entry of ForEachEntry, for a caller that keeps them.
Result<std::vector<SharedDirectoryEntry>> SearchShared(Directory& directory,
                                                       std::string_view base_dn, SearchScope scope,
                                                       const FilterNode& filter,
                                                       const std::vector<std::string>& attributes);

// What a backend that holds its entries in memory offers beside Directory, for a caller that
// will search it very often (the address book finds it with dynamic_cast). Neither changes
// an answer.
class SearchHints {
 public:
  virtual ~SearchHints() = default;
  // The searches to come will test these attributes for equality: indexes built on demand
  // may be built now, in one pass.
  virtual void ExpectEqualitySearches(const std::vector<std::string>& attributes) = 0;
  // Searches may come that test the beginnings of these attributes' values: indexes built on
  // demand may be built now.
  virtual void ExpectPrefixSearches(const std::vector<std::string>& attributes) = 0;
  // Whether two threads may search at the same time.
  virtual bool ConcurrentSearches() const = 0;
};

}  // namespace testqav
