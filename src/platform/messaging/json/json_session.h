// The embedded messaging session: message stores held in JSON files below the host folder.
//
//   <host>/exchange/<server>/mailboxes/<alias>.json   the mailbox (default store)
//   <host>/exchange/<server>/public.json              the public folder store (optional)
//
// Logon locks both files (an exclusive flock on each file itself, which write-back hands on
// to the file it renames into place) and loads them; a file reached through a symbolic link
// is written back through it. Every change is written back atomically before the call that
// made it returns. Address operations go to the address book that `opener` gives for the server's
// folder; without one they fail with kNoSupport "address book not available". The opener
// runs on a thread of its own from logon on, and the session waits for it at the first
// address operation (or at logoff), so that a large directory loads while the stores do. The
// file format is described in docs/mailbox-store.md.
#pragma once

#include <filesystem>
#include <functional>
#include <memory>
#include <ostream>

#include "platform/addressbook/address_book.h"
#include "platform/common/status.h"
#include "platform/messaging/messaging.h"

namespace testqav {

// Opens the address book of a server folder, writing what goes wrong to `diagnostics`. The
// session calls it on a thread of its own at logon.
using AddressBookOpener = std::function<Result<std::shared_ptr<AddressBook>>(
    const std::filesystem::path& server_dir, std::ostream& diagnostics)>;

struct JsonSessionOptions {
  // Every change is kept in memory and never written back: the store files stay byte for
  // byte as they were (a dry run). The files are locked all the same, so a dry run and a
  // real run never see each other's half-done work.
  bool discard_write_backs = false;
};

// `diagnostics` receives one line per store file that cannot be loaded (file, line, column,
// what is wrong) and per address book that cannot be opened; it must outlive the session.
SessionPtr CreateJsonSession(std::filesystem::path host_dir, std::ostream& diagnostics,
                             AddressBookOpener opener = {}, JsonSessionOptions options = {});

}  // namespace testqav
