// Store model helpers: entry-ID layouts, named-property mapping, the canonical writer and the
// atomic write-back.

#include "platform/messaging/json/mailbox_store.h"
#include "platform/common/civil_date.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <random>

#include "platform/common/error_codes.h"

namespace testqav::mailbox {

uint64_t Fnv1a(std::string_view data, uint64_t seed) {
  uint64_t h = seed;
  for (char ch : data) {
    h ^= static_cast<unsigned char>(ch);
    h *= 0x100000001b3ULL;
  }
  return h;
}

// A non-zero 48-bit global counter derived from the hash of a seed text.
uint64_t Counter48FromHash(uint64_t h) {
  uint64_t c = (h ^ (h >> 48)) & 0xFFFFFFFFFFFFULL;
  return c == 0 ? 1 : c;
}

uint64_t Counter48(std::string_view seed) { return Counter48FromHash(Fnv1a(seed)); }

// Replaces the global counter of a folder or message entry ID (hex): its 12 digits stand
// before the last 4, the padding.
void SetIdCounter(std::string* entry_id, uint64_t counter) {
  static constexpr char kDigits[] = "0123456789ABCDEF";
  char* at = entry_id->data() + entry_id->size() - 16;
  for (int i = 11; i >= 0; --i, counter >>= 4) at[i] = kDigits[counter & 15];
}

namespace {
void CivilFromDays(int64_t z, int64_t* y, int64_t* m, int64_t* d) {
  z += 719468;
  int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  int64_t doe = z - era * 146097;
  int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  int64_t mp = (5 * doy + 2) / 153;
  *d = doy - (153 * mp + 2) / 5 + 1;
  *m = mp + (mp < 10 ? 3 : -9);
  *y = yoe + era * 400 + (*m <= 2);
}

bool Digits(std::string_view s, size_t pos, size_t n, int64_t* out) {
  if (pos + n > s.size()) return false;
  int64_t v = 0;
  for (size_t i = pos; i < pos + n; ++i) {
    if (s[i] < '0' || s[i] > '9') return false;
    v = v * 10 + (s[i] - '0');
  }
  *out = v;
  return true;
}
}  // namespace

bool ParseIsoTime(std::string_view t, int64_t* unix_ms) {
  int64_t y, mo, d, h, mi, s;
  if (t.size() < 20 || !Digits(t, 0, 4, &y) || t[4] != '-' || !Digits(t, 5, 2, &mo) ||
      t[7] != '-' || !Digits(t, 8, 2, &d) || t[10] != 'T' || !Digits(t, 11, 2, &h) ||
      t[13] != ':' || !Digits(t, 14, 2, &mi) || t[16] != ':' || !Digits(t, 17, 2, &s)) {
    return false;
  }
  size_t pos = 19;
  int64_t ms = 0;
  if (t[pos] == '.') {
    size_t start = ++pos;
    while (pos < t.size() && t[pos] >= '0' && t[pos] <= '9') ++pos;
    size_t n = pos - start;
    if (n == 0 || n > 9) return false;
    int64_t frac = 0;
    if (!Digits(t, start, std::min<size_t>(n, 3), &frac)) return false;
    for (size_t i = n; i < 3; ++i) frac *= 10;
    ms = frac;
  }
  if (pos + 1 != t.size() || t[pos] != 'Z') return false;
  static constexpr int kMonthDays[] = {31, 29, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  if (y < 1601 || mo < 1 || mo > 12 || d < 1 || d > kMonthDays[mo - 1] || h > 23 || mi > 59 ||
      s > 59) {
    return false;
  }
  bool leap = (y % 4 == 0 && y % 100 != 0) || y % 400 == 0;
  if (mo == 2 && d == 29 && !leap) return false;
  *unix_ms = ((DaysFromCivil(y, mo, d) * 24 + h) * 60 + mi) * 60000 + s * 1000 + ms;
  return true;
}

std::string FormatIsoTime(int64_t unix_ms) {
  int64_t ms = unix_ms % 1000;
  int64_t secs = unix_ms / 1000;
  if (ms < 0) {
    ms += 1000;
    --secs;
  }
  int64_t days = secs / 86400;
  int64_t rem = secs % 86400;
  if (rem < 0) {
    rem += 86400;
    --days;
  }
  int64_t y, m, d;
  CivilFromDays(days, &y, &m, &d);
  char buf[96];
  if (ms == 0) {
    std::snprintf(buf, sizeof buf, "%04lld-%02lld-%02lldT%02lld:%02lld:%02lldZ",
                  static_cast<long long>(y), static_cast<long long>(m), static_cast<long long>(d),
                  static_cast<long long>(rem / 3600), static_cast<long long>(rem / 60 % 60),
                  static_cast<long long>(rem % 60));
  } else {
    std::snprintf(buf, sizeof buf, "%04lld-%02lld-%02lldT%02lld:%02lld:%02lld.%03lldZ",
                  static_cast<long long>(y), static_cast<long long>(m), static_cast<long long>(d),
                  static_cast<long long>(rem / 3600), static_cast<long long>(rem / 60 % 60),
                  static_cast<long long>(rem % 60), static_cast<long long>(ms));
  }
  return buf;
}

bool CanonicalGuidText(std::string_view t, std::string* canonical) {
  if (t.size() != 38 || t.front() != '{' || t.back() != '}') return false;
  std::string out = "{";
  for (size_t i = 1; i < 37; ++i) {
    char c = t[i];
    bool dash_pos = i == 9 || i == 14 || i == 19 || i == 24;
    if (dash_pos) {
      if (c != '-') return false;
      out.push_back('-');
      continue;
    }
    int v = HexDigitValue(c);
    if (v < 0) return false;
    out.push_back("0123456789ABCDEF"[v]);
  }
  out.push_back('}');
  *canonical = std::move(out);
  return true;
}

const std::string& SharedText::Empty() {
  static const std::string empty;
  return empty;
}

const std::vector<Scalar>& Prop::values() const {
  static const std::vector<Scalar> none;
  return multi ? *multi : none;
}

const Prop* MessageRec::FindProp(uint16_t id) const {
  for (const Prop& p : props) {
    if (p.id() == id) return &p;
  }
  return nullptr;
}

Prop* MessageRec::FindProp(uint16_t id) {
  for (Prop& p : props) {
    if (p.id() == id) return &p;
  }
  return nullptr;
}

std::string_view NamedRegistry::Canonical(const NamedKey& key) {
  canonical_.assign(key.set);
  if (key.numeric) {
    canonical_ += '#';
    canonical_ += std::to_string(key.number);
  } else {
    canonical_ += '$';
    canonical_ += key.name;
  }
  return canonical_;
}

uint16_t NamedRegistry::Lookup(const NamedKey& key, bool create) {
  std::string_view k = Canonical(key);
  auto it = ids_.find(k);
  if (it != ids_.end()) return it->second;
  if (!create || keys_.size() > static_cast<size_t>(kLastNamedId - kFirstNamedId)) return 0;
  auto id = static_cast<uint16_t>(kFirstNamedId + keys_.size());
  ids_.emplace(std::string(k), id);
  keys_.push_back(key);
  return id;
}

const NamedKey* NamedRegistry::KeyOf(uint16_t id) const {
  if (id < kFirstNamedId || static_cast<size_t>(id - kFirstNamedId) >= keys_.size()) {
    return nullptr;
  }
  return &keys_[id - kFirstNamedId];
}

namespace {
std::string Bytes16(const std::array<uint8_t, 16>& a) {
  return std::string(reinterpret_cast<const char*>(a.data()), a.size());
}
std::string CounterBytes(uint64_t counter) {
  // Global counters are stored big-endian, as the server writes them.
  std::string out(6, '\0');
  for (int i = 0; i < 6; ++i)
    out[static_cast<size_t>(i)] = static_cast<char>(counter >> (8 * (5 - i)));
  return out;
}
std::string TypeBytes(uint16_t type) {
  return std::string{static_cast<char>(type & 0xFF), static_cast<char>(type >> 8)};
}
}  // namespace

std::string MakeFolderEntryId(const StoreData& s, uint64_t counter) {
  std::string b(4, '\0');
  b += Bytes16(s.provider_uid);
  b += TypeBytes(s.is_public ? 3 : 1);
  b += Bytes16(s.database_guid);
  b += CounterBytes(counter);
  b += std::string(2, '\0');
  return HexUpper(b);
}

std::string MakeMessageEntryId(const StoreData& s, const std::string& folder_id, uint64_t counter) {
  std::string b(4, '\0');
  b += Bytes16(s.provider_uid);
  b += TypeBytes(s.is_public ? 9 : 7);
  std::string folder_bytes;
  DecodeHex(folder_id, &folder_bytes);
  b += folder_bytes.substr(22, 24);  // the folder's database GUID, counter and pad
  b += Bytes16(s.database_guid);
  b += CounterBytes(counter);
  b += std::string(2, '\0');
  return HexUpper(b);
}

StoreData::~StoreData() { Close(); }

void StoreData::Close() {
  open = false;
  if (lock_fd >= 0) {
    ::close(lock_fd);  // closing the descriptor releases the flock
    lock_fd = -1;
  }
}

FolderRec* StoreData::FindFolder(std::string_view entry_id) const {
  std::string key(entry_id);
  for (char& c : key) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  auto it = folder_index.find(key);
  return it == folder_index.end() ? nullptr : it->second;
}

MessageRec* StoreData::FindMessage(std::string_view entry_id) const {
  std::string key(entry_id);
  for (char& c : key) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  auto it = message_index.find(key);
  return it == message_index.end() ? nullptr : it->second;
}

namespace {
uint64_t RandomCounter() {
  static std::mt19937_64 rng{std::random_device{}()};
  uint64_t c = rng() & 0xFFFFFFFFFFFFULL;
  return c == 0 ? 1 : c;
}
}  // namespace

std::string StoreData::NewFolderId() {
  for (;;) {
    std::string id = MakeFolderEntryId(*this, RandomCounter());
    if (!folder_index.count(id)) return id;
  }
}

std::string StoreData::NewMessageId(const FolderRec& folder) {
  for (;;) {
    std::string id = MakeMessageEntryId(*this, folder.entry_id, RandomCounter());
    if (!message_index.count(id)) return id;
  }
}

std::string StoreData::MessageIdInFolder(const std::string& message_id,
                                         const FolderRec& folder) const {
  // Keep flags, provider, type and the message's own database GUID and counter; replace the
  // folder part (hex digits 44..91).
  std::string folder_part = folder.entry_id.substr(44, 48);
  std::string out = message_id;
  out.replace(44, 48, folder_part);
  return out;
}

// ---------------------------------------------------------------------------------------
// Writer

namespace {

void AppendString(std::string& out, std::string_view s) {
  out.push_back('"');
  for (char ch : s) {
    auto c = static_cast<unsigned char>(ch);
    switch (c) {
      case '"':
        out += "\\\"";
        break;
      case '\\':
        out += "\\\\";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\r':
        out += "\\r";
        break;
      case '\t':
        out += "\\t";
        break;
      case '\b':
        out += "\\b";
        break;
      case '\f':
        out += "\\f";
        break;
      default:
        if (c < 0x20) {
          char buf[8];
          std::snprintf(buf, sizeof buf, "\\u%04X", c);
          out += buf;
        } else {
          out.push_back(ch);
        }
    }
  }
  out.push_back('"');
}

void Indent(std::string& out, int depth) { out.append(static_cast<size_t>(depth) * 2, ' '); }

void Member(std::string& out, int depth, std::string_view key, bool first) {
  if (!first) out += ",\n";
  Indent(out, depth);
  AppendString(out, key);
  out += ": ";
}

std::string TypeName(uint16_t type) {
  switch (type) {
    case kTypeString8:
      return "string";
    case kTypeInt16:
      return "int16";
    case kTypeInt32:
      return "int32";
    case kTypeBoolean:
      return "boolean";
    case kTypeTime:
      return "time";
    case kTypeBinary:
      return "binary";
    case kTypeMulti | kTypeString8:
      return "multiString";
    case kTypeMulti | kTypeInt16:
      return "multiInt16";
    case kTypeMulti | kTypeInt32:
      return "multiInt32";
    case kTypeMulti | kTypeTime:
      return "multiTime";
    case kTypeMulti | kTypeBinary:
      return "multiBinary";
    default:
      return "string";
  }
}

void AppendScalar(std::string& out, uint16_t base, const Scalar& v) {
  switch (base) {
    case kTypeInt16:
    case kTypeInt32:
      out += std::to_string(v.num);
      break;
    case kTypeBoolean:
      out += v.num ? "true" : "false";
      break;
    case kTypeTime:
      AppendString(out, FormatIsoTime(v.num));
      break;
    case kTypeBinary:
      AppendString(out, HexUpper(v.text));
      break;
    default:
      AppendString(out, v.text);
  }
}

void AppendValue(std::string& out, const Prop& p) {
  uint16_t base = p.type() & static_cast<uint16_t>(~kTypeMulti);
  if (!(p.type() & kTypeMulti)) {
    AppendScalar(out, base, p.value);
    return;
  }
  out.push_back('[');
  const std::vector<Scalar>& values = p.values();
  for (size_t i = 0; i < values.size(); ++i) {
    if (i) out += ", ";
    AppendScalar(out, base, values[i]);
  }
  out.push_back(']');
}

void AppendMessage(std::string& out, const StoreData& s, const MessageRec& m, int depth) {
  Indent(out, depth);
  out += "{\n";
  Member(out, depth + 1, "entryId", true);
  AppendString(out, m.entry_id);
  Member(out, depth + 1, "class", false);
  AppendString(out, m.message_class.str());
  Member(out, depth + 1, "subject", false);
  AppendString(out, m.subject.str());
  if (m.topic) {
    Member(out, depth + 1, "topic", false);
    AppendString(out, *m.topic);
  }
  if (m.modified_ms) {
    Member(out, depth + 1, "lastModified", false);
    AppendString(out, FormatIsoTime(*m.modified_ms));
  }
  bool any_named = false, any_tagged = false;
  for (const Prop& p : m.props) (p.id() >= kFirstNamedId ? any_named : any_tagged) = true;
  if (any_named) {
    Member(out, depth + 1, "named", false);
    out += "[\n";
    bool first = true;
    for (const Prop& p : m.props) {
      if (p.id() < kFirstNamedId) continue;
      const NamedKey* key = s.named.KeyOf(p.id());
      if (!key) continue;
      if (!first) out += ",\n";
      first = false;
      Indent(out, depth + 2);
      out += "{";
      if (key->set != "{00020329-0000-0000-C000-000000000046}") {
        out += "\"set\": ";
        AppendString(out, key->set);
        out += ", ";
      }
      if (key->numeric) {
        out += "\"id\": " + std::to_string(key->number);
      } else {
        out += "\"name\": ";
        AppendString(out, key->name);
      }
      out += ", \"type\": ";
      AppendString(out, TypeName(p.type()));
      out += ", \"value\": ";
      AppendValue(out, p);
      out += "}";
    }
    out += "\n";
    Indent(out, depth + 1);
    out += "]";
  }
  if (any_tagged) {
    Member(out, depth + 1, "tagged", false);
    out += "[\n";
    bool first = true;
    for (const Prop& p : m.props) {
      if (p.id() >= kFirstNamedId) continue;
      if (!first) out += ",\n";
      first = false;
      Indent(out, depth + 2);
      char tag[16];
      std::snprintf(tag, sizeof tag, "0x%08X", p.tag);
      out += "{\"tag\": ";
      AppendString(out, tag);
      out += ", \"value\": ";
      AppendValue(out, p);
      out += "}";
    }
    out += "\n";
    Indent(out, depth + 1);
    out += "]";
  }
  out += "\n";
  Indent(out, depth);
  out += "}";
}

void AppendFolder(std::string& out, const StoreData& s, const FolderRec& f, int depth,
                  const TextSpill& spill) {
  out += "{\n";
  Member(out, depth + 1, "name", true);
  AppendString(out, f.name);
  Member(out, depth + 1, "entryId", false);
  AppendString(out, f.entry_id);
  if (!f.folders.empty()) {
    Member(out, depth + 1, "folders", false);
    out += "[\n";
    for (size_t i = 0; i < f.folders.size(); ++i) {
      if (i) out += ",\n";
      Indent(out, depth + 2);
      AppendFolder(out, s, *f.folders[i], depth + 2, spill);
    }
    out += "\n";
    Indent(out, depth + 1);
    out += "]";
  }
  if (!f.messages.empty()) {
    Member(out, depth + 1, "messages", false);
    out += "[\n";
    for (size_t i = 0; i < f.messages.size(); ++i) {
      if (i) out += ",\n";
      AppendMessage(out, s, *f.messages[i], depth + 2);
      if (spill && out.size() >= kSpillBytes) spill(out);
    }
    out += "\n";
    Indent(out, depth + 1);
    out += "]";
  }
  out += "\n";
  Indent(out, depth);
  out += "}";
}

}  // namespace

std::string SerializeStore(const StoreData& s) {
  std::string out;
  SerializeStoreTo(s, out, nullptr);
  return out;
}

void SerializeStoreTo(const StoreData& s, std::string& out, const TextSpill& spill) {
  out.reserve(out.size() + (1 << 16));
  out += "{\n";
  Member(out, 1, "displayName", true);
  AppendString(out, s.display_name);
  Member(out, 1, "guid", false);
  AppendString(out, HexUpper(Bytes16(s.guid)));
  if (s.is_public) {
    Member(out, 1, "publicFolders", false);
    out += "true";
  }
  Member(out, 1, "root", false);
  AppendFolder(out, s, *s.root, 1, spill);
  out += "\n}\n";
}

namespace {
Status DiskError(const std::string& what, const std::filesystem::path& p, int e) {
  return Status(err::kDiskError, what + " " + p.string() + ": " + std::strerror(e));
}

std::atomic<WriteBackStepHook> step_hook{nullptr};

void StepDone(WriteBackStep step) {
  if (WriteBackStepHook hook = step_hook.load(std::memory_order_relaxed)) hook(step);
}
}  // namespace

void SetWriteBackStepHook(WriteBackStepHook hook) {
  step_hook.store(hook, std::memory_order_relaxed);
}

Status StoreData::WriteBack() const {
  if (keep_in_memory) return Status::Ok();
  std::filesystem::path tmp = file;
  tmp += ".tmp";
  std::filesystem::path dir = file.parent_path();
  if (dir.empty()) dir = ".";

  mode_t mode = 0644;
  struct stat st {};
  if (::stat(file.c_str(), &st) == 0) mode = st.st_mode & 07777;

  int fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, mode);
  if (fd < 0) return DiskError("cannot create", tmp, errno);
  // The text goes to the file a megabyte at a time: a large store held whole as text would
  // leave that much memory behind in the heap for the rest of the run.
  int write_error = 0;
  auto write_out = [&](std::string& text) {
    size_t done = 0;
    while (write_error == 0 && done < text.size()) {
      ssize_t n = ::write(fd, text.data() + done, text.size() - done);
      if (n < 0) {
        if (errno != EINTR) write_error = errno;
        continue;
      }
      done += static_cast<size_t>(n);
    }
    if (write_error == 0 && !text.empty()) StepDone(WriteBackStep::kPieceWritten);
    text.clear();
  };
  std::string text;
  SerializeStoreTo(*this, text, write_out);
  write_out(text);
  if (write_error != 0) {
    ::close(fd);
    ::unlink(tmp.c_str());
    return DiskError("cannot write", tmp, write_error);
  }
  if (::fsync(fd) != 0) {
    int e = errno;
    ::close(fd);
    ::unlink(tmp.c_str());
    return DiskError("cannot flush", tmp, e);
  }
  StepDone(WriteBackStep::kFlushed);
  // Locked before it takes the store's name: another run that opens the new file finds it
  // held, as it found the old one.
  const bool hold = lock_fd >= 0;
  if (hold && ::flock(fd, LOCK_EX | LOCK_NB) != 0) {
    int e = errno;
    ::close(fd);
    ::unlink(tmp.c_str());
    return DiskError("cannot lock", tmp, e);
  }
  if (hold) StepDone(WriteBackStep::kLocked);
  if (::rename(tmp.c_str(), file.c_str()) != 0) {
    int e = errno;
    ::close(fd);
    ::unlink(tmp.c_str());
    return DiskError("cannot replace", file, e);
  }
  StepDone(WriteBackStep::kRenamed);
  if (hold) {
    ::close(lock_fd);  // the old file's lock; it is no longer the store
    lock_fd = fd;
  } else {
    ::close(fd);
  }
  int dfd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dfd < 0) return DiskError("cannot open folder", dir, errno);
  int rc = ::fsync(dfd);
  int e = errno;
  ::close(dfd);
  if (rc != 0) return DiskError("cannot flush folder", dir, e);
  StepDone(WriteBackStep::kFolderFlushed);
  return Status::Ok();
}

}  // namespace testqav::mailbox
