// The embedded directory: an LDIF file held in memory, searched with the filter semantics of
// docs/directory.md. Equality assertions are answered from a per-attribute index of
// normalised values (built on first use), so look-ups by proxy address, legacyExchangeDN or
// mail do not scan; everything else scans the entries in file order.
#pragma once

#include <memory>
#include <ostream>
#include <string>
#include <string_view>

#include "platform/common/status.h"
#include "platform/directory/directory.h"
#include "platform/directory/embedded/entry_store.h"
#include "platform/directory/schema.h"

namespace testqav {

struct LdifDirectoryOptions {
  // false: every search evaluates the filter on every entry (the reference behaviour that
  // the indexed search is compared against).
  bool use_index = true;
  std::shared_ptr<const Schema> schema;  // nullptr: Schema::Builtin()
};

// The largest directory file that is loaded (the text is mapped, the entries held in memory).
inline constexpr uint64_t kMaxDirectoryFileBytes = uint64_t{4} << 30;

// Loads an LDIF file. A malformed file writes "<path>:<line>: <fault>" to `diagnostics` and
// fails with err::kCorrupt; a file that cannot be read, is not a regular file or is larger
// than kMaxDirectoryFileBytes fails with the error of OpenInputFile (file_text.h).
//
// rootDSE: an entry with the empty DN ("dn:") in the file supplies the rootDSE attributes;
// otherwise defaultNamingContext and rootDomainNamingContext are the shortest run of DC=
// RDNs that ends every entry's DN that has one (spelled as in the first entry that has it),
// and namingContexts is that value.
Result<std::shared_ptr<Directory>> LoadLdifDirectory(const std::string& path,
                                                     std::ostream& diagnostics);
Result<std::shared_ptr<Directory>> LoadLdifDirectoryWithOptions(const std::string& path,
                                                                std::ostream& diagnostics,
                                                                LdifDirectoryOptions options);
// The same from LDIF text; `name` stands for the file in messages.
Result<std::shared_ptr<Directory>> LdifDirectoryFromText(std::string_view text,
                                                         std::string_view name,
                                                         std::ostream& diagnostics,
                                                         LdifDirectoryOptions options = {});

// The same over entries gathered elsewhere (a snapshot of a server), with that server's
// rootDSE. The store's schema must be the options' schema (nullptr: Schema::Builtin()).
Result<std::shared_ptr<Directory>> DirectoryFromStore(EntryStore store, DirectoryEntry root_dse,
                                                      LdifDirectoryOptions options = {});

}  // namespace testqav
