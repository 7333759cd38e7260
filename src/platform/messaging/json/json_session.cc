// The session over the JSON stores: logon (locking and loading the store files), logoff and
// the session's own calls. The handles it gives out are in the session_*.cc files beside it
// (properties, messages, tables, folders and stores, helper objects); session_state.h holds
// what they share.

#include "platform/messaging/json/json_session.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <future>
#include <system_error>

#include "platform/common/error_codes.h"
#include "platform/common/file_text.h"
#include "platform/common/text.h"
#include "platform/messaging/json/mailbox_store.h"
#include "platform/messaging/json/session_state.h"
#include "platform/messaging/look_ahead.h"

namespace testqav {

namespace json_session_detail {

namespace {

bool SafeName(std::string_view name) {
  if (name.empty() || name == "." || name == "..") return false;
  for (char c : name) {
    if (c == '/' || c == '\\' || c == '\0' || static_cast<unsigned char>(c) < 0x20) return false;
  }
  return true;
}

// The file a store's name leads to, through any symbolic links; the name itself when that
// cannot be worked out (the error then comes from opening it).
std::filesystem::path StoreTarget(const std::filesystem::path& file) {
  std::error_code ec;
  std::filesystem::path target = std::filesystem::canonical(file, ec);
  return ec ? file : target;
}

// Takes the exclusive lock that keeps two runs from interleaving their changes: a flock on
// the store file itself, which a write-back hands on to the file it renames into place
// (StoreData::WriteBack). Locking the file, not a lock file beside it, means that nothing
// can be deleted to make a second run go ahead.
// `name` is the store's name as the host folder has it, for messages.
Result<int> LockStore(const std::filesystem::path& file, const std::filesystem::path& name) {
  // Another run's write-back may rename a new file over the store between the open and the
  // lock; the lock then holds a file that is no longer the store, and is taken again.
  for (int attempt = 0; attempt < 16; ++attempt) {
    Result<int> fd = OpenInputFile(file, mailbox::kMaxStoreFileBytes);
    if (!fd.ok()) {
      return Status(err::kLogonFailed, "cannot read store file " + fd.status().description());
    }
    if (::flock(*fd, LOCK_EX | LOCK_NB) != 0) {
      const int e = errno;
      ::close(*fd);
      if (e == EWOULDBLOCK) {
        return Status(err::kLogonFailed, "store is in use by another run: " + name.string());
      }
      return Status(err::kLogonFailed, "cannot lock " + file.string() + ": " + std::strerror(e));
    }
    struct stat locked {};
    struct stat current {};
    if (::fstat(*fd, &locked) == 0 && ::stat(file.c_str(), &current) == 0 &&
        locked.st_dev == current.st_dev && locked.st_ino == current.st_ino) {
      return fd;
    }
    ::close(*fd);
  }
  return Status(err::kLogonFailed, "store file keeps being replaced: " + file.string());
}

class JsonSession : public Session, public LookAhead {
 public:
  JsonSession(std::filesystem::path host, std::ostream& diag, AddressBookOpener opener,
              JsonSessionOptions options)
      : host_(std::move(host)), diag_(diag), opener_(std::move(opener)), options_(options) {}
  ~JsonSession() override { Logoff().IgnoreError(); }

  Status Logon(std::string_view profile_info) override {
    if (st_ && st_->logged_on) return Status(err::kLogonFailed, "the session is already logged on");
    retired_stores_.clear();
    retired_book_.reset();
    size_t nl = profile_info.find('\n');
    if (nl == std::string_view::npos) {
      return Status(err::kLogonFailed, "the profile must be a server and an alias on two lines");
    }
    std::string_view server = profile_info.substr(0, nl);
    std::string_view alias = profile_info.substr(nl + 1);
    if (!alias.empty() && alias.back() == '\r') alias.remove_suffix(1);
    if (!server.empty() && server.back() == '\r') server.remove_suffix(1);
    if (!SafeName(server)) {
      return Status(err::kLogonFailed, "invalid server name \"" + std::string(server) + "\"");
    }
    if (!SafeName(alias)) {
      return Status(err::kLogonFailed, "invalid mailbox alias \"" + std::string(alias) + "\"");
    }
    std::error_code ec;
    std::filesystem::path server_dir = host_ / "exchange" / std::string(server);
    if (!std::filesystem::is_directory(server_dir, ec)) {
      return Status(err::kLogonFailed,
                    "unknown server " + std::string(server) + ": no folder " + server_dir.string());
    }
    std::filesystem::path mailbox_file = server_dir / "mailboxes" / (std::string(alias) + ".json");
    // Anything at that name that is not a regular file is reported as what it is when the
    // store is locked below; only a missing file means an unknown mailbox.
    if (!std::filesystem::exists(mailbox_file, ec) &&
        !std::filesystem::is_symlink(mailbox_file, ec)) {
      return Status(err::kLogonFailed,
                    "unknown mailbox " + std::string(alias) + ": no file " + mailbox_file.string());
    }
    std::filesystem::path public_file = server_dir / "public.json";
    const bool has_public = std::filesystem::exists(public_file, ec);
    // The locks come first: a run that another run keeps out must not start loading the
    // directory only to wait for it on the way out.
    auto mailbox_lock = LockStore(StoreTarget(mailbox_file), mailbox_file);
    if (!mailbox_lock.ok()) return mailbox_lock.status();
    Result<int> public_lock = -1;
    if (has_public) {
      public_lock = LockStore(StoreTarget(public_file), public_file);
      if (!public_lock.ok()) {
        ::close(*mailbox_lock);
        return public_lock.status();
      }
    }
    auto state = std::make_shared<SessionState>();
    if (opener_) {
      state->diag = &diag_;
      state->server_dir = server_dir;
      state->opening = std::async(std::launch::async, [opener = opener_, state = state.get()] {
        return opener(state->server_dir, state->opening_diag);
      });
    }
    auto mailbox = Load(mailbox_file, *mailbox_lock, false, "mailbox\x1F" + LowerCase(alias));
    if (!mailbox.ok()) {
      if (has_public) ::close(*public_lock);
      return mailbox.status();
    }
    state->stores.push_back(*mailbox);
    if (has_public) {
      auto pub = Load(public_file, *public_lock, true, "public\x1F" + LowerCase(server));
      if (!pub.ok()) {
        (*mailbox)->Close();
        return pub.status();
      }
      state->stores.push_back(*pub);
    }
    state->logged_on = true;
    st_ = state;
    return Status::Ok();
  }

  Status Logoff() override {
    if (!st_) return Status::Ok();
    st_->Book();  // an opening still under way ends first
    for (auto& s : st_->stores) s->Close();
    st_->logged_on = false;
    // The stores are closed and their locks given back. What they and the address book hold
    // in memory (the whole mailbox and directory of a large organisation) stays with the
    // session object until it logs on again or is destroyed, not with the handles that
    // outlive the logon: a program that ends right after logoff (and never destroys its
    // session) spends no time freeing it.
    retired_stores_ = std::move(st_->stores);
    retired_book_ = std::move(st_->book);
    st_->stores.clear();
    st_.reset();
    return Status::Ok();
  }
  bool LoggedOn() const override { return st_ && st_->logged_on; }

  Result<std::vector<InfoStorePtr>> InfoStores() override {
    if (!LoggedOn()) return NotLoggedOn();
    std::vector<InfoStorePtr> out;
    for (auto& s : st_->stores) out.push_back(MakeInfoStore(st_, s));
    return out;
  }
  Result<InfoStorePtr> GetInfoStore(std::string_view store_id) override {
    if (!LoggedOn()) return NotLoggedOn();
    auto s = StoreById(*st_, store_id);
    if (!s.ok()) return s.status();
    return MakeInfoStore(st_, *s);
  }
  Result<FolderPtr> GetFolder(std::string_view entry_id, std::string_view store_id) override {
    if (!LoggedOn()) return NotLoggedOn();
    return FolderById(st_, entry_id, store_id);
  }
  Result<MessagePtr> GetMessage(std::string_view entry_id, std::string_view store_id) override {
    if (!LoggedOn()) return NotLoggedOn();
    auto store = StoreById(*st_, store_id);
    if (!store.ok()) return store.status();
    MessageRec* m = (*store)->FindMessage(entry_id);
    if (!m) {
      return Status(err::kNotFound, "no message with entry ID " + std::string(entry_id) +
                                        " in store " + (*store)->display_name);
    }
    return MakeMessage(st_, *store, m->shared_from_this(), nullptr);
  }
  Result<bool> CompareIDs(std::string_view a, std::string_view b) override {
    if (!LoggedOn()) return NotLoggedOn();
    return EqualsIgnoreCase(a, b);
  }
  Result<AddressEntryPtr> GetAddressEntry(std::string_view entry_id) override {
    if (!LoggedOn()) return NotLoggedOn();
    AddressBook* book = st_->Book();
    if (book == nullptr) return NoAddressBook();
    return book->GetEntry(entry_id);
  }
  Result<FolderPtr> Inbox() override {
    if (!LoggedOn()) return NotLoggedOn();
    const StorePtr& s = st_->stores.front();
    return MakeFolder(st_, s, s->inbox);
  }
  Result<HelperSessionPtr> CreateHelperSession() override {
    if (!LoggedOn()) return NotLoggedOn();
    return MakeHelperSession(st_);
  }
  Result<MapiUtilsPtr> CreateMapiUtils() override {
    if (!LoggedOn()) return NotLoggedOn();
    return MakeMapiUtils(st_);
  }
  // Passed on to the address book, which answers them on a thread of its own when it can.
  void Anticipate(std::vector<AnticipatedLookup> lookups) override {
    if (!LoggedOn()) return;
    AddressBook* book = st_->Book();
    if (book != nullptr) AnnounceLookups(*book, std::move(lookups));
  }
  Status AddressBookStatus(bool wait) override {
    if (!st_) return Status::Ok();
    return st_->BookStatus(wait);
  }
  Result<AddressEntriesPtr> GalEntries() override {
    if (!LoggedOn()) return NotLoggedOn();
    return MakeGalEntries(st_);
  }
  Result<std::shared_ptr<Directory>> OrganisationDirectory() override {
    if (!LoggedOn()) return NotLoggedOn();
    AddressBook* book = st_->Book();
    if (book == nullptr) {
      return st_->book_failure.ok() ? NoAddressBook() : st_->book_failure;
    }
    std::shared_ptr<Directory> directory = book->directory();
    if (!directory) return Status(err::kNoSupport, "the address book has no directory");
    return directory;
  }

 private:
  // Loads the store at `file`, whose lock `lock_fd` holds (closed on failure). Changes are
  // written back to the file the name leads to: a store kept elsewhere and linked into the
  // host folder stays linked.
  Result<StorePtr> Load(const std::filesystem::path& file, int lock_fd, bool is_public,
                        const std::string& seed) {
    auto loaded = mailbox::LoadStore(file, is_public, seed);
    if (!loaded.ok()) {
      ::close(lock_fd);
      diag_ << loaded.status().description() << "\n";
      return loaded.status();
    }
    StorePtr s(std::move(loaded).value().release());
    s->file = StoreTarget(file);
    s->lock_fd = lock_fd;
    s->keep_in_memory = options_.discard_write_backs;
    return s;
  }

  std::filesystem::path host_;
  std::ostream& diag_;
  AddressBookOpener opener_;
  JsonSessionOptions options_;
  StatePtr st_;
  // What the last logon held, kept until the next logon or the end of the session (Logoff).
  std::vector<StorePtr> retired_stores_;
  std::shared_ptr<AddressBook> retired_book_;
};

}  // namespace

}  // namespace json_session_detail

SessionPtr CreateJsonSession(std::filesystem::path host_dir, std::ostream& diagnostics,
                             AddressBookOpener opener, JsonSessionOptions options) {
  return std::make_shared<json_session_detail::JsonSession>(std::move(host_dir), diagnostics,
                                                            std::move(opener), options);
}

}  // namespace testqav
