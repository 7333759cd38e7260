// Query-based distribution lists: a list that names no members but keeps an LDAP filter and
// a search base. The list is looked up by its SMTP address in the global catalog, its filter
// run from its base, and every row that comes back is a person (a SourceMCL record), a
// member list (expanded through the address book) or another query-based list (expanded in
// turn). The expanded-list register ends cycles: a list is expanded once per MCL.
#include <chrono>
#include <functional>
#include <optional>
#include <utility>

#include "engine/provenance.h"
#include "engine/proxy_lists.h"
#include "engine/qav.h"
#include "mcl/query_row.h"
#include "mcl/query_row_preparer.h"
#include "platform/common/error_codes.h"
#include "platform/common/text.h"
#include "platform/directory/command.h"
#include "platform/directory/connection.h"
#include "platform/directory/filter.h"
#include "platform/messaging/look_ahead.h"
#include "store/address_resolution.h"
#include "store/folder_location.h"

namespace testqav {

namespace {

const std::string kPrefix = "QAV::ExpandQueryDL:";
const std::string kRootPrefix = "QAV::GetRootADsPath:";

const char kLookupAttributes[] = "msExchDynamicDLFilter,msExchDynamicDLBaseDN";
const std::string kFullMemberAttributes =
    std::string("name,mail,legacyExchangeDN,mobile,telephoneNumber,facsimileTelephoneNumber,") +
    "homePhone,pager,otherTelephone,otherHomePhone,title,company,department," +
    "physicalDeliveryOfficeName," + "streetAddress,l,st,postalCode,co,givenName,sn,objectCategory";
const char kShortMemberAttributes[] = "name,mail,legacyExchangeDN,objectCategory";

double SecondsSince(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

std::string ErrorText(const Status& s) {
  return std::to_string(s.number()) + " " + s.description();
}

// A value of the current row as text: "" for a missing column, Null or an array.
std::string ValueText(Result<const Variant*> value) {
  if (!value.ok() || *value == nullptr || (*value)->IsNull() || (*value)->IsArray()) return {};
  return (*value)->ToText();
}
// The same as a view: of the value itself when it is a string, else of its text in `scratch`.
std::string_view ValueText(const Recordset& row, int32_t column, std::string& scratch) {
  if (column < 0) return {};
  auto v = row.ValueView(column);
  if (!v.ok() || *v == nullptr || (*v)->IsNull() || (*v)->IsArray()) return {};
  if ((*v)->IsString()) return (*v)->string_value();
  scratch = (*v)->ToText();
  return scratch;
}

// The directory the provider's connections and binds reach: the one behind the session's
// address book.
Result<std::shared_ptr<Directory>> OrganisationDirectory(Runtime& rt) {
  if (!rt.g.MapiSession) return Status(err::kNotLoggedOn, "no messaging session");
  return rt.g.MapiSession->OrganisationDirectory();
}

// Announces to the session the look-ups that the person rows of a member query will start
// with (the ODN's GAL entry, then the ODN as a recipient, and the SMTP address as one too
// when the ODN has no entry), so that they may be answered on the other core while this one
// works through the rows before; and hands each person row's SMTP address and ODN to
// `person_row`. The rows are read once and the record set is left on its first row, where
// the expansion starts.
void AnnounceRowLookups(
    Runtime& rt, Recordset& rst, const QueryRowColumns& columns,
    const std::function<void(const std::string& smtp, const std::string& odn)>& person_row) {
  if (!rt.g.MapiSession || rst.Eof()) return;
  std::vector<AnticipatedLookup> lookups;
  std::string scratch;
  for (; !rst.Eof(); rst.MoveNext().IgnoreError()) {
    if (!ContainsPersonCategory(ValueText(rst, columns.object_category, scratch))) continue;
    std::string odn(ValueText(rst, columns.legacy_exchange_dn, scratch));
    std::string smtp(ValueText(rst, columns.mail, scratch));
    if (!smtp.empty() || !odn.empty()) person_row(smtp, odn);
    if (odn.empty()) continue;
    // An ODN without a GAL entry is resolved as a name all the same, and so is the row's
    // SMTP address after it.
    std::vector<std::string> if_unknown{odn};
    if (!smtp.empty()) if_unknown.push_back(std::move(smtp));
    lookups.push_back(
        {AnticipatedLookup::Kind::kDistinguishedName, std::move(odn), true, std::move(if_unknown)});
  }
  rst.MoveFirst().IgnoreError();
  if (!lookups.empty()) AnnounceLookups(*rt.g.MapiSession, std::move(lookups));
}

// NewContactProxies' two look-ups for a row's addresses, worked out without writing.
std::vector<ProxyPass> ProxyPassesOf(const ProxyResolver& resolve, const std::string& smtp,
                                     const std::string& odn, bool trace) {
  std::vector<ProxyPass> passes(2);
  std::string proxies;
  std::string x500proxies;
  std::string settled = odn;
  const std::string* addresses[2] = {&odn, &smtp};
  for (size_t i = 0; i < 2; ++i) {
    auto& lines = passes[i].lines;
    ProxiesOf(
        resolve, *addresses[i], proxies, x500proxies, settled, true, i == 1, trace,
        [&lines](std::string line, int32_t level) { lines.emplace_back(std::move(line), level); });
    passes[i].proxies = proxies;
    passes[i].x500proxies = x500proxies;
    passes[i].odn = settled;
  }
  return passes;
}

}  // namespace

// One list being expanded: its own connection and record set, closed when it is done.
struct QueryListExpansion {
  QueryListExpansion(DirectoryConnection::Source source, RecordsetFactory make_recordset)
      : connection(std::move(source), std::move(make_recordset)) {}
  ~QueryListExpansion() {
    preparer.reset();  // it reads the record set
    if (rst) rst->Close().IgnoreError();
    connection.Close();
  }
  QueryListExpansion(const QueryListExpansion&) = delete;
  QueryListExpansion& operator=(const QueryListExpansion&) = delete;

  DirectoryConnection connection;
  std::unique_ptr<Recordset> rst;
  // Where the member query's rows keep their attributes; set with the member query.
  std::optional<QueryRowColumns> columns;
  // Reads the rows ahead when they become records; `row` is the position of the current one.
  std::unique_ptr<QueryRowPreparer> preparer;
  size_t row = 0;
  // The list's address and stored filter, for a provenance observer.
  std::string address;
  std::string filter;
};

void QAV::ExpandQueryDL(const std::string& address, const std::string& mclid, bool add_members,
                        bool& include_dls, const std::string& domain) {
  // Nested lists are expanded depth first, each before the next row of the list that named
  // it, with one open expansion per level instead of one call per level.
  const auto start = std::chrono::steady_clock::now();
  Runtime::QueryListTime tally;
  tally.address = address;
  std::vector<std::unique_ptr<QueryListExpansion>> lists;
  ProvenanceObserver* const observer = rt_.provenance;
  auto enter = [&](std::unique_ptr<QueryListExpansion> list) {
    if (observer != nullptr) {
      observer->ListEntered(mclid, ListKind::kQueryBased, {std::string(), list->address, ""},
                            list->filter);
    }
    if (add_members && list->rst) {
      // Each person row is matched against the registered users, which the expansion leaves
      // as they are: the QAV data set may make the filters and select their matches on
      // another core beforehand. QavMatchFilter reads nothing but its arguments.
      std::vector<std::pair<std::string, std::string>> rows;
      AnnounceRowLookups(
          rt_, *list->rst, *list->columns,
          [&](const std::string& smtp, const std::string& odn) { rows.emplace_back(smtp, odn); });
      if (rstQAV && !rows.empty()) {
        AnticipateFilters(*rstQAV, [this, rows = std::move(rows), i = size_t{0}]() mutable {
          if (i == rows.size()) return std::optional<std::string>();
          const auto& [smtp, odn] = rows[i++];
          return std::optional<std::string>(QavMatchFilter(smtp, odn));
        });
      }
      StartPreparingRows(*list);
    }
    lists.push_back(std::move(list));
  };
  if (auto first = StartQueryDL(address, add_members, domain, tally)) enter(std::move(first));
  while (!lists.empty()) {
    QueryListExpansion& top = *lists.back();
    if (top.rst->Eof() || rt_.StopRequested()) {
      lists.pop_back();
      if (observer != nullptr) observer->ListLeft(mclid);
      continue;
    }
    std::optional<QueryRowValues> values;
    if (top.preparer) values = top.preparer->Take(top.row);
    if (!values) values = ReadCurrentQueryRow(*top.rst, *top.columns, /*with_fields=*/false);
    const std::string nested =
        ExpandQueryRow(*top.rst, *top.columns, *values, mclid, add_members, include_dls);
    top.rst->MoveNext().IgnoreError();
    ++top.row;
    rt_.DoEvents();
    if (!nested.empty() && !rt_.StopRequested()) {
      if (auto inner = StartQueryDL(nested, add_members, "", tally)) enter(std::move(inner));
    }
  }
  tally.seconds = SecondsSince(start);
  rt_.NoteQueryListTime(std::move(tally));
}

void QAV::StartPreparingRows(QueryListExpansion& list) {
  auto count = list.rst->RecordCount();
  if (!count.ok() || *count == 0 || !rt_.g.MapiSession) return;
  // GetIdForODN's look-up, made on the reader's thread where the address book allows it.
  // Only an entry that was found is handed on: a failed look-up is made again by the
  // expansion, which logs it.
  QueryRowPreparer::AddressIdOf address_id_of;
  ProxyResolver resolve;
  auto helper = rt_.g.MapiSession->CreateHelperSession();
  // A new record's proxy look-ups resolve its addresses as recipients of a scratch message,
  // which reaches the same address book; where no scratch message can be made, each
  // look-up fails on that, and is left to the expansion.
  const bool scratch = ScratchMessage(rt_).Recipients().ok();
  if (helper.ok() && (*helper)->ConcurrentGalLookups() && scratch) {
    resolve = [helper = *helper](const std::string& name) {
      ProxyResolution out;
      out.entry = helper->ResolveRecipient(name);
      out.resolved = out.entry.ok();
      if (!out.resolved) out.pending = out.entry.status();
      return out;
    };
  }
  if (helper.ok() && (*helper)->ConcurrentGalLookups()) {
    address_id_of = [helper = *helper](const std::string& odn) -> std::optional<std::string> {
      Result<AddressEntryPtr> entry = helper->GalEntryByDN(odn);
      if (!entry.ok() || !*entry) return std::nullopt;
      auto id = (*entry)->ID();
      return id.ok() ? *id : std::string();
    };
  }
  // The filters of the QAV match and the SourceMCL look-up read nothing but their arguments.
  // So do the proxy look-ups, given the address book.
  QueryRowPreparer::Complete filters = [this, resolve,
                                        trace = rt_.TraceWanted()](QueryRowValues& row) {
    if (row.mail.empty() && row.odn.empty()) return;
    row.qav_filter = QavMatchFilter(row.mail, row.odn);
    row.source_filter = SourceMclContactFilter(row.mail, row.odn);
    if (resolve) row.proxy_passes = ProxyPassesOf(resolve, row.mail, row.odn, trace);
  };
  list.preparer = std::make_unique<QueryRowPreparer>(*list.rst, *list.columns, *count,
                                                     std::move(address_id_of), std::move(filters));
}

std::unique_ptr<QueryListExpansion> QAV::StartQueryDL(const std::string& address, bool add_members,
                                                      const std::string& domain,
                                                      Runtime::QueryListTime& tally) {
  if (!rt_.g.MapiSession) {
    rt_.WriteLog(kPrefix + "unable to create ADO connection object " +
                     ErrorText(Status(err::kNotLoggedOn, "no messaging session")),
                 kLogError);
    return nullptr;
  }
  SessionPtr session = rt_.g.MapiSession;
  auto list = std::make_unique<QueryListExpansion>(
      [session] { return session->OrganisationDirectory(); }, rt_.make_recordset);
  if (Status s = list->connection.Open(kDirectoryProvider, "Active Directory Provider"); !s.ok()) {
    rt_.WriteLog(kPrefix + "error opening Active Directory Provider " + ErrorText(s), kLogError);
    return nullptr;
  }

  std::string base;
  if (!domain.empty() && Contains(domain, ".")) {
    base = "DC=" + ReplaceAll(domain, ".", ",DC=");
  } else if (!domain.empty()) {
    base = domain;
  } else {
    base = GetRootADsPath();
  }
  if (base.empty()) {
    rt_.WriteLog(kPrefix + "failed to get root query path", kLogWarning);
    return nullptr;
  }
  rt_.WriteLog(kPrefix + "searching for " + address + " in " + base, kLogTrace);

  // The address is a value inside the filter: "*", "(", ")" and "\" in it must not change
  // what the filter asks.
  std::vector<std::string> parts = {"<" + base + ">",
                                    "((proxyAddresses=SMTP:" + EscapeFilterValue(address) + "))",
                                    kLookupAttributes, "subTree"};
  std::string command = Join(parts, ";");
  auto query_start = std::chrono::steady_clock::now();
  auto lookup = list->connection.Execute(command);
  tally.query_seconds += SecondsSince(query_start);
  if (!lookup.ok() || !*lookup) {
    rt_.WriteLog(kPrefix + "error executing query (" + command + "): " + ErrorText(lookup.status()),
                 kLogError);
    return nullptr;
  }
  list->rst = std::move(lookup).value();
  if (list->rst->State() != kStateOpen || list->rst->Eof()) {
    rt_.WriteLog(kPrefix + "no query returned on lookup for " + address +
                     ";address is not a query-based DL in domain " + base,
                 kLogDetail);
    return nullptr;
  }
  // By position: the columns come in the order the command names them.
  const std::string filter = ValueText(list->rst->ValueView(0));
  const std::string base_dn = ValueText(list->rst->ValueView(1));
  if (!base_dn.empty()) SetBaseDN(parts[0], base_dn);
  list->rst->Close().IgnoreError();
  list->rst.reset();
  if (filter.empty()) {
    rt_.WriteLog(
        kPrefix + "no query returned on lookup for " + address + ";address is not a query-based DL",
        kLogDetail);
    return nullptr;
  }
  rt_.WriteLog(kPrefix + "expanding query-based DL " + address, kLogDetail);
  rt_.WriteLog(kPrefix + "query filter: " + filter, kLogTrace);

  parts[1] = filter;
  parts[2] = add_members ? kFullMemberAttributes : kShortMemberAttributes;
  command = Join(parts, ";");
  query_start = std::chrono::steady_clock::now();
  auto members = list->connection.Execute(command);
  tally.query_seconds += SecondsSince(query_start);
  if (!members.ok() || !*members) {
    rt_.WriteLog(
        kPrefix + "error running query for " + address + ": " + ErrorText(members.status()),
        kLogError);
    return nullptr;
  }
  list->rst = std::move(members).value();
  if (list->rst->State() != kStateOpen) {
    rt_.WriteLog(kPrefix + "no results returned on " + command, kLogDetail);
    return nullptr;
  }
  auto count = list->rst->RecordCount();
  if (count.ok()) tally.rows += *count;
  rt_.WriteLog(
      kPrefix + "query returned " + (count.ok() ? std::to_string(*count) : std::string()) + " rows",
      kLogDetail);
  list->rst->MoveFirst().IgnoreError();
  list->columns.emplace(*list->rst);
  if (rt_.provenance != nullptr) {
    list->address = address;
    list->filter = filter;
  }
  return list;
}

std::string QAV::ExpandQueryRow(Recordset& row, const QueryRowColumns& columns,
                                QueryRowValues& values, const std::string& mclid, bool add_members,
                                bool& include_dls) {
  // Read afresh for every row: a row without a value must not pass on the previous row's.
  const std::string& category = values.category;
  const std::string& name = values.name;
  const std::string& mail = values.mail;

  if (values.person) {
    rt_.WriteLog(kPrefix + "adding row with objectCategory='" + category + "'", kLogDetail);
    if (add_members) AddQueryRowToSourceMCL(row, columns, values, mclid);
    return {};
  }
  const std::string key = LowerCase(mail);
  if (ContainsIgnoreCase(category, "CN=Group,")) {
    // A list without an address cannot be told from another one: it is passed over as if
    // it had been expanded.
    if (key.empty() || expanded_lists.Contains(key)) {
      rt_.WriteLog(kPrefix + "skipping repeat expansion of " + name, kLogDetail);
      if (rt_.provenance != nullptr) rt_.provenance->ListRefused(mclid, {name, key, ""});
      return {};
    }
    AddressEntryPtr entry = GetDLAddressEntry(rt_, name, mail);
    if (!entry) {
      // Not registered: a look-up that failed here may succeed when the list is reached
      // again, and must not keep it from being expanded then.
      rt_.WriteLog(kPrefix + "unable to retrieve address entry for DL named '" + name + "'",
                   kLogWarning);
      return {};
    }
    expanded_lists.Insert(key, key);
    rt_.WriteLog(kPrefix + "expanding member DL named '" + name + "'", kLogDetail);
    if (!add_members) return {};
    auto list_members = entry->Members();
    if (!list_members.ok()) return {};
    if (rt_.provenance != nullptr) {
      rt_.provenance->ListEntered(mclid, ListKind::kDistributionList, {name, key, ""}, "");
    }
    for (const AddressEntryPtr& member : *list_members) {
      if (rt_.StopRequested()) break;
      AddToSourceMCL(member, mclid, include_dls);
    }
    if (rt_.provenance != nullptr) rt_.provenance->ListLeft(mclid);
    return {};
  }
  if (ContainsIgnoreCase(category, "CN=ms-Exch-Dynamic-Distribution-List,")) {
    if (key.empty() || !expanded_lists.Insert(key, key)) {
      rt_.WriteLog(kPrefix + "skipping repeat expansion of " + name, kLogDetail);
      if (rt_.provenance != nullptr) rt_.provenance->ListRefused(mclid, {name, key, ""});
      return {};
    }
    rt_.WriteLog(kPrefix + "expanding member query-based DL named '" + name + "'", kLogDetail);
    return mail;
  }
  rt_.WriteLog(kPrefix + "ignoring row with objectCategory='" + category + "'", kLogDetail);
  return {};
}

std::string QAV::GetRootADsPath() {
  auto directory = OrganisationDirectory(rt_);
  Result<BoundObject> root =
      directory.ok() ? Bind(**directory, "GC://rootDSE") : Result<BoundObject>(directory.status());
  if (!root.ok()) {
    rt_.WriteLog(kRootPrefix + "unable to create rootDSE object " + ErrorText(root.status()),
                 kLogError);
    return {};
  }
  Result<Variant> context = root->Get("rootDomainNamingContext");
  if (!context.ok() || !context->IsString()) {
    const Status why =
        context.ok() ? Status(err::kTypeMismatch, "Type mismatch") : context.status();
    rt_.WriteLog(kRootPrefix + "error retrieving rootDomainNamingContext " + ErrorText(why),
                 kLogError);
    return {};
  }
  const std::string naming_context = context->string_value();
  Result<BoundObject> domain = Bind(**directory, "GC://" + naming_context);
  if (!domain.ok()) {
    rt_.WriteLog(kRootPrefix + "error retrieving Domain object using " + naming_context + ": " +
                     ErrorText(domain.status()),
                 kLogError);
    return {};
  }
  return domain->ADsPath();
}

void QAV::SetBaseDN(std::string& strCommand, const std::string& strBaseDN) {
  const size_t slash = strCommand.rfind('/');
  strCommand = (slash == std::string::npos ? std::string() : strCommand.substr(0, slash + 1)) +
               strBaseDN + ">";
}

}  // namespace testqav
