// In-memory model of one message store held in a JSON file (a mailbox or the public folder
// store), its loader and its atomic write-back. The format is described in
// docs/mailbox-store.md; the loader accepts exactly what
// schemas/mailbox-store.schema.json allows, plus the rules listed there that a schema cannot
// express (unique entry IDs, the file's role).
#pragma once

#include <array>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "platform/common/hex.h"
#include "platform/common/status.h"
#include "platform/common/text.h"

namespace testqav::mailbox {

// MAPI property types the store keeps.
inline constexpr uint16_t kTypeInt16 = 0x0002;
inline constexpr uint16_t kTypeInt32 = 0x0003;
inline constexpr uint16_t kTypeBoolean = 0x000B;
inline constexpr uint16_t kTypeString8 = 0x001E;
inline constexpr uint16_t kTypeUnicode = 0x001F;
inline constexpr uint16_t kTypeTime = 0x0040;
inline constexpr uint16_t kTypeBinary = 0x0102;
inline constexpr uint16_t kTypeMulti = 0x1000;

// Property IDs that are message members rather than stored properties.
inline constexpr uint16_t kIdMessageClass = 0x001A;
inline constexpr uint16_t kIdSubject = 0x0037;
inline constexpr uint16_t kIdConversationTopic = 0x0070;
inline constexpr uint16_t kIdEntryId = 0x0FFF;
inline constexpr uint16_t kIdLastModificationTime = 0x3008;
inline constexpr uint16_t kIdLongtermEntryIdFromTable = 0x6670;
inline constexpr uint16_t kFirstNamedId = 0x8000;
inline constexpr uint16_t kLastNamedId = 0xFFFE;

inline constexpr size_t kFolderEntryIdBytes = 46;
inline constexpr size_t kMessageEntryIdBytes = 70;

// Provider UID of the public folder store.
inline constexpr std::array<uint8_t, 16> kPublicStoreProviderUid = {
    0x1A, 0x44, 0x73, 0x90, 0xAA, 0x66, 0x11, 0xCD, 0x9B, 0xC8, 0x00, 0xAA, 0x00, 0x2F, 0xC4, 0x5A};

// Names of the interpersonal-message root below each store's root folder, and of the
// mailbox's default folder below that root.
inline constexpr std::string_view kMailboxIpmRootName = "Top of Information Store";
inline constexpr std::string_view kPublicIpmRootName = "All Public Folders";
inline constexpr std::string_view kInboxName = "Inbox";

// One value: `num` holds integers, Booleans (0/1) and times (Unix milliseconds, UTC);
// `text` holds strings (UTF-8) and binary values (raw bytes).
struct Scalar {
  int64_t num = 0;
  std::string text;
  bool operator==(const Scalar&) const = default;
};

struct Prop {
  uint32_t tag = 0;  // id << 16 | type; named properties carry their mapped ID
  Scalar value;      // single-valued types
  // Multi-valued types (type & kTypeMulti). Held apart, since few properties have them and a
  // store holds a property list per message.
  std::unique_ptr<std::vector<Scalar>> multi;
  uint16_t id() const { return static_cast<uint16_t>(tag >> 16); }
  uint16_t type() const { return static_cast<uint16_t>(tag & 0xFFFF); }
  // The values of a multi-valued property (empty when it has none).
  const std::vector<Scalar>& values() const;
};

struct FolderRec;

struct RecipientRec;

// Text that many messages have alike (class, subject): the loader keeps one copy per run of
// equal values, shared by the records that have it. Immutable: assign a new one to change it.
class SharedText {
 public:
  SharedText() = default;
  explicit SharedText(std::string_view text) : text_(std::make_shared<const std::string>(text)) {}
  const std::string& str() const { return text_ ? *text_ : Empty(); }

 private:
  static const std::string& Empty();
  std::shared_ptr<const std::string> text_;
};

struct MessageRec : std::enable_shared_from_this<MessageRec> {
  std::string entry_id;  // upper-case hex; empty until the message is first saved
  SharedText message_class;
  SharedText subject;
  std::optional<std::string> topic;    // absent: the subject serves as topic
  std::optional<int64_t> modified_ms;  // last-modification time, Unix ms UTC
  std::vector<Prop> props;             // named and tagged properties, file order
  FolderRec* folder = nullptr;         // null while unsaved or after deletion
  bool deleted = false;
  std::vector<std::shared_ptr<RecipientRec>> recipients;  // never stored in the file

  const std::string& Topic() const { return topic ? *topic : subject.str(); }
  const Prop* FindProp(uint16_t id) const;
  Prop* FindProp(uint16_t id);
};

struct FolderRec : std::enable_shared_from_this<FolderRec> {
  std::string name;
  std::string entry_id;  // upper-case hex
  FolderRec* parent = nullptr;
  std::vector<std::shared_ptr<FolderRec>> folders;
  std::vector<std::shared_ptr<MessageRec>> messages;
  uint64_t version = 0;  // changes whenever the message list changes
};

// Key of a named property: its set (canonical "{GUID}" upper case) and its name or number.
struct NamedKey {
  std::string set;
  bool numeric = false;
  std::string name;
  uint32_t number = 0;
};

// Maps named properties to property IDs, first come first served, as a store does.
class NamedRegistry {
 public:
  // The mapped ID, created when `create` is set and none exists; 0 when there is none (or
  // when the ID space is exhausted).
  uint16_t Lookup(const NamedKey& key, bool create);
  // The key of a mapped ID; nullptr when the ID is not mapped.
  const NamedKey* KeyOf(uint16_t id) const;

 private:
  // Writes the key's canonical text to canonical_ (reused: a store file names the same few
  // properties on every message).
  std::string_view Canonical(const NamedKey& key);
  TextMap<uint16_t> ids_;
  std::vector<NamedKey> keys_;  // index = id - kFirstNamedId
  std::string canonical_;
};

struct StoreData {
  std::filesystem::path file;
  bool is_public = false;
  bool open = true;  // false after logoff: handles report kNotLoggedOn
  // The store file, opened and flock-ed for the session; WriteBack moves the lock to the
  // file it renames into place.
  mutable int lock_fd = -1;
  // Changes stay in memory: WriteBack succeeds without touching the file (a dry run).
  bool keep_in_memory = false;
  std::string display_name;
  std::array<uint8_t, 16> guid{};           // the store's GUID (mailbox: its provider UID)
  std::array<uint8_t, 16> provider_uid{};   // goes into every entry ID
  std::array<uint8_t, 16> database_guid{};  // derived from the GUID
  std::string store_id;                     // upper-case hex
  std::shared_ptr<FolderRec> root;
  FolderRec* ipm_root = nullptr;
  FolderRec* inbox = nullptr;  // mailbox only
  // Upper-case hex ID -> object. The keys view the records' own `entry_id`, so that a
  // hundred thousand IDs are not held twice: erase an entry before changing its record's ID,
  // and insert the record's own string, never a copy.
  std::unordered_map<std::string_view, FolderRec*> folder_index;
  std::unordered_map<std::string_view, MessageRec*> message_index;
  NamedRegistry named;

  ~StoreData();
  // Releases the lock and marks every handle as logged off.
  void Close();

  FolderRec* FindFolder(std::string_view entry_id) const;
  MessageRec* FindMessage(std::string_view entry_id) const;
  // Fresh IDs for objects created at run time (unique within the store).
  std::string NewFolderId();
  std::string NewMessageId(const FolderRec& folder);
  // The message ID a message gets in `folder`, keeping its own counter.
  std::string MessageIdInFolder(const std::string& message_id, const FolderRec& folder) const;
  // Writes the whole store to its file atomically (temporary file, fsync, rename, fsync of
  // the folder). The temporary file is locked before it is renamed, so the store's name
  // never leads to an unlocked file while the session holds it. Errors: kDiskError with the
  // system's error text. With keep_in_memory it does nothing and succeeds.
  Status WriteBack() const;
};

// The steps of WriteBack after which the disk holds something new, in order. A piece of the
// text may be written several times; the others happen once per write-back.
enum class WriteBackStep { kPieceWritten, kFlushed, kLocked, kRenamed, kFolderFlushed };
// Called after each step when set (null by default). The crash tests end the process there, to
// see the store file after a crash at every step instead of wherever a random kill lands.
using WriteBackStepHook = void (*)(WriteBackStep step);
void SetWriteBackStepHook(WriteBackStepHook hook);

// The largest store file that is loaded.
inline constexpr uint64_t kMaxStoreFileBytes = uint64_t{4} << 30;

// Loads a store file. `is_public` is the file's role (public.json); `guid_seed` is what a
// GUID is derived from when the file has none. Errors: kLogonFailed "<file>:<line>:<column>:
// <what>" for input that is not JSON or breaks the format, and "cannot read store file ..."
// for a file that cannot be read, is not a regular file or is larger than kMaxStoreFileBytes.
// A UTF-8 byte-order mark at the start (as Windows editors write one) is skipped.
Result<std::unique_ptr<StoreData>> LoadStore(const std::filesystem::path& file, bool is_public,
                                             std::string_view guid_seed);

// The file's canonical text (what WriteBack writes).
std::string SerializeStore(const StoreData& store);
// The same text appended to `out`, which `spill` (when set) may empty along the way: it is
// called between messages once `out` holds kSpillBytes or more.
using TextSpill = std::function<void(std::string&)>;
inline constexpr size_t kSpillBytes = size_t{1} << 20;
void SerializeStoreTo(const StoreData& store, std::string& out, const TextSpill& spill);

// Helpers shared by the loader, writer and session (hexadecimal text: platform/common/hex.h).
// "YYYY-MM-DDTHH:MM:SS[.fff]Z" <-> Unix milliseconds.
bool ParseIsoTime(std::string_view text, int64_t* unix_ms);
std::string FormatIsoTime(int64_t unix_ms);
// "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}" in upper case; false when not a GUID text.
bool CanonicalGuidText(std::string_view text, std::string* canonical);
// The entry ID layouts (hexadecimal text): a folder's and a message's ID with the given
// 48-bit counter, which gives an object without a stored ID the same ID on every load.
std::string MakeFolderEntryId(const StoreData& s, uint64_t counter);
std::string MakeMessageEntryId(const StoreData& s, const std::string& folder_id, uint64_t counter);
// The 48-bit counter derived from `seed` (or from its hash).
uint64_t Counter48(std::string_view seed);
uint64_t Counter48FromHash(uint64_t hash);
// Replaces the counter digits of a folder or message entry ID in place.
void SetIdCounter(std::string* entry_id, uint64_t counter);
// 64-bit FNV-1a, the one hash behind every derived ID.
uint64_t Fnv1a(std::string_view data, uint64_t seed = 0xcbf29ce484222325ULL);

}  // namespace testqav::mailbox
