// The real directory: any LDAP server (Active Directory, OpenLDAP slapd) through libldap.
// Simple bind, optional StartTLS or ldaps://, paged searches, a time limit per operation, no
// referral chasing. Every filter is sent as RFC 4515 text, also one stored in Active
// Directory's forms. Against a server that is not Active Directory the backend adds what the
// program relies on: objectCategory short names are rewritten to category DNs before the
// filter is sent, and `name` in results is the RDN value.
#pragma once

#include <cstdint>
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
  std::string base;  // naming context to use when the server's rootDSE names none
};

// The largest directory.conf, and password file, that is read.
inline constexpr uint64_t kMaxDirectoryConfBytes = uint64_t{64} << 10;

// Parses directory.conf: "key = value" lines, "#" comments, blank lines. Keys: url,
// starttls, ca_file, bind_dn, password_file, verify_certificates, timeout, base. Errors
// (err::kInvalidArg) name `origin`, the line and the fault; url is required.
Result<LdapConfig> ParseDirectoryConf(std::string_view text, std::string_view origin);
// Errors: those of ParseDirectoryConf, and of ReadInputFile (file_text.h) for a file that
// cannot be read, is not a regular file or is larger than kMaxDirectoryConfBytes.
Result<LdapConfig> LoadDirectoryConf(const std::string& path);

// Connects and binds. Errors carry a mapped number and the LDAP result code with its text
// in the description; the password never appears in any text.
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
