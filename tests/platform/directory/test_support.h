// Helpers shared by the directory suites: the test organisation and the backends over it.
#pragma once

#include <cstdlib>
#include <memory>
#include <sstream>
#include <string>

#include "platform/directory/embedded/ldif_directory.h"
#include "platform/directory/ldap/ldap_directory.h"

namespace testqav::testing_support {

inline std::string SourceDir() {
  const char* dir = std::getenv("TESTQAV_SOURCE_DIR");
  return dir != nullptr ? dir : TESTQAV_SOURCE_DIR_FALLBACK;
}

inline std::string OrgLdifPath() { return SourceDir() + "/tests/platform/directory/data/org.ldif"; }

inline std::string Env(const char* name) {
  const char* v = std::getenv(name);
  return v != nullptr ? v : "";
}

inline bool SlapdConfigured() { return !Env("TESTQAV_SLAPD_URL").empty(); }

inline Result<std::shared_ptr<Directory>> OpenSlapd() {
  LdapConfig config;
  config.url = Env("TESTQAV_SLAPD_URL");
  config.bind_dn = Env("TESTQAV_SLAPD_BIND_DN");
  config.password_file = Env("TESTQAV_SLAPD_PASSWORD_FILE");
  config.timeout_seconds = 10;
  return OpenLdapDirectory(config);
}

inline Result<std::shared_ptr<Directory>> OpenEmbedded(bool use_index = true) {
  std::ostringstream diagnostics;
  LdifDirectoryOptions options;
  options.use_index = use_index;
  return LoadLdifDirectoryWithOptions(OrgLdifPath(), diagnostics, options);
}

}  // namespace testqav::testing_support
