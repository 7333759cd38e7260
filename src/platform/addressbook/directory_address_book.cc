// The address book as a view of the directory. Every look-up is one or a few equality
// searches (names: equality, then substring), so a run that resolves one address per
// registered user stays proportional to the number of users. A search asks only for the
// distinguished names of what matches; an object is read whole once, when it first becomes
// an entry, and kept (the directory does not change during a run). A run resolves each user
// several times, so this saves copying every object's attributes again and again; where the
// directory holds its entries in memory, the entry is shared with it instead of copied.
#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <optional>
#include <thread>
#include <unordered_map>
#include <unordered_set>
#include <utility>

#include "platform/addressbook/address_book.h"
#include "platform/addressbook/entry_id.h"
#include "platform/addressbook/entry_properties.h"
#include "platform/addressbook/sharded_text_map.h"
#include "platform/common/error_codes.h"
#include "platform/common/text.h"
#include "platform/common/thread_priority.h"
#include "platform/directory/filter.h"
#include "platform/directory/matching.h"
#include "platform/directory/schema.h"
#include "platform/messaging/look_ahead.h"

namespace testqav {
namespace {

class DirectoryAddressBook;

// The case-folded form of `text` as a map key: `text` itself when folding leaves it as it
// is (ASCII without capitals, as most of the names the engine passes are), else its folded
// copy in `buffer`.
std::string_view FoldedKey(std::string_view text, std::string& buffer) {
  const bool unchanged = std::all_of(text.begin(), text.end(), [](char c) {
    return static_cast<unsigned char>(c) < 0x80 && !(c >= 'A' && c <= 'Z');
  });
  if (unchanged) return text;
  buffer = FoldCase(text);
  return buffer;
}

// What resolution by name compares a text with (exactly, then as a beginning), besides the
// Exchange distinguished name.
const std::vector<std::string>& AnrAttributes() {
  static const std::vector<std::string> kAttributes = {"displayName", "mailNickname", "givenName",
                                                       "sn"};
  return kAttributes;
}

// The nodes as a list, moved in: a braced list would copy every node and its texts.
template <typename... Nodes>
std::vector<FilterNode> NodeList(Nodes&&... nodes) {
  std::vector<FilterNode> list;
  list.reserve(sizeof...(nodes));
  (list.push_back(std::forward<Nodes>(nodes)), ...);
  return list;
}

Status Unresolved(std::string_view name) {
  return Status(err::kUnresolved, "The name could not be resolved: " + std::string(name));
}

// An internet address outside the directory, or a directory object without an Exchange DN
// re-opened from its one-off entry ID.
class OneOffAddressEntry : public AddressEntry {
 public:
  explicit OneOffAddressEntry(EntryFacts facts) : facts_(std::move(facts)) {}
  Result<std::string> Type() const override { return facts_.type; }
  Result<std::string> Address() const override { return facts_.address; }
  Result<std::string> Name() const override { return facts_.name; }
  Result<std::string> ID() const override { return facts_.entry_id; }
  Result<int32_t> DisplayType() const override { return facts_.display_type; }
  Result<Variant> Field(uint32_t tag) const override { return OneOffProperty(facts_, tag); }
  Result<std::vector<AddressEntryPtr>> Members() override { return std::vector<AddressEntryPtr>(); }
  Result<std::string> SmtpAddress() const override {
    return facts_.type == "SMTP" ? facts_.address : std::string();
  }

 private:
  EntryFacts facts_;
};

class DirectoryAddressEntry : public AddressEntry {
 public:
  DirectoryAddressEntry(SharedDirectoryEntry entry, EntryFacts facts,
                        std::weak_ptr<DirectoryAddressBook> book)
      : entry_(std::move(entry)), facts_(std::move(facts)), book_(std::move(book)) {}
  Result<std::string> Type() const override { return facts_.type; }
  Result<std::string> Address() const override { return facts_.address; }
  Result<std::string> Name() const override { return facts_.name; }
  Result<std::string> ID() const override { return EntryIdOf(facts_); }
  Result<int32_t> DisplayType() const override { return facts_.display_type; }
  Result<Variant> Field(uint32_t tag) const override {
    return DirectoryProperty(*entry_, facts_, tag);
  }
  Result<std::vector<AddressEntryPtr>> Members() override;
  Result<std::string> SmtpAddress() const override { return PrimarySmtpOf(*entry_); }
  const EntryView& directory_entry() const { return *entry_; }

 private:
  // Shared with the directory where it keeps its entries in memory.
  SharedDirectoryEntry entry_;
  EntryFacts facts_;
  std::weak_ptr<DirectoryAddressBook> book_;
};

class DirectoryAddressBook : public AddressBook,
                             public LookAhead,
                             public std::enable_shared_from_this<DirectoryAddressBook> {
 public:
  DirectoryAddressBook(std::shared_ptr<Directory> directory, std::string base_dn,
                       std::shared_ptr<Directory> lookups)
      : directory_(std::move(directory)),
        lookups_(lookups ? std::move(lookups) : directory_),
        base_dn_(std::move(base_dn)) {}
  ~DirectoryAddressBook() override;
  DirectoryAddressBook(const DirectoryAddressBook&) = delete;
  DirectoryAddressBook& operator=(const DirectoryAddressBook&) = delete;

  Result<AddressEntryPtr> ResolveName(std::string_view name) override;
  Result<AddressEntryPtr> GetEntry(std::string_view entry_id) override;
  Result<AddressEntryPtr> FindByDN(std::string_view dn) override;
  Result<std::vector<AddressEntryPtr>> FindByName(std::string_view name) override;
  std::shared_ptr<Directory> directory() const override { return directory_; }
  // Its caches are shared between threads; whether its searches may be depends on the
  // directory they go to.
  bool ConcurrentLookups() const override {
    const auto* hints = dynamic_cast<const SearchHints*>(lookups_.get());
    return hints != nullptr && hints->ConcurrentSearches();
  }
  void Anticipate(std::vector<AnticipatedLookup> lookups) override;
  Status Failure() const override { return directory_->Failure(); }

  // The entry for the directory object `object_dn` (a member value); kNotFound when the
  // object does not exist or is not an address entry.
  Result<AddressEntryPtr> EntryByObjectDn(const std::string& object_dn);

 private:
  // Distinguished names of the objects under the base that match `filter`, in the
  // directory's order.
  Result<std::vector<std::string>> Search(const FilterNode& filter);
  // Entries for `dns`, each object once, in the given order; objects that are no address
  // entries are left out.
  Result<std::vector<AddressEntryPtr>> Entries(const std::vector<std::string>& dns);
  AddressEntryPtr MakeEntry(SharedDirectoryEntry e, EntryFacts facts);
  Result<AddressEntryPtr> ResolveUncached(std::string_view name);
  // The key under which an entry found for `name` also answers every other text that names
  // the same SMTP address; nullopt when `name` does not resolve as an SMTP address.
  static std::optional<std::string> SmtpKey(std::string_view name);
  // The key under which an entry found for `name` by ambiguous name resolution answers every
  // text that differs from it only in case; nullopt for a name resolved otherwise.
  static std::optional<std::string> AnrKey(std::string_view name);
  Result<AddressEntryPtr> ResolveSmtp(std::string_view address, std::string_view name);
  Result<AddressEntryPtr> ResolveAnr(std::string_view text, std::string_view name);
  static AddressEntryPtr OneOff(std::string_view address);
  // The anticipating thread: answers the queued look-ups in order until stopped.
  void AnswerAhead();

  // Whether `object_dn` lies outside the base, where a snapshot of it (lookups_) does not
  // reach.
  bool OutsideBase(std::string_view object_dn) const;

  std::shared_ptr<Directory> directory_;
  // What the look-ups search: the directory itself, or a snapshot of its address entries
  // under the base (OpenLdapAddressBook).
  std::shared_ptr<Directory> lookups_;
  std::string base_dn_;
  // The anticipating thread fills these maps beside the caller. No lock is held across a
  // search: the caller never waits for a look-up that the other thread happens to be
  // making, it makes it too (the answer is the same, and the first one kept is the one both
  // hand out).
  // Folded legacyExchangeDN / folded object DN -> entry.
  ShardedTextMap<AddressEntryPtr> by_legacy_dn_;  // nullptr: no entry has that DN
  ShardedTextMap<AddressEntryPtr> by_object_dn_;
  // Text given to ResolveName -> its answer.
  ShardedTextMap<Result<AddressEntryPtr>> resolved_;
  // SMTP address (as given) -> the entry found for it, whichever text named it.
  ShardedTextMap<AddressEntryPtr> resolved_by_smtp_;
  // Folded name resolved by ambiguous name resolution -> the entry found for it. Every
  // attribute that resolution compares ignores case, so a text that differs only in case
  // (an ODN as the directory spells it and as a registration spelled it) finds the same.
  ShardedTextMap<AddressEntryPtr> resolved_by_folded_name_;

  std::mutex queue_mutex_;
  std::condition_variable queue_ready_;
  std::deque<std::vector<AnticipatedLookup>> queue_;  // under queue_mutex_
  bool indexes_expected_ = false;                     // under queue_mutex_
  std::atomic<bool> stopping_{false};
  std::thread ahead_;  // started by the first Anticipate
};

DirectoryAddressBook::~DirectoryAddressBook() {
  {
    std::lock_guard<std::mutex> lock(queue_mutex_);
    stopping_ = true;
  }
  queue_ready_.notify_all();
  if (ahead_.joinable()) ahead_.join();
}

void DirectoryAddressBook::Anticipate(std::vector<AnticipatedLookup> lookups) {
  // A directory that cannot be searched from two threads at once gains nothing from a
  // second thread that would have to take turns with the caller.
  if (lookups.empty() || !ConcurrentLookups()) return;
  {
    std::lock_guard<std::mutex> lock(queue_mutex_);
    if (!ahead_.joinable()) ahead_ = std::thread([this] { AnswerAhead(); });
    queue_.push_back(std::move(lookups));
  }
  queue_ready_.notify_one();
}

void DirectoryAddressBook::AnswerAhead() {
  LowerCurrentThreadPriority();
  std::unique_lock<std::mutex> lock(queue_mutex_);
  while (true) {
    queue_ready_.wait(lock, [this] { return stopping_ || !queue_.empty(); });
    if (stopping_) return;
    std::vector<AnticipatedLookup> batch = std::move(queue_.front());
    queue_.pop_front();
    lock.unlock();
    for (const AnticipatedLookup& l : batch) {
      if (stopping_) break;
      // Only the kept answers matter here; what the caller gets comes from its own call.
      if (l.kind == AnticipatedLookup::Kind::kDistinguishedName) {
        if (FindByDN(l.text).ok()) {
          if (l.then_as_name) ResolveName(l.text).IgnoreError();
        } else {
          for (const std::string& name : l.names_if_unknown) ResolveName(name).IgnoreError();
        }
      } else {
        ResolveName(l.text).IgnoreError();
      }
    }
    lock.lock();
    if (queue_.empty() && !indexes_expected_) {
      // Nothing to answer for now: indexes that a search will need are built here rather
      // than when the first search needs them, which makes that caller wait for a pass over
      // every entry. The resolution by name's second phase compares beginnings; the member
      // queries of query-based lists (Exchange's recipient filters) test the object's class
      // and category, in the directory the address book is made from.
      indexes_expected_ = true;
      lock.unlock();
      if (auto* hints = dynamic_cast<SearchHints*>(lookups_.get())) {
        hints->ExpectPrefixSearches(AnrAttributes());
      }
      if (auto* hints = dynamic_cast<SearchHints*>(directory_.get())) {
        hints->ExpectEqualitySearches({"objectClass", "objectCategory"});
      }
      lock.lock();
    }
  }
}

Result<std::vector<AddressEntryPtr>> DirectoryAddressEntry::Members() {
  std::vector<AddressEntryPtr> members;
  ValueList dns = AttributeValues(*entry_, "member");
  if (dns.empty()) return members;
  std::shared_ptr<DirectoryAddressBook> book = book_.lock();
  if (!book) return Status(err::kObjectDeleted, "The address book of this entry is closed");
  for (std::string_view dn : dns) {
    Result<AddressEntryPtr> member = book->EntryByObjectDn(std::string(dn));
    if (member.ok()) {
      members.push_back(*member);
    } else if (member.status().number() != err::kNotFound) {
      return member.status();
    }
    // A member that is gone or is no address entry (hidden, not mail-enabled) is not listed,
    // as the address book would not show it either.
  }
  return members;
}

AddressEntryPtr DirectoryAddressBook::MakeEntry(SharedDirectoryEntry e, EntryFacts facts) {
  std::string object_key = FoldCase(e->Dn());
  std::string legacy_key = facts.type == "EX" ? FoldCase(facts.address) : std::string();
  // Dropped in the rare case that the other thread kept one for the object meanwhile.
  AddressEntryPtr entry = by_object_dn_.Emplace(
      std::move(object_key),
      std::make_shared<DirectoryAddressEntry>(std::move(e), std::move(facts), weak_from_this()));
  if (!legacy_key.empty()) by_legacy_dn_.Emplace(std::move(legacy_key), entry);
  return entry;
}

Result<std::vector<std::string>> DirectoryAddressBook::Search(const FilterNode& filter) {
  // "1.1" asks for no attributes at all (RFC 4511): the entries' names are all we need.
  static const std::vector<std::string> kDnOnly = {"1.1"};
  std::vector<std::string> dns;
  Status status =
      lookups_->ForEachEntry(base_dn_, SearchScope::kSubtree, filter, kDnOnly,
                             [&dns](SharedDirectoryEntry e) { dns.emplace_back(e->Dn()); });
  if (!status.ok()) return status;
  return dns;
}

Result<std::vector<AddressEntryPtr>> DirectoryAddressBook::Entries(
    const std::vector<std::string>& dns) {
  std::vector<AddressEntryPtr> out;
  std::unordered_set<const AddressEntry*> seen;
  for (const std::string& dn : dns) {
    Result<AddressEntryPtr> e = EntryByObjectDn(dn);
    if (!e.ok()) {
      if (e.status().number() == err::kNotFound) continue;
      return e.status();
    }
    if (seen.insert(e->get()).second) out.push_back(*e);
  }
  return out;
}

Result<AddressEntryPtr> DirectoryAddressBook::EntryByObjectDn(const std::string& object_dn) {
  std::string folded;
  const std::string_view key = FoldedKey(object_dn, folded);
  if (std::optional<AddressEntryPtr> cached = by_object_dn_.Find(key)) return *cached;
  static const FilterNode kAnyObject = [] {
    FilterNode n;
    n.kind = FilterNode::Kind::kPresent;
    n.attribute = "objectClass";
    return n;
  }();
  Result<std::vector<SharedDirectoryEntry>> found =
      SearchShared(*lookups_, object_dn, SearchScope::kBase, kAnyObject, EntryAttributes());
  // A member elsewhere in the forest is read from the directory itself.
  if (!found.ok() && found.status().number() == err::kDirNoSuchObject && lookups_ != directory_ &&
      OutsideBase(object_dn)) {
    found = SearchShared(*directory_, object_dn, SearchScope::kBase, kAnyObject, EntryAttributes());
  }
  if (!found.ok()) {
    if (found.status().number() == err::kDirNoSuchObject) {
      return Status(err::kNotFound, "No directory object " + object_dn);
    }
    return found.status();
  }
  for (SharedDirectoryEntry& e : *found) {
    Result<EntryFacts> facts = FactsOf(*e);
    if (facts.ok()) return MakeEntry(std::move(e), std::move(facts).value());
  }
  return Status(err::kNotFound, "Not an address-book entry: " + object_dn);
}

Result<AddressEntryPtr> DirectoryAddressBook::FindByDN(std::string_view dn) {
  if (dn.empty()) return Status(err::kNotFound, "No address-book entry for an empty name");
  std::string folded;
  const std::string_view key = FoldedKey(dn, folded);
  auto not_found = [&] {
    return Status(err::kNotFound,
                  "No address-book entry with the distinguished name " + std::string(dn));
  };
  if (std::optional<AddressEntryPtr> cached = by_legacy_dn_.Find(key)) {
    if (*cached == nullptr) return not_found();
    return *cached;
  }
  // Not seen by this DN yet, so most likely not seen at all: read the objects whole in the
  // one search instead of asking for their names and reading each afterwards.
  Result<std::vector<SharedDirectoryEntry>> found =
      SearchShared(*lookups_, base_dn_, SearchScope::kSubtree,
                   EqualityFilter("legacyExchangeDN", std::string(dn)), EntryAttributes());
  if (!found.ok()) return found.status();
  std::vector<AddressEntryPtr> entries;
  for (SharedDirectoryEntry& object : *found) {
    Result<EntryFacts> facts = FactsOf(*object);
    if (facts.ok()) entries.push_back(MakeEntry(std::move(object), std::move(facts).value()));
  }
  // The directory compares ignoring case already; checking again keeps a case-exact server
  // from changing the answer, and drops objects that are not entries.
  for (const AddressEntryPtr& e : entries) {
    Result<std::string> type = e->Type();
    Result<std::string> address = e->Address();
    if (type.ok() && *type == "EX" && address.ok() && EqualsIgnoreCase(*address, dn)) return e;
  }
  // Known to be missing, so that asking again (a row of a hidden mailbox is asked about by
  // the other thread first) costs no second search. No entry made later can have this DN as
  // its address: the directory does not change under the run.
  by_legacy_dn_.Emplace(std::string(key), nullptr);
  return not_found();
}

Result<std::vector<AddressEntryPtr>> DirectoryAddressBook::FindByName(std::string_view name) {
  std::vector<AddressEntryPtr> named;
  if (Trim(name).empty()) return named;
  // An entry's name is its display name, or its common name when it has none.
  std::string v(name);
  Result<std::vector<std::string>> found =
      Search(AnyOfFilter(NodeList(EqualityFilter("displayName", v), EqualityFilter("cn", v))));
  if (!found.ok()) return found.status();
  Result<std::vector<AddressEntryPtr>> entries = Entries(*found);
  if (!entries.ok()) return entries.status();
  for (const AddressEntryPtr& e : *entries) {
    Result<std::string> entry_name = e->Name();
    if (entry_name.ok() && EqualsIgnoreCase(*entry_name, name)) named.push_back(e);
  }
  return named;
}

AddressEntryPtr DirectoryAddressBook::OneOff(std::string_view address) {
  EntryFacts f;
  f.type = "SMTP";
  f.address = std::string(address);
  f.name = std::string(address);
  f.display_type = kDtMailUser;
  f.entry_id = BytesToHex(EncodeOneOffEntryId(f.name, f.type, f.address));
  return std::make_shared<OneOffAddressEntry>(std::move(f));
}

Result<AddressEntryPtr> DirectoryAddressBook::ResolveSmtp(std::string_view address,
                                                          std::string_view name) {
  if (address.empty()) return Unresolved(name);
  std::string v(address);
  // Both prefix spellings are asked for so that a server whose proxyAddresses match is
  // case-exact still finds primary and secondary addresses.
  Result<std::vector<std::string>> found = Search(
      AnyOfFilter(NodeList(EqualityFilter("mail", v), EqualityFilter("proxyAddresses", "smtp:" + v),
                           EqualityFilter("proxyAddresses", "SMTP:" + v))));
  if (!found.ok()) return found.status();
  Result<std::vector<AddressEntryPtr>> entries = Entries(*found);
  if (!entries.ok()) return entries.status();
  std::vector<AddressEntryPtr> matches;
  for (const AddressEntryPtr& e : *entries) {
    const auto& d = static_cast<const DirectoryAddressEntry&>(*e);
    if (HasSmtpAddress(d.directory_entry(), address)) matches.push_back(e);
  }
  if (matches.size() == 1) return matches.front();
  if (matches.size() > 1) {
    return Status(err::kAmbiguous, "The name is ambiguous: " + std::string(name) + " (" +
                                       std::to_string(matches.size()) + " entries)");
  }
  if (IsSmtpAddressShaped(address)) return OneOff(address);
  return Unresolved(name);
}

Result<AddressEntryPtr> DirectoryAddressBook::ResolveAnr(std::string_view text,
                                                         std::string_view name) {
  bool exact_only = false;
  std::string value(text);
  if (StartsWith(value, "=")) {
    exact_only = true;
    value = Trim(value.substr(1));
  }
  if (value.empty()) return Unresolved(name);
  // One filter per phase: exact values, then prefixes. A value with blanks also tries every
  // split into given name + surname and surname + given name.
  auto filter = [&value](bool prefix) {
    auto match = [prefix](const char* attribute, const std::string& v) {
      return prefix ? PrefixFilter(attribute, v) : EqualityFilter(attribute, v);
    };
    std::vector<FilterNode> any;
    any.reserve(5 + 2 * static_cast<size_t>(std::count(value.begin(), value.end(), ' ')));
    for (const std::string& attribute : AnrAttributes()) {
      any.push_back(match(attribute.c_str(), value));
    }
    // An Exchange distinguished name resolves by its legacyExchangeDN, and only exactly.
    if (!prefix) any.push_back(EqualityFilter("legacyExchangeDN", value));
    for (size_t i = value.find(' '); i != std::string::npos; i = value.find(' ', i + 1)) {
      std::string left = Trim(std::string_view(value).substr(0, i));
      std::string right = Trim(std::string_view(value).substr(i + 1));
      if (left.empty() || right.empty()) continue;
      // The first part is matched exactly in the prefix phase too: "Ann Sm" means given name
      // Ann and a surname beginning Sm.
      any.push_back(AllOfFilter(NodeList(EqualityFilter("givenName", left), match("sn", right))));
      any.push_back(AllOfFilter(NodeList(EqualityFilter("sn", left), match("givenName", right))));
    }
    return AnyOfFilter(std::move(any));
  };
  for (bool prefix : {false, true}) {
    if (prefix && exact_only) break;
    Result<std::vector<std::string>> found = Search(filter(prefix));
    if (!found.ok()) return found.status();
    Result<std::vector<AddressEntryPtr>> matches = Entries(*found);
    if (!matches.ok()) return matches.status();
    if (matches->size() == 1) return matches->front();
    if (matches->size() > 1) {
      return Status(err::kAmbiguous, "The name is ambiguous: " + std::string(name) + " (" +
                                         std::to_string(matches->size()) + " entries)");
    }
  }
  return Unresolved(name);
}

Result<AddressEntryPtr> DirectoryAddressBook::ResolveName(std::string_view name) {
  // A run resolves the same address several times (registration, proxy lists, GAL pass);
  // the directory does not change meanwhile, so an answer, found or not, stands. Failures
  // of the directory itself are not kept: the next attempt may succeed.
  if (std::optional<Result<AddressEntryPtr>> known = resolved_.Find(name)) return *known;
  std::string key(name);
  // "SMTP:a@b.c" and "a@b.c" are one search for one address: an entry found for the one is
  // the entry for the other. (A failure is kept per text only: its message names the text.)
  std::optional<std::string> smtp_key = SmtpKey(name);
  if (smtp_key) {
    if (std::optional<AddressEntryPtr> same = resolved_by_smtp_.Find(*smtp_key)) {
      return resolved_.Emplace(std::move(key), *same);
    }
  }
  std::optional<std::string> anr_key = smtp_key ? std::nullopt : AnrKey(name);
  if (anr_key) {
    if (std::optional<AddressEntryPtr> same = resolved_by_folded_name_.Find(*anr_key)) {
      return resolved_.Emplace(std::move(key), *same);
    }
  }
  Result<AddressEntryPtr> answer = ResolveUncached(name);
  const bool lasting = answer.ok() || answer.status().number() == err::kUnresolved ||
                       answer.status().number() == err::kAmbiguous;
  if (!lasting) return answer;
  // Where the other thread kept an answer first, that one is handed out: equal to this one,
  // and the same object as every later call gets.
  Result<AddressEntryPtr> kept = resolved_.Emplace(std::move(key), std::move(answer));
  if (kept.ok() && smtp_key) resolved_by_smtp_.Emplace(std::move(*smtp_key), *kept);
  if (kept.ok() && anr_key) resolved_by_folded_name_.Emplace(std::move(*anr_key), *kept);
  return kept;
}

std::optional<std::string> DirectoryAddressBook::AnrKey(std::string_view name) {
  std::string text = Trim(name);
  if (text.empty() || StartsWithIgnoreCase(text, "EX:") || StartsWithIgnoreCase(text, "SMTP:") ||
      IsSmtpAddressShaped(text)) {
    return std::nullopt;
  }
  return FoldCase(text);
}

std::optional<std::string> DirectoryAddressBook::SmtpKey(std::string_view name) {
  std::string text = Trim(name);
  if (StartsWithIgnoreCase(text, "SMTP:")) {
    std::string address = Trim(std::string_view(text).substr(5));
    if (address.empty()) return std::nullopt;
    return address;
  }
  if (!StartsWithIgnoreCase(text, "EX:") && IsSmtpAddressShaped(text)) return text;
  return std::nullopt;
}

Result<AddressEntryPtr> DirectoryAddressBook::ResolveUncached(std::string_view name) {
  std::string text = Trim(name);
  if (text.empty()) return Unresolved(name);
  if (StartsWithIgnoreCase(text, "EX:")) {
    Result<AddressEntryPtr> e = FindByDN(Trim(std::string_view(text).substr(3)));
    if (!e.ok() && e.status().number() == err::kNotFound) return Unresolved(name);
    return e;
  }
  if (StartsWithIgnoreCase(text, "SMTP:")) {
    return ResolveSmtp(Trim(std::string_view(text).substr(5)), name);
  }
  if (IsSmtpAddressShaped(text)) return ResolveSmtp(text, name);
  return ResolveAnr(text, name);
}

Result<AddressEntryPtr> DirectoryAddressBook::GetEntry(std::string_view entry_id) {
  Result<std::vector<uint8_t>> bytes = HexToBytes(entry_id);
  if (!bytes.ok()) return bytes.status();
  Result<DecodedEntryId> decoded = DecodeEntryId(*bytes);
  if (!decoded.ok()) return decoded.status();
  if (const auto* ab = std::get_if<AddressBookEntryId>(&*decoded)) return FindByDN(ab->dn);
  const auto& one_off = std::get<OneOffEntryId>(*decoded);
  std::string id = UpperCase(entry_id);
  // A directory object without an Exchange DN hands out a one-off ID; give back the
  // directory entry (with its properties) when that object is still there.
  if (EqualsIgnoreCase(one_off.address_type, "SMTP")) {
    Result<std::vector<std::string>> found = Search(EqualityFilter("mail", one_off.address));
    if (!found.ok()) return found.status();
    Result<std::vector<AddressEntryPtr>> entries = Entries(*found);
    if (!entries.ok()) return entries.status();
    for (const AddressEntryPtr& e : *entries) {
      Result<std::string> eid = e->ID();
      if (eid.ok() && *eid == id) return e;
    }
  }
  EntryFacts f;
  f.type = one_off.address_type;
  f.address = one_off.address;
  f.name = one_off.display_name;
  f.display_type = kDtMailUser;
  f.entry_id = id;
  return AddressEntryPtr(std::make_shared<OneOffAddressEntry>(std::move(f)));
}

bool DirectoryAddressBook::OutsideBase(std::string_view object_dn) const {
  const Schema& schema = *Schema::Builtin();
  std::optional<ParsedDn> dn = ParseDn(object_dn, schema);
  std::optional<ParsedDn> base = ParseDn(base_dn_, schema);
  if (!dn || !base) return false;
  return dn->rdns.size() < base->rdns.size() ||
         !std::equal(base->rdns.rbegin(), base->rdns.rend(), dn->rdns.rbegin());
}

}  // namespace

const std::vector<std::string>& LookupAttributes() {
  static const std::vector<std::string> kAttributes = {"legacyExchangeDN",
                                                       "mail",
                                                       "proxyAddresses",
                                                       "displayName",
                                                       "mailNickname",
                                                       "givenName",
                                                       "sn",
                                                       "cn"};
  return kAttributes;
}

std::shared_ptr<AddressBook> MakeDirectoryAddressBook(std::shared_ptr<Directory> directory,
                                                      std::string base_dn,
                                                      std::shared_ptr<Directory> lookups) {
  // Every look-up tests these; a directory that indexes on demand can do it while the
  // address book is opened (on the session's own thread) rather than at the first names.
  if (auto* hints = dynamic_cast<SearchHints*>((lookups ? lookups : directory).get())) {
    hints->ExpectEqualitySearches({"legacyExchangeDN", "mail", "proxyAddresses", "displayName",
                                   "mailNickname", "givenName", "sn"});
  }
  return std::make_shared<DirectoryAddressBook>(std::move(directory), std::move(base_dn),
                                                std::move(lookups));
}

}  // namespace testqav
