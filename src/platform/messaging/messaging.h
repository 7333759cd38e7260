// Messaging session: what the system calls on the messaging library (session, info stores,
// folders, message collections, messages, recipients, address entries) and on the agent's
// helper library (its session, folder, table, filter and utilities objects). Every member
// returns its value or an error with a number and a description; an object reference that
// the original would leave unset is an error result here.
//
// Entry IDs and store IDs are upper-case hexadecimal texts. Property tags are MAPI tags
// (id << 16 | type). Property values map to Variant as follows: PT_STRING8/PT_UNICODE
// (0x1E/0x1F) -> String, PT_I2 (0x02) -> Integer, PT_LONG (0x03) -> Long, PT_BOOLEAN (0x0B)
// -> Boolean, PT_SYSTIME (0x40) -> Date, PT_BINARY (0x102) -> Variant() of Byte from table
// rows and the helper library, upper-case hexadecimal String from message Fields (as the
// messaging library gives binary fields), multi-valued (0x1000 | type) -> Variant() of the
// element values.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/common/error_codes.h"
#include "platform/common/status.h"
#include "platform/common/variant.h"

namespace testqav {

class Directory;
class Session;
class InfoStore;
class Folder;
class Folders;
class Messages;
class Message;
class Recipients;
class Recipient;
class AddressEntry;
class AddressEntries;
class Table;
class TableFilter;
class Restriction;
class HelperSession;
class MapiUtils;

using SessionPtr = std::shared_ptr<Session>;
using InfoStorePtr = std::shared_ptr<InfoStore>;
using FolderPtr = std::shared_ptr<Folder>;
using FoldersPtr = std::shared_ptr<Folders>;
using MessagesPtr = std::shared_ptr<Messages>;
using MessagePtr = std::shared_ptr<Message>;
using RecipientsPtr = std::shared_ptr<Recipients>;
using RecipientPtr = std::shared_ptr<Recipient>;
using AddressEntryPtr = std::shared_ptr<AddressEntry>;
using AddressEntriesPtr = std::shared_ptr<AddressEntries>;
using TablePtr = std::shared_ptr<Table>;
using TableFilterPtr = std::shared_ptr<TableFilter>;
using RestrictionPtr = std::shared_ptr<Restriction>;
using HelperSessionPtr = std::shared_ptr<HelperSession>;
using MapiUtilsPtr = std::shared_ptr<MapiUtils>;

// Property sets by their GUID text.
inline constexpr std::string_view kPsPublicStrings = "{00020329-0000-0000-C000-000000000046}";
inline constexpr std::string_view kPsetidAddress = "{00062004-0000-0000-C000-000000000046}";
// The set that Fields(name) and AddField(name, ...) use when no set is named.
inline constexpr std::string_view kDefaultNamedSet = kPsPublicStrings;

// Property tags the system uses.
inline constexpr uint32_t kPrMessageClass = 0x001A001E;
inline constexpr uint32_t kPrSubject = 0x0037001E;
inline constexpr uint32_t kPrConversationTopic = 0x0070001E;
inline constexpr uint32_t kPrEntryId = 0x0FFF0102;
inline constexpr uint32_t kPrLastModificationTime = 0x30080040;
inline constexpr uint32_t kPrLongtermEntryIdFromTable = 0x66700102;
inline constexpr uint32_t kPrIpmPublicFoldersEntryId = 0x66310102;

// Message collection filter (the messaging library's message filter object). Unset members
// do not restrict. Message class compares ignoring case; subject compares as a whole text
// ignoring case. With `negate` the selection is every message that the other members would
// not select.
struct MessageFilter {
  std::optional<std::string> type;
  std::optional<std::string> subject;
  bool negate = false;
};

class Session {
 public:
  virtual ~Session() = default;
  // ProfileInfo = server + "\n" + alias. Errors: kLogonFailed for an unknown server or alias,
  // a store file that cannot be read, or a store held by another run (the description says
  // which, and names the file and line of bad input).
  virtual Status Logon(std::string_view profile_info) = 0;
  // Releases the stores (and their locks). Nothing pending is lost: every change has been
  // written back when the call that made it returned.
  virtual Status Logoff() = 0;
  virtual bool LoggedOn() const = 0;

  virtual Result<std::vector<InfoStorePtr>> InfoStores() = 0;
  // "" gives the default (mailbox) store.
  virtual Result<InfoStorePtr> GetInfoStore(std::string_view store_id) = 0;
  // GetFolder("", "") is the mailbox's root folder. With an empty store ID the default store
  // is searched. kNotFound when no such folder exists there.
  virtual Result<FolderPtr> GetFolder(std::string_view entry_id, std::string_view store_id) = 0;
  virtual Result<MessagePtr> GetMessage(std::string_view entry_id, std::string_view store_id) = 0;
  // True when the two IDs name the same object (hex texts compared ignoring case).
  virtual Result<bool> CompareIDs(std::string_view a, std::string_view b) = 0;
  // The address-book entry with that entry ID.
  virtual Result<AddressEntryPtr> GetAddressEntry(std::string_view entry_id) = 0;
  // A default folder of the session (the Inbox), in whose Messages a scratch message is added.
  virtual Result<FolderPtr> Inbox() = 0;

  // The agent helper library's objects, attached to this session's MAPI object. Errors:
  // kNotLoggedOn before Logon.
  virtual Result<HelperSessionPtr> CreateHelperSession() = 0;
  virtual Result<MapiUtilsPtr> CreateMapiUtils() = 0;

  // Whether the session's address book can answer: OK while it can, while it is still
  // being opened (unless `wait`), and for a session that has none to open. Otherwise the
  // error that made it unavailable for the rest of the session: it could not be opened, or
  // the directory behind it was lost for good. With `wait`, an opening under way is waited
  // for. Cheap enough to ask once per item of a long loop when `wait` is false.
  virtual Status AddressBookStatus(bool /*wait*/) { return Status::Ok(); }

  // The entries of the Global Address List (the address list of that name). kNoSupport for
  // a session without an address book.
  virtual Result<AddressEntriesPtr> GalEntries() {
    return Status(err::kNoSupport, "address book not available");
  }
  // The organisation's directory that the address book is a view of: what the directory
  // provider's connections and binds reach, so that directory queries and address look-ups
  // see one organisation. kNoSupport for a session without an address book.
  virtual Result<std::shared_ptr<Directory>> OrganisationDirectory() {
    return Status(err::kNoSupport, "directory not available");
  }
};

class InfoStore {
 public:
  virtual ~InfoStore() = default;
  virtual Result<std::string> Name() const = 0;
  virtual Result<std::string> ID() const = 0;
  virtual Result<FolderPtr> RootFolder() = 0;
  // A property of the store by tag; kNotFound when the store does not have it (the public
  // folder store has 0x66310102, as hexadecimal text).
  virtual Result<Variant> Field(uint32_t tag) const = 0;
  // Helper library: the root of the interpersonal-message tree, and the store's own
  // comparison of entry IDs.
  virtual Result<FolderPtr> IpmRootFolder() = 0;
  virtual Result<bool> CompareEntryIDs(std::string_view a, std::string_view b) = 0;
};

class Folder {
 public:
  virtual ~Folder() = default;
  virtual Result<std::string> Name() const = 0;
  virtual Result<std::string> ID() const = 0;
  virtual Result<std::string> StoreID() const = 0;
  virtual Result<FoldersPtr> Folders() = 0;
  virtual Result<MessagesPtr> Messages() = 0;
  // Moves this folder below the folder `folder_id` of the same store; returns the moved
  // folder (its entry ID is kept). Written back before returning.
  virtual Result<FolderPtr> MoveTo(std::string_view folder_id, std::string_view store_id) = 0;
  // kNotFound for the store's root folder.
  virtual Result<FolderPtr> Parent() = 0;

  // Helper library folder object: the property tag (id << 16, type bits 0) of a named
  // property of this store, created on first use as MAPI does.
  virtual Result<uint32_t> GetIDFromName(std::string_view propset_guid, std::string_view name) = 0;
  virtual Result<uint32_t> GetIDFromNumericId(std::string_view propset_guid, uint32_t id) = 0;
  virtual Result<TablePtr> GetContentsTable() = 0;
};

class Folders {
 public:
  virtual ~Folders() = default;
  virtual Result<int32_t> Count() const = 0;
  // 1-based position in enumeration order.
  virtual Result<FolderPtr> Item(int32_t index) = 0;
  // By name, compared ignoring case; kNotFound when none.
  virtual Result<FolderPtr> Item(std::string_view name) = 0;
  virtual Result<std::vector<FolderPtr>> All() = 0;
  // Creates a subfolder (written back before returning). kCollision when one of that name
  // (ignoring case) exists.
  virtual Result<FolderPtr> Add(std::string_view name) = 0;
};

class Messages {
 public:
  virtual ~Messages() = default;
  virtual Status SetFilter(const MessageFilter& filter) = 0;
  virtual Status ClearFilter() = 0;
  // Count and positions are of the filtered view, in store order, and reflect deletions at
  // once (deleting position 2 moves position 3 to 2).
  virtual Result<int32_t> Count() const = 0;
  virtual Result<MessagePtr> Item(int32_t index) = 0;  // 1-based
  // The first message of the view (of class `type` when given); kNotFound when none.
  virtual Result<MessagePtr> GetFirst(std::optional<std::string_view> type = std::nullopt) = 0;
  virtual Result<std::vector<MessagePtr>> All() = 0;
  // A new message that exists only in memory until Update() saves it into the folder.
  virtual Result<MessagePtr> Add() = 0;
};

class Message {
 public:
  virtual ~Message() = default;
  virtual Result<std::string> ID() const = 0;
  virtual Result<std::string> StoreID() const = 0;
  virtual Result<std::string> Type() const = 0;  // message class
  virtual Result<std::string> Subject() const = 0;
  // A named field of the default set; kNotFound when the message does not have it.
  virtual Result<Variant> Field(std::string_view name) const = 0;
  virtual Result<Variant> Field(uint32_t tag) const = 0;
  // Adds (or replaces) a named field of the default set; type 8 is text. Saved by Update().
  virtual Status AddField(std::string_view name, int32_t type, const Variant& value) = 0;
  // Saves the message; a store message is written back before returning.
  virtual Status Update() = 0;
  // Deletes the message (a saved one is removed from its store and written back).
  virtual Status Delete() = 0;
  virtual Result<MessagePtr> MoveTo(std::string_view folder_id, std::string_view store_id) = 0;
  virtual Result<RecipientsPtr> Recipients() = 0;
};

class Recipients {
 public:
  virtual ~Recipients() = default;
  virtual Result<RecipientPtr> Add(std::string_view name) = 0;
  virtual Result<int32_t> Count() const = 0;
  virtual Result<RecipientPtr> Item(int32_t index) = 0;  // 1-based
  // Resolves every recipient not yet resolved; an unresolvable one is an error (the first).
  virtual Status Resolve(bool show_dialog) = 0;
  // True when every recipient is resolved.
  virtual Result<bool> Resolved() const = 0;
};

class Recipient {
 public:
  virtual ~Recipient() = default;
  virtual Result<std::string> Name() const = 0;
  // Resolves this recipient: "EX:" + distinguished name, "SMTP:" + address, an SMTP address,
  // or a display name or alias. Errors: kUnresolved, kAmbiguous.
  virtual Status Resolve(bool show_dialog) = 0;
  virtual Result<bool> Resolved() const = 0;
  virtual Result<AddressEntryPtr> AddressEntry() = 0;
  // The recipient's address type ("EX", "SMTP", or "" before resolution).
  virtual Result<std::string> Type() const = 0;
  // Removes the recipient from its message.
  virtual Status Delete() = 0;
};

class AddressEntry {
 public:
  virtual ~AddressEntry() = default;
  virtual Result<std::string> Type() const = 0;     // "EX", "SMTP", ...
  virtual Result<std::string> Address() const = 0;  // the distinguished name for "EX"
  virtual Result<std::string> Name() const = 0;
  virtual Result<std::string> ID() const = 0;
  virtual Result<int32_t> DisplayType() const = 0;
  // A MAPI property by tag; kNotFound when the entry does not have it. Multi-valued
  // properties come as arrays, also when read by the single-valued form of their tag.
  virtual Result<Variant> Field(uint32_t tag) const = 0;
  // Members of a list in stored order (empty for a non-list).
  virtual Result<std::vector<AddressEntryPtr>> Members() = 0;
  // The entry's SMTP address (helper library): the primary one, or "" when it has none.
  virtual Result<std::string> SmtpAddress() const = 0;
};

// The entries of an address list, found by name.
class AddressEntries {
 public:
  virtual ~AddressEntries() = default;
  // The entries whose name (AddressEntry::Name) is `name`, compared ignoring case, in the
  // directory's order; empty when there is none.
  virtual Result<std::vector<AddressEntryPtr>> ItemsNamed(std::string_view name) = 0;
};

// Helper library session, attached to the messaging session.
class HelperSession {
 public:
  virtual ~HelperSession() = default;
  // The Global Address List's single-entry look-up: the entry whose distinguished name is
  // `dn`. kNotFound when none.
  virtual Result<AddressEntryPtr> GalEntryByDN(std::string_view dn) = 0;
  // True when GalEntryByDN and ResolveRecipient may be called on another thread while the
  // session is in use.
  virtual bool ConcurrentGalLookups() { return false; }
  // The entry that a message recipient of that name resolves to, as a recipient's Resolve
  // finds it (with its errors). kNoSupport where the session cannot say.
  virtual Result<AddressEntryPtr> ResolveRecipient(std::string_view /*name*/) {
    return Status(err::kNoSupport, "recipient resolution not available");
  }
  virtual Result<AddressEntryPtr> GetAddressEntryFromID(std::string_view entry_id) = 0;
  virtual Result<FolderPtr> GetFolderFromID(std::string_view entry_id,
                                            std::string_view store_id) = 0;
  virtual Result<InfoStorePtr> GetStoreFromID(std::string_view store_id) = 0;
};

// Helper library utilities object: resolves an address text to an address-book entry.
struct UtilsEntry {
  std::string address_type;  // "EX", "SMTP", ...
  std::string entry_id;
};
class MapiUtils {
 public:
  virtual ~MapiUtils() = default;
  virtual Result<UtilsEntry> ResolveName(std::string_view text) = 0;
};

// Helper library table over a folder's contents: one row per message.
class Table {
 public:
  virtual ~Table() = default;
  virtual Result<int32_t> RowCount() const = 0;
  virtual Status SetColumns(const std::vector<uint32_t>& tags) = 0;
  // Sorts on one property; descending = true gives the greatest value first.
  virtual Status Sort(uint32_t tag, bool descending) = 0;
  virtual Status GoToFirstRow() = 0;
  // The row at the cursor as a Variant() of column values (Empty for a property the
  // message lacks) and advances; Empty after the last row.
  virtual Result<Variant> NextRow() = 0;
  // The row at the cursor without advancing; Empty past the end.
  virtual Result<Variant> CurrentRow() const = 0;
  virtual Result<TableFilterPtr> Filter() = 0;
  virtual Status Close() = 0;
};

inline constexpr int32_t kRestrictionAnd = 0;
inline constexpr int32_t kRestrictionContent = 3;
inline constexpr uint32_t kFuzzyFullStringIgnoreCase = 0x10000;

class Restriction {
 public:
  virtual ~Restriction() = default;
  virtual int32_t Kind() const = 0;
  // AND restrictions only: adds a child of the given kind.
  virtual Result<RestrictionPtr> AddChild(int32_t kind) = 0;
  // Content restrictions only.
  virtual Status SetFuzzyLevel(uint32_t level) = 0;
  virtual Status SetPropTag(uint32_t tag) = 0;
  virtual Status SetValue(const Variant& value) = 0;
};

class TableFilter {
 public:
  virtual ~TableFilter() = default;
  virtual Result<RestrictionPtr> SetRoot(int32_t kind) = 0;
  // Moves the table's cursor to the first (next) matching row; false when none.
  virtual Result<bool> FindFirst(bool forward) = 0;
  virtual Result<bool> FindNext(bool forward) = 0;
  virtual Status Clear() = 0;
};

}  // namespace testqav
