#include "platform/directory/ldap/ldap_directory.h"

#include <ldap.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <functional>
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

// Result codes after which the connection is of no further use: the server went away.
bool LostConnection(int ldap_code) {
  return ldap_code == LDAP_SERVER_DOWN || ldap_code == LDAP_CONNECT_ERROR;
}

// Result codes of a server that did not answer within the time limit, or said it could not
// answer now. Each is tried again on a new connection; enough of them in a row and the
// server is taken to be gone.
bool NoAnswer(int ldap_code) {
  return ldap_code == LDAP_TIMEOUT || ldap_code == LDAP_TIMELIMIT_EXCEEDED ||
         ldap_code == LDAP_BUSY || ldap_code == LDAP_UNAVAILABLE;
}

using EntrySink = std::function<void(DirectoryEntry&&)>;

std::atomic<uint64_t> requests_by_process{0};

class LdapServerDirectory : public LdapDirectory {
 public:
  LdapServerDirectory(std::unique_ptr<LdapHandle> handle, LdapConfig config)
      : handle_(std::move(handle)), config_(std::move(config)), schema_(Schema::Builtin()) {
    Count(config_.starttls ? 2 : 1);  // the bind, and StartTLS before it
  }

  Status Failure() const override {
    if (!failed_.load(std::memory_order_acquire)) return Status::Ok();
    std::lock_guard<std::mutex> lock(failure_mu_);
    return failure_;
  }

  uint64_t RequestsSent() const override { return requests_.load(std::memory_order_relaxed); }

  Status Init() {
    std::vector<DirectoryEntry> dse;
    Status st = RawSearch(
        "", LDAP_SCOPE_BASE, "(objectClass=*)",
        {"defaultNamingContext", "rootDomainNamingContext", "namingContexts",
         "supportedCapabilities", "isGlobalCatalogReady", "dnsHostName"},
        [&dse](DirectoryEntry&& e) { dse.push_back(std::move(e)); }, [&dse] { dse.clear(); });
    if (!st.ok()) return st;
    root_dse_.dn = "";
    if (!dse.empty()) root_dse_ = dse.front();
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
    std::vector<DirectoryEntry> out;
    Status st = Projected(
        base_dn, scope, filter, attributes,
        [&out](DirectoryEntry&& e) { out.push_back(std::move(e)); }, [&out] { out.clear(); });
    if (!st.ok()) return st;
    return out;
  }

  // A query's rows go to the caller page by page: the answer is never held whole.
  Status ForEachEntry(std::string_view base_dn, SearchScope scope, const FilterNode& filter,
                      const std::vector<std::string>& attributes,
                      const std::function<void(SharedDirectoryEntry)>& each) override {
    return Projected(
        base_dn, scope, FilterToString(filter), attributes,
        [&each](DirectoryEntry&& e) { each(std::make_shared<DirectoryEntryView>(std::move(e))); },
        nullptr);
  }

  Status SearchEach(std::string_view base, SearchScope scope, std::string_view filter,
                    const std::vector<std::string>& attributes, const EntrySink& each) override {
    Result<std::string> text = LdapFilterText(filter, is_ad_, root_context_);
    if (!text.ok()) return text.status();
    return RawSearch(base, ScopeOf(scope), *text, attributes, each, nullptr);
  }

 private:
  // The search's entries with the requested attributes, as Search gives them, handed to
  // `each`; `restart` as RawSearch takes it.
  Status Projected(std::string_view base_dn, SearchScope scope, std::string_view filter,
                   const std::vector<std::string>& attributes,
                   const std::function<void(DirectoryEntry&&)>& each,
                   const std::function<void()>& restart) {
    Result<std::string> text = LdapFilterText(filter, is_ad_, root_context_);
    if (!text.ok()) return text.status();
    // `name` comes from the DN outside Active Directory; never ask the server for it there.
    std::vector<std::string> wanted;
    for (const std::string& a : attributes) {
      if (is_ad_ || !EqualsIgnoreCase(a, "name")) wanted.push_back(a);
    }
    if (!attributes.empty() && wanted.empty()) wanted.push_back("1.1");
    // Each entry is projected as it arrives, so the server's form of the whole answer is
    // never held beside the projected one; its DN is parsed only when `name` is asked for.
    const bool wants_name = attributes.empty() ||
                            std::any_of(attributes.begin(), attributes.end(),
                                        [](const auto& a) { return EqualsIgnoreCase(a, "name"); });
    // The requested list is resolved against the schema once for the whole answer.
    const AttributeRequest request(attributes, *schema_);
    std::vector<const AttributeType*> types;
    // A server sends the attributes of an answer's entries in the same order and spelling as
    // a rule, so each name is looked up in the schema once, not once an entry.
    std::vector<std::pair<std::string, const AttributeType*>> known;
    auto type_of = [&](size_t i, const std::string& name) {
      if (i < known.size() && known[i].first == name) return known[i].second;
      const AttributeType* type = schema_->FindAttribute(name);
      if (i < known.size()) {
        known[i] = {name, type};
      } else if (i == known.size()) {
        known.emplace_back(name, type);
      }
      return type;
    };
    auto project = [&](DirectoryEntry&& e) {
      types.clear();
      if (!attributes.empty()) {
        for (size_t i = 0; i < e.attributes.size(); ++i) {
          types.push_back(type_of(i, e.attributes[i].name));
        }
      }
      std::string rdn_value;
      if (is_ad_) {
        rdn_value = e.First("name");
      } else if (wants_name) {
        if (std::optional<ParsedDn> dn = ParseDn(e.dn, *schema_)) rdn_value = dn->first_value;
      }
      each(request.Project(std::move(e), types, rdn_value));
    };
    return RawSearch(base_dn, ScopeOf(scope), *text, wanted, project, restart);
  }

  void Count(uint64_t requests) {
    requests_.fetch_add(requests, std::memory_order_relaxed);
    requests_by_process.fetch_add(requests, std::memory_order_relaxed);
  }

  static int ScopeOf(SearchScope scope) {
    return scope == SearchScope::kBase       ? LDAP_SCOPE_BASE
           : scope == SearchScope::kOneLevel ? LDAP_SCOPE_ONELEVEL
                                             : LDAP_SCOPE_SUBTREE;
  }

  // A search that survives a broken connection and a server that is slow for a while: after
  // a lost connection a new one is made and the search repeated once; a search that the
  // server does not answer in time (or answers busy) is repeated on a new connection until
  // max_timeouts of them in a row went unanswered. Beyond that the server is lost for good:
  // this search and every later one fail at once with the error (Failure()), rather than
  // each waiting for a server that is gone. `restart` forgets what `each` was given before a
  // search is repeated; without one, a search that had handed out entries is not repeated.
  Status RawSearch(std::string_view base, int scope, const std::string& filter,
                   const std::vector<std::string>& attributes, const EntrySink& each,
                   const std::function<void()>& restart) {
    if (Status failure = Failure(); !failure.ok()) return failure;
    bool reconnected_after_loss = false;
    while (true) {
      int code = LDAP_SUCCESS;
      size_t handed_out = 0;
      Status st = SearchPages(
          base, scope, filter, attributes,
          [&](DirectoryEntry&& e) {
            ++handed_out;
            each(std::move(e));
          },
          &code);
      if (st.ok()) {
        unanswered_in_a_row_ = 0;
        return st;
      }
      const bool lost = LostConnection(code);
      if (!lost && !NoAnswer(code)) return st;  // the server answered: that is the answer
      if (!lost && ++unanswered_in_a_row_ >= config_.max_timeouts) {
        return Fail(st.description() + "; " + std::to_string(unanswered_in_a_row_) +
                    " operations in a row were not answered");
      }
      if (lost && reconnected_after_loss) {
        return Fail(st.description() + " (after connecting again)");
      }
      if (handed_out > 0 && !restart) {
        return Fail(st.description() + " after " + std::to_string(handed_out) +
                    " entries of a paged search");
      }
      Result<std::unique_ptr<LdapHandle>> again = Connect(config_);
      Count(config_.starttls ? 2 : 1);
      if (!again.ok()) {
        return Fail(st.description() +
                    "; connecting again failed: " + again.status().description());
      }
      handle_ = std::move(again).value();
      reconnected_after_loss = reconnected_after_loss || lost;
      if (restart) restart();
    }
  }

  Status Fail(const std::string& description) {
    Status failure(err::kDirServerDown, "directory server " + config_.url +
                                            " lost for the rest of the run: " + description);
    std::lock_guard<std::mutex> lock(failure_mu_);
    failure_ = failure;
    failed_.store(true, std::memory_order_release);
    return failure;
  }

  // One search, page by page, each entry handed to `each` as it arrives, while the server
  // goes on sending the rest of the page; `code_out` receives the LDAP result code of a
  // failure. A page that is not complete within the time limit is abandoned.
  Status SearchPages(std::string_view base, int scope, const std::string& filter,
                     const std::vector<std::string>& attributes, const EntrySink& each,
                     int* code_out) {
    *code_out = LDAP_SUCCESS;
    LDAP* ld = handle_->ld;
    std::vector<char*> attrs;
    for (const std::string& a : attributes) attrs.push_back(const_cast<char*>(a.c_str()));
    attrs.push_back(nullptr);
    std::string base_text(base);
    struct timeval timeout {};
    timeout.tv_sec = config_.timeout_seconds;
    berval* cookie = nullptr;
    bool paged = scope != LDAP_SCOPE_BASE;
    const int size_limit = config_.size_limit > 0 ? config_.size_limit : LDAP_NO_LIMIT;
    while (true) {
      LDAPControl* page = nullptr;
      if (paged) {
        int rc = ldap_create_page_control(ld, config_.page_size, cookie, 0, &page);
        if (rc != LDAP_SUCCESS) {
          ber_bvfree(cookie);
          return LdapStatus(rc, "paged results control");
        }
      }
      LDAPControl* server_controls[2] = {page, nullptr};
      int msgid = 0;
      Count(1);
      int rc = ldap_search_ext(
          ld, base_text.c_str(), scope, filter.c_str(), attributes.empty() ? nullptr : attrs.data(),
          0, page != nullptr ? server_controls : nullptr, nullptr, &timeout, size_limit, &msgid);
      if (page != nullptr) ldap_control_free(page);
      ber_bvfree(cookie);
      cookie = nullptr;
      if (rc != LDAP_SUCCESS) {
        *code_out = rc;
        return LdapStatus(rc, "search");
      }
      const auto deadline =
          std::chrono::steady_clock::now() + std::chrono::seconds(config_.timeout_seconds);
      LDAPMessage* done = nullptr;
      while (done == nullptr) {
        const auto left = std::chrono::duration_cast<std::chrono::microseconds>(
            deadline - std::chrono::steady_clock::now());
        struct timeval wait {};
        if (left.count() > 0) {
          wait.tv_sec = static_cast<time_t>(left.count() / 1000000);
          wait.tv_usec = static_cast<suseconds_t>(left.count() % 1000000);
        }
        LDAPMessage* m = nullptr;
        const int type = left.count() > 0 ? ldap_result(ld, msgid, LDAP_MSG_ONE, &wait, &m) : 0;
        if (type <= 0) {
          if (m != nullptr) ldap_msgfree(m);
          int code = LDAP_TIMEOUT;
          if (type < 0) ldap_get_option(ld, LDAP_OPT_RESULT_CODE, &code);
          if (type == 0) ldap_abandon_ext(ld, msgid, nullptr, nullptr);
          *code_out = code;
          return LdapStatus(code, "search");
        }
        std::unique_ptr<LDAPMessage, int (*)(LDAPMessage*)> owned(m, ldap_msgfree);
        if (type == LDAP_RES_SEARCH_ENTRY) {
          each(ReadEntry(ld, m));
        } else if (type == LDAP_RES_SEARCH_REFERENCE) {
          // A continuation reference names a server that holds some of the answer; without
          // chasing it the answer would be short by entries nobody would notice missing.
          ldap_abandon_ext(ld, msgid, nullptr, nullptr);
          *code_out = LDAP_REFERRAL;
          return LdapStatus(LDAP_REFERRAL, "search under \"" + base_text +
                                               "\": some of the answer is on another server");
        } else if (type == LDAP_RES_SEARCH_RESULT) {
          done = owned.release();
        }
      }
      std::unique_ptr<LDAPMessage, int (*)(LDAPMessage*)> result(done, ldap_msgfree);
      int code = LDAP_SUCCESS;
      LDAPControl** response_controls = nullptr;
      int prc =
          ldap_parse_result(ld, done, &code, nullptr, nullptr, nullptr, &response_controls, 0);
      if (prc != LDAP_SUCCESS) {
        *code_out = prc;
        return LdapStatus(prc, "search result");
      }
      if (code != LDAP_SUCCESS) {
        ldap_controls_free(response_controls);
        *code_out = code;
        return LdapStatus(code, "search under \"" + base_text + "\"");
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
    return Status::Ok();
  }

  // The entry's DN and attributes, read in one pass over the message: the values are copied
  // straight out of it, where looking each attribute up by name would scan it again.
  static DirectoryEntry ReadEntry(LDAP* ld, LDAPMessage* m) {
    DirectoryEntry entry;
    BerElement* ber = nullptr;
    berval text{};
    if (ldap_get_dn_ber(ld, m, &ber, &text) != LDAP_SUCCESS) {
      if (ber != nullptr) ber_free(ber, 0);
      return entry;
    }
    entry.dn.assign(text.bv_val, text.bv_len);
    berval* values = nullptr;
    while (ldap_get_attribute_ber(ld, m, ber, &text, &values) == LDAP_SUCCESS &&
           text.bv_val != nullptr) {
      DirectoryAttribute attribute{std::string(text.bv_val, text.bv_len), {}};
      if (values != nullptr) {
        for (const berval* v = values; v->bv_val != nullptr; ++v) {
          attribute.values.emplace_back(v->bv_val, v->bv_len);
        }
        ber_memfree(values);
        values = nullptr;
      }
      entry.attributes.push_back(std::move(attribute));
    }
    if (values != nullptr) ber_memfree(values);
    ber_free(ber, 0);
    return entry;
  }

  std::unique_ptr<LdapHandle> handle_;
  LdapConfig config_;
  std::shared_ptr<const Schema> schema_;
  DirectoryEntry root_dse_;
  std::string root_context_;
  bool is_ad_ = false;
  int unanswered_in_a_row_ = 0;
  std::atomic<uint64_t> requests_{0};
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
    case LDAP_SIZELIMIT_EXCEEDED:
      number = err::kDirSizeLimitExceeded;
      break;
    case LDAP_ADMINLIMIT_EXCEEDED:
      number = err::kDirAdminLimitExceeded;
      break;
    case LDAP_REFERRAL:
    case LDAP_PARTIAL_RESULTS:
      number = err::kDirReferral;
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
    } else if (key == "page_size") {
      std::optional<int64_t> n = ParseInteger(value);
      if (!n || *n < 1 || *n > 100000) return fail("page_size must be a number from 1 to 100000");
      config.page_size = static_cast<int>(*n);
    } else if (key == "size_limit") {
      std::optional<int64_t> n = ParseInteger(value);
      if (!n || *n < 0 || *n > INT32_MAX) {
        return fail("size_limit must be a number of entries (0: no limit)");
      }
      config.size_limit = static_cast<int>(*n);
    } else if (key == "max_timeouts") {
      std::optional<int64_t> n = ParseInteger(value);
      if (!n || *n < 1 || *n > 100) return fail("max_timeouts must be a number from 1 to 100");
      config.max_timeouts = static_cast<int>(*n);
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

Result<std::shared_ptr<LdapDirectory>> OpenLdapServer(const LdapConfig& config) {
  Result<std::unique_ptr<LdapHandle>> handle = Connect(config);
  if (!handle.ok()) return handle.status();
  auto dir = std::make_shared<LdapServerDirectory>(std::move(handle).value(), config);
  Status init = dir->Init();
  if (!init.ok()) return init;
  std::shared_ptr<LdapDirectory> result = dir;
  return result;
}

uint64_t LdapRequestsSentByProcess() { return requests_by_process.load(std::memory_order_relaxed); }

Result<std::shared_ptr<Directory>> OpenLdapDirectory(const LdapConfig& config) {
  Result<std::shared_ptr<LdapDirectory>> dir = OpenLdapServer(config);
  if (!dir.ok()) return dir.status();
  std::shared_ptr<Directory> result = std::move(dir).value();
  return result;
}

}  // namespace testqav
