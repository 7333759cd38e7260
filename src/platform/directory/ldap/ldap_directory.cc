#include "platform/directory/ldap/ldap_directory.h"

#include <ldap.h>

#include <algorithm>
#include <atomic>
#include <mutex>

#include "platform/common/error_codes.h"
#include "platform/common/file_text.h"
#include "platform/common/text.h"
#include "platform/directory/filter.h"
#include "platform/directory/filter_eval.h"
#include "platform/directory/matching.h"
#include "platform/directory/result_attributes.h"

namespace testqav {
namespace {

constexpr char kAdCapability[] = "1.2.840.113556.1.4.800";
constexpr ber_int_t kPageSize = 500;

bool ParseYesNo(std::string_view v, bool* out) {
  std::string l = LowerCase(Trim(v));
  if (l == "yes" || l == "true" || l == "1") {
    *out = true;
  } else if (l == "no" || l == "false" || l == "0") {
    *out = false;
  } else {
    return false;
  }
  return true;
}

struct LdapHandle {
  LDAP* ld = nullptr;
  ~LdapHandle() {
    if (ld != nullptr) ldap_unbind_ext_s(ld, nullptr, nullptr);
  }
};

// Connects and binds as `config` says.
Result<std::unique_ptr<LdapHandle>> Connect(const LdapConfig& config);

// Result codes after which the connection is of no further use: the server went away, or
// did not answer within the time limit.
bool LostConnection(int ldap_code) {
  return ldap_code == LDAP_SERVER_DOWN || ldap_code == LDAP_CONNECT_ERROR ||
         ldap_code == LDAP_TIMEOUT;
}

class LdapDirectory : public Directory {
 public:
  LdapDirectory(std::unique_ptr<LdapHandle> handle, LdapConfig config)
      : handle_(std::move(handle)), config_(std::move(config)), schema_(Schema::Builtin()) {}

  Status Failure() const override {
    if (!failed_.load(std::memory_order_acquire)) return Status::Ok();
    std::lock_guard<std::mutex> lock(failure_mu_);
    return failure_;
  }

  Status Init() {
    Result<std::vector<DirectoryEntry>> dse =
        RawSearch("", LDAP_SCOPE_BASE, "(objectClass=*)",
                  {"defaultNamingContext", "rootDomainNamingContext", "namingContexts",
                   "supportedCapabilities", "isGlobalCatalogReady", "dnsHostName"});
    if (!dse.ok()) return dse.status();
    root_dse_.dn = "";
    if (!dse->empty()) root_dse_ = dse->front();
    for (const std::string& c : root_dse_.Values("supportedCapabilities")) {
      is_ad_ = is_ad_ || c == kAdCapability;
    }
    is_ad_ = is_ad_ || !root_dse_.Values("isGlobalCatalogReady").empty();
    // OpenLDAP names no default context: use the configured base or its first one.
    std::string fallback = config_.base;
    if (fallback.empty()) fallback = root_dse_.First("namingContexts");
    for (const char* name : {"defaultNamingContext", "rootDomainNamingContext"}) {
      if (root_dse_.Values(name).empty() && !fallback.empty()) {
        root_dse_.attributes.push_back({name, {fallback}});
      }
    }
    root_context_ = root_dse_.First("rootDomainNamingContext");
    return Status::Ok();
  }

  Result<DirectoryEntry> RootDse() override { return root_dse_; }

  Result<std::vector<DirectoryEntry>> Search(std::string_view base_dn, SearchScope scope,
                                             std::string_view filter,
                                             const std::vector<std::string>& attributes) override {
    Result<std::string> text = LdapFilterText(filter, is_ad_, root_context_);
    if (!text.ok()) return text.status();
    // `name` comes from the DN outside Active Directory; never ask the server for it there.
    std::vector<std::string> wanted;
    for (const std::string& a : attributes) {
      if (is_ad_ || !EqualsIgnoreCase(a, "name")) wanted.push_back(a);
    }
    if (!attributes.empty() && wanted.empty()) wanted.push_back("1.1");
    int ldap_scope = scope == SearchScope::kBase       ? LDAP_SCOPE_BASE
                     : scope == SearchScope::kOneLevel ? LDAP_SCOPE_ONELEVEL
                                                       : LDAP_SCOPE_SUBTREE;
    Result<std::vector<DirectoryEntry>> raw = RawSearch(base_dn, ldap_scope, *text, wanted);
    if (!raw.ok()) return raw.status();
    std::vector<DirectoryEntry> out;
    out.reserve(raw->size());
    for (DirectoryEntry& e : *raw) {
      std::string rdn_value;
      if (std::optional<ParsedDn> dn = ParseDn(e.dn, *schema_)) rdn_value = dn->first_value;
      if (is_ad_) {
        out.push_back(ProjectAttributes(e, e.First("name"), attributes, *schema_));
      } else {
        out.push_back(ProjectAttributes(e, rdn_value, attributes, *schema_));
      }
    }
    return out;
  }

 private:
  // A search that survives one broken connection: after a lost connection a new one is
  // made and the search repeated once. When that fails too, the server is lost for good:
  // this search and every later one fail at once with the error (Failure()), rather than
  // each waiting for a server that is gone.
  Result<std::vector<DirectoryEntry>> RawSearch(std::string_view base, int scope,
                                                const std::string& filter,
                                                const std::vector<std::string>& attributes) {
    if (Status failure = Failure(); !failure.ok()) return failure;
    int code = LDAP_SUCCESS;
    Result<std::vector<DirectoryEntry>> first = SearchOnce(base, scope, filter, attributes, &code);
    if (first.ok() || !LostConnection(code)) return first;
    Result<std::unique_ptr<LdapHandle>> again = Connect(config_);
    if (!again.ok()) {
      return Fail(first.status().description() +
                  "; connecting again failed: " + again.status().description());
    }
    handle_ = std::move(again).value();
    Result<std::vector<DirectoryEntry>> second = SearchOnce(base, scope, filter, attributes, &code);
    if (!second.ok() && LostConnection(code)) {
      return Fail(second.status().description() + " (after connecting again)");
    }
    return second;
  }

  Status Fail(const std::string& description) {
    Status failure(err::kDirServerDown, "directory server " + config_.url +
                                            " lost for the rest of the run: " + description);
    std::lock_guard<std::mutex> lock(failure_mu_);
    failure_ = failure;
    failed_.store(true, std::memory_order_release);
    return failure;
  }

  // One search; `code` receives the LDAP result code of a failure.
  Result<std::vector<DirectoryEntry>> SearchOnce(std::string_view base, int scope,
                                                 const std::string& filter,
                                                 const std::vector<std::string>& attributes,
                                                 int* code_out) {
    *code_out = LDAP_SUCCESS;
    LDAP* ld = handle_->ld;
    std::vector<char*> attrs;
    for (const std::string& a : attributes) attrs.push_back(const_cast<char*>(a.c_str()));
    attrs.push_back(nullptr);
    std::string base_text(base);
    struct timeval timeout {};
    timeout.tv_sec = config_.timeout_seconds;
    std::vector<DirectoryEntry> out;
    berval* cookie = nullptr;
    bool paged = scope != LDAP_SCOPE_BASE;
    while (true) {
      LDAPControl* page = nullptr;
      if (paged) {
        int rc = ldap_create_page_control(ld, kPageSize, cookie, 0, &page);
        if (rc != LDAP_SUCCESS) {
          ber_bvfree(cookie);
          return LdapStatus(rc, "paged results control");
        }
      }
      LDAPControl* server_controls[2] = {page, nullptr};
      LDAPMessage* result = nullptr;
      int rc = ldap_search_ext_s(ld, base_text.c_str(), scope, filter.c_str(),
                                 attributes.empty() ? nullptr : attrs.data(), 0,
                                 page != nullptr ? server_controls : nullptr, nullptr, &timeout,
                                 LDAP_NO_LIMIT, &result);
      if (page != nullptr) ldap_control_free(page);
      ber_bvfree(cookie);
      cookie = nullptr;
      if (rc != LDAP_SUCCESS && result == nullptr) {
        *code_out = rc;
        return LdapStatus(rc, "search");
      }
      for (LDAPMessage* m = ldap_first_entry(ld, result); m != nullptr;
           m = ldap_next_entry(ld, m)) {
        DirectoryEntry entry;
        if (char* dn = ldap_get_dn(ld, m)) {
          entry.dn = dn;
          ldap_memfree(dn);
        }
        BerElement* ber = nullptr;
        for (char* a = ldap_first_attribute(ld, m, &ber); a != nullptr;
             a = ldap_next_attribute(ld, m, ber)) {
          DirectoryAttribute attribute{a, {}};
          if (berval** values = ldap_get_values_len(ld, m, a)) {
            for (int i = 0; values[i] != nullptr; ++i) {
              attribute.values.emplace_back(values[i]->bv_val, values[i]->bv_len);
            }
            ldap_value_free_len(values);
          }
          ldap_memfree(a);
          entry.attributes.push_back(std::move(attribute));
        }
        if (ber != nullptr) ber_free(ber, 0);
        out.push_back(std::move(entry));
      }
      int code = LDAP_SUCCESS;
      LDAPControl** response_controls = nullptr;
      int prc =
          ldap_parse_result(ld, result, &code, nullptr, nullptr, nullptr, &response_controls, 1);
      if (prc != LDAP_SUCCESS) {
        *code_out = prc;
        return LdapStatus(prc, "search result");
      }
      if (code != LDAP_SUCCESS) {
        ldap_controls_free(response_controls);
        *code_out = code;
        return LdapStatus(code, "search");
      }
      bool more = false;
      if (paged && response_controls != nullptr) {
        LDAPControl* response =
            ldap_control_find(LDAP_CONTROL_PAGEDRESULTS, response_controls, nullptr);
        if (response != nullptr) {
          ber_int_t estimate = 0;
          berval next{};
          if (ldap_parse_pageresponse_control(ld, response, &estimate, &next) == LDAP_SUCCESS &&
              next.bv_len > 0) {
            cookie = ber_bvdup(&next);
            more = true;
          }
          if (next.bv_val != nullptr) ber_memfree(next.bv_val);
        }
      }
      ldap_controls_free(response_controls);
      if (!more) break;
    }
    return out;
  }

  std::unique_ptr<LdapHandle> handle_;
  LdapConfig config_;
  std::shared_ptr<const Schema> schema_;
  DirectoryEntry root_dse_;
  std::string root_context_;
  bool is_ad_ = false;
  // Set once, when the server is lost for good; read by other threads through Failure().
  std::atomic<bool> failed_{false};
  mutable std::mutex failure_mu_;
  Status failure_;
};

}  // namespace

Status LdapStatus(int ldap_code, std::string_view context) {
  int32_t number;
  switch (ldap_code) {
    case LDAP_SERVER_DOWN:
    case LDAP_CONNECT_ERROR:
      number = err::kDirServerDown;
      break;
    case LDAP_NO_SUCH_OBJECT:
      number = err::kDirNoSuchObject;
      break;
    case LDAP_INVALID_DN_SYNTAX:
      number = err::kDirInvalidDnSyntax;
      break;
    case LDAP_FILTER_ERROR:
      number = err::kDirInvalidFilter;
      break;
    case LDAP_INVALID_CREDENTIALS:
    case LDAP_INAPPROPRIATE_AUTH:
      number = err::kLogonFailed;
      break;
    case LDAP_INSUFFICIENT_ACCESS:
    case LDAP_STRONG_AUTH_REQUIRED:
    case LDAP_CONFIDENTIALITY_REQUIRED:
      number = err::kAccessDenied;
      break;
    case LDAP_TIMEOUT:
    case LDAP_TIMELIMIT_EXCEEDED:
    case LDAP_BUSY:
    case LDAP_UNAVAILABLE:
      number = err::kBusy;
      break;
    default:
      number = err::kFail;
      break;
  }
  return Status(number, std::string(context) + ": " + ldap_err2string(ldap_code) +
                            " (LDAP result code " + std::to_string(ldap_code) + ")");
}

Result<std::string> LdapFilterText(std::string_view filter, bool active_directory,
                                   std::string_view root_context) {
  Result<FilterNode> parsed = ParseFilter(filter);
  if (!parsed.ok()) return parsed.status();
  // Written anew, not passed on: libldap refuses Active Directory's forms ("(!cn=x)", blanks
  // around the filter) before anything reaches the server.
  FilterNode node = std::move(parsed).value();
  if (!active_directory) RewriteCategoryShortNames(node, root_context);
  return FilterToString(node);
}

Result<LdapConfig> ParseDirectoryConf(std::string_view text, std::string_view origin) {
  LdapConfig config;
  size_t line_no = 0;
  auto fail = [&](const std::string& why) {
    return Status(err::kInvalidArg,
                  std::string(origin) + ":" + std::to_string(line_no) + ": " + why);
  };
  for (std::string line : Split(text, "\n")) {
    ++line_no;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    std::string trimmed = Trim(line);
    if (trimmed.empty() || trimmed[0] == '#') continue;
    size_t eq = trimmed.find('=');
    if (eq == std::string::npos) return fail("expected \"key = value\"");
    std::string key = LowerCase(Trim(trimmed.substr(0, eq)));
    std::string value = Trim(trimmed.substr(eq + 1));
    if (key == "url") {
      if (!StartsWithIgnoreCase(value, "ldap://") && !StartsWithIgnoreCase(value, "ldaps://")) {
        return fail("url must start with ldap:// or ldaps://");
      }
      config.url = value;
    } else if (key == "starttls") {
      if (!ParseYesNo(value, &config.starttls)) return fail("starttls must be yes or no");
    } else if (key == "verify_certificates") {
      if (!ParseYesNo(value, &config.verify_certificates)) {
        return fail("verify_certificates must be yes or no");
      }
    } else if (key == "ca_file") {
      config.ca_file = value;
    } else if (key == "bind_dn") {
      config.bind_dn = value;
    } else if (key == "password_file") {
      config.password_file = value;
    } else if (key == "base") {
      config.base = value;
    } else if (key == "timeout") {
      std::optional<int64_t> seconds = ParseInteger(value);
      if (!seconds || *seconds <= 0 || *seconds > 3600) {
        return fail("timeout must be a number of seconds from 1 to 3600");
      }
      config.timeout_seconds = static_cast<int>(*seconds);
    } else {
      return fail("unknown key \"" + key + "\"");
    }
  }
  if (config.url.empty()) {
    line_no = 0;
    return fail("no url given");
  }
  if (config.starttls && StartsWithIgnoreCase(config.url, "ldaps://")) {
    line_no = 0;
    return fail("starttls cannot be used with ldaps://");
  }
  return config;
}

Result<LdapConfig> LoadDirectoryConf(const std::string& path) {
  Result<std::string> text = ReadInputFile(path, kMaxDirectoryConfBytes);
  if (!text.ok()) return text.status();
  return ParseDirectoryConf(*text, path);
}

namespace {

Result<std::unique_ptr<LdapHandle>> Connect(const LdapConfig& config) {
  auto handle = std::make_unique<LdapHandle>();
  int rc = ldap_initialize(&handle->ld, config.url.c_str());
  if (rc != LDAP_SUCCESS) return LdapStatus(rc, "connect to " + config.url);
  LDAP* ld = handle->ld;
  int version = LDAP_VERSION3;
  ldap_set_option(ld, LDAP_OPT_PROTOCOL_VERSION, &version);
  ldap_set_option(ld, LDAP_OPT_REFERRALS, LDAP_OPT_OFF);
  struct timeval timeout {};
  timeout.tv_sec = config.timeout_seconds;
  ldap_set_option(ld, LDAP_OPT_NETWORK_TIMEOUT, &timeout);
  ldap_set_option(ld, LDAP_OPT_TIMEOUT, &timeout);
  int require = config.verify_certificates ? LDAP_OPT_X_TLS_DEMAND : LDAP_OPT_X_TLS_NEVER;
  ldap_set_option(ld, LDAP_OPT_X_TLS_REQUIRE_CERT, &require);
  if (!config.ca_file.empty()) {
    ldap_set_option(ld, LDAP_OPT_X_TLS_CACERTFILE, config.ca_file.c_str());
  }
  int new_context = 0;
  ldap_set_option(ld, LDAP_OPT_X_TLS_NEWCTX, &new_context);
  if (config.starttls) {
    rc = ldap_start_tls_s(ld, nullptr, nullptr);
    if (rc != LDAP_SUCCESS) return LdapStatus(rc, "StartTLS with " + config.url);
  }
  std::string password;
  if (!config.password_file.empty()) {
    Result<std::string> text = ReadInputFile(config.password_file, kMaxDirectoryConfBytes);
    if (!text.ok()) {
      return Status(err::kLogonFailed,
                    "cannot read the directory password file " + text.status().description());
    }
    password = std::move(text).value();
    password.resize(std::min(password.find('\n'), password.size()));
    if (!password.empty() && password.back() == '\r') password.pop_back();
  }
  berval credentials{static_cast<ber_len_t>(password.size()), password.data()};
  rc = ldap_sasl_bind_s(ld, config.bind_dn.empty() ? nullptr : config.bind_dn.c_str(),
                        LDAP_SASL_SIMPLE, &credentials, nullptr, nullptr, nullptr);
  std::fill(password.begin(), password.end(), '\0');
  if (rc != LDAP_SUCCESS) {
    return LdapStatus(rc, "bind to " + config.url + " as \"" + config.bind_dn + "\"");
  }
  return handle;
}

}  // namespace

Result<std::shared_ptr<Directory>> OpenLdapDirectory(const LdapConfig& config) {
  Result<std::unique_ptr<LdapHandle>> handle = Connect(config);
  if (!handle.ok()) return handle.status();
  auto dir = std::make_shared<LdapDirectory>(std::move(handle).value(), config);
  Status init = dir->Init();
  if (!init.ok()) return init;
  std::shared_ptr<Directory> result = dir;
  return result;
}

}  // namespace testqav
