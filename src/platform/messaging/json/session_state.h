// Internal to the JSON messaging session (json_session.cc and the session_*.cc files beside
// it): the state the handles of one logon share, and the functions by which one file's
// handles make another file's. The handle classes themselves stay private to their files.
// Handles share the store model; a handle used after Logoff reports kNotLoggedOn, one whose
// message was deleted reports kObjectDeleted.
#pragma once

#include <chrono>
#include <filesystem>
#include <future>
#include <memory>
#include <ostream>
#include <sstream>
#include <string_view>
#include <vector>

#include "platform/addressbook/address_book.h"
#include "platform/common/error_codes.h"
#include "platform/common/status.h"
#include "platform/messaging/json/mailbox_store.h"
#include "platform/messaging/messaging.h"

namespace testqav::json_session_detail {

using mailbox::FolderRec;
using mailbox::MessageRec;
using mailbox::StoreData;

using StorePtr = std::shared_ptr<StoreData>;
using FolderRecPtr = std::shared_ptr<FolderRec>;
using MessageRecPtr = std::shared_ptr<MessageRec>;

inline Status NotLoggedOn() { return Status(err::kNotLoggedOn, "the session is not logged on"); }
inline Status NoAddressBook() { return Status(err::kNoSupport, "address book not available"); }

using BookResult = Result<std::shared_ptr<AddressBook>>;

struct SessionState {
  std::vector<StorePtr> stores;  // mailbox first, then the public store
  bool logged_on = false;

  // The address book. It is opened on a second thread at logon and waited for here, on
  // first use: loading a large directory then overlaps with everything the run does before
  // it resolves its first name.
  AddressBook* Book() {
    if (opening.valid()) {
      BookResult opened = opening.get();
      if (opened.ok() && *opened) {
        book = *opened;
        // Warnings of a directory that opened; the fault of one that did not is the
        // session's answer to AddressBookStatus and is reported by whoever asks.
        if (diag != nullptr) *diag << opening_diag.str();
      } else {
        book_failure = opened.ok()
                           ? Status(err::kNotFound, "no address book for " + server_dir.string())
                           : opened.status();
      }
    }
    return book.get();
  }

  Status BookStatus(bool wait) {
    if (opening.valid()) {
      if (!wait && opening.wait_for(std::chrono::seconds(0)) != std::future_status::ready) {
        return Status::Ok();
      }
      Book();
    }
    if (!book_failure.ok()) return book_failure;
    if (book) return book->Failure();
    return Status::Ok();
  }

  Status book_failure;
  std::shared_ptr<AddressBook> book;
  std::ostringstream opening_diag;  // what the opener wrote, passed on once it is done
  std::ostream* diag = nullptr;
  std::filesystem::path server_dir;
  // Last, so that it goes first: its destructor waits for the opener, which uses the above.
  std::future<BookResult> opening;
};
using StatePtr = std::shared_ptr<SessionState>;

inline Status CheckStore(const StoreData& s) { return s.open ? Status::Ok() : NotLoggedOn(); }

// Messages and recipients (session_messages.cc). `target` is the folder an unsaved message
// goes to on Update.
MessagePtr MakeMessage(const StatePtr& st, const StorePtr& s, MessageRecPtr m, FolderRecPtr target);
MessagesPtr MakeMessages(const StatePtr& st, const StorePtr& s, FolderRecPtr f);

// Tables (session_tables.cc): the contents table of a folder of `store`, whose messages are
// `rows`.
TablePtr MakeTable(const StorePtr& store, std::vector<MessageRecPtr> rows);

// Folders and stores (session_folders.cc).
FolderPtr MakeFolder(const StatePtr& st, const StorePtr& s, FolderRec* f);
InfoStorePtr MakeInfoStore(const StatePtr& st, const StorePtr& s);
// The store that holds `store_id` (hex, ignoring case); the mailbox for "".
Result<StorePtr> StoreById(const SessionState& st, std::string_view store_id);
// The folder `entry_id` of the store `store_id`; the store's root for "".
Result<FolderPtr> FolderById(const StatePtr& st, std::string_view entry_id,
                             std::string_view store_id);

// Helper library objects (session_helpers.cc).
HelperSessionPtr MakeHelperSession(const StatePtr& st);
AddressEntriesPtr MakeGalEntries(const StatePtr& st);
MapiUtilsPtr MakeMapiUtils(const StatePtr& st);

}  // namespace testqav::json_session_detail
