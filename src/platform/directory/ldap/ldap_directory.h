// The real directory: any LDAP server (Active Directory, OpenLDAP slapd) through libldap.
// Simple bind, optional StartTLS or ldaps://, paged searches, a time limit per operation, no
// referral chasing. Every filter is sent as RFC 4515 text, also one stored in Active
// Directory's forms. Against a server that is not Active Directory the backend adds what the
// program relies on: objectCategory short names are rewritten to category DNs before the
// filter is sent, and `name` in results is the RDN value.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "platform/common/status.h"
#include "platform/directory/directory.h"

namespace testqav {

struct LdapConfig {
  std::string url;  // ldap://host[:port] or ldaps://host[:port]
  bool starttls = false;
  std::string ca_file;        // PEM bundle of trusted CAs ("" = system default)
  std::string bind_dn;        // "" = anonymous
  std::string password_file;  // file whose first line is the password
  bool verify_certificates = true;
  int timeout_seconds = 30;
  // Entries asked for in each page of a paged search. A server may send fewer a page (Active
  // Directory's MaxPageSize, 1000 by default); the pages still add up to every entry.
  int page_size = 500;
  // The most entries one search may return, asked of the server with every search (0: no
  // limit of ours). A search that would return more fails with the server's "size limit
  // exceeded" rather than return only some.
  int size_limit = 0;
  // Searches in a row that the server does not answer in time (or answers busy or
  // unavailable) after which it is lost for the rest of the run.
  int max_timeouts = 3;
  std::string base;  // naming context to use when the server's rootDSE names none
};

// The largest directory.conf, and password file, that is read.
inline constexpr uint64_t kMaxDirectoryConfBytes = uint64_t{64} << 10;

// Parses directory.conf: "key = value" lines, "#" comments, blank lines. Keys: url,
// starttls, ca_file, bind_dn, password_file, verify_certificates, timeout, base, page_size,
// size_limit, max_timeouts. Errors
// (err::kInvalidArg) name `origin`, the line and the fault; url is required.
Result<LdapConfig> ParseDirectoryConf(std::string_view text, std::string_view origin);
// Errors: those of ParseDirectoryConf, and of ReadInputFile (file_text.h) for a file that
// cannot be read, is not a regular file or is larger than kMaxDirectoryConfBytes.
Result<LdapConfig> LoadDirectoryConf(const std::string& path);

// The LDAP backend, with what only it offers besides the Directory contract.
class LdapDirectory : public Directory {
 public:
  // Every entry under `base` in `scope` that matches `filter` (either dialect, rewritten as
  // Search does), with `attributes` as the server sends them (its spelling; `name` is not
  // worked out), handed to `each` as each page arrives instead of gathered first. Fails on
  // any result that is not the whole answer: a size or administrative limit, a referral or
  // a continuation reference, a lost server; `each` may then have seen some of it.
  virtual Status SearchEach(std::string_view base, SearchScope scope, std::string_view filter,
                            const std::vector<std::string>& attributes,
                            const std::function<void(DirectoryEntry&&)>& each) = 0;
  // Requests sent to the server so far: binds, and searches counting each page.
  virtual uint64_t RequestsSent() const = 0;
};

// Connects and binds. Errors carry a mapped number and the LDAP result code with its text
// in the description; the password never appears in any text.
Result<std::shared_ptr<LdapDirectory>> OpenLdapServer(const LdapConfig& config);
// Requests that this process has sent to LDAP servers so far, all connections together (for
// benchmarks: TESTQAV_PHASE_TIMES=1 prints it at the end of a run).
uint64_t LdapRequestsSentByProcess();

// The same as a plain Directory.
Result<std::shared_ptr<Directory>> OpenLdapDirectory(const LdapConfig& config);

// The status for an LDAP result code (the one place where LDAP codes are mapped).
Status LdapStatus(int ldap_code, std::string_view context);

// The filter text the backend sends for `filter`, in whatever dialect it came (docs/
// directory.md): the RFC 4515 text of the parsed filter, with objectCategory short names
// replaced by category DNs under `root_context` unless the server is Active Directory, which
// replaces them itself. Errors: those of ParseFilter.
Result<std::string> LdapFilterText(std::string_view filter, bool active_directory,
                                   std::string_view root_context);

}  // namespace testqav
