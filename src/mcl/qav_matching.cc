// Matching a contact against the registered handheld users: a contact that is one of them is
// named as the QAV data set names that user, so both data sets agree on who is who.
#include "engine/qav.h"

namespace testqav {

namespace {

// A stored text field of the current record; Null, absent or unreadable read as empty.
std::string StoredText(const Recordset& rst, std::string_view field) {
  auto v = rst.ValueView(field);
  if (!v.ok() || *v == nullptr || (*v)->IsNull()) return {};
  return (*v)->ToText();
}

}  // namespace

std::string QAV::AddressFilter(const std::string& smtp, const std::string& odn, bool bracketed) {
  if (smtp.empty() && odn.empty()) return {};
  const std::string_view f_smtp = bracketed ? "[SMTP]" : "SMTP";
  const std::string_view f_odn = bracketed ? "[ODN]" : "ODN";
  const std::string_view f_proxies = bracketed ? "[Proxies]" : "Proxies";
  const std::string_view f_x500 = bracketed ? "[X500Proxies]" : "X500Proxies";
  // Each address is quoted once, for both comparisons that name it; the filter is written
  // into one string (it is made twice for every contact an MCL reaches).
  std::string s;
  std::string o;
  if (!smtp.empty()) AppendQuotedFilterValue(s, smtp);
  if (!odn.empty()) AppendQuotedFilterValue(o, odn);
  std::string f;
  f.reserve(2 * (s.size() + o.size()) + 96);
  auto like = [&f](std::string_view field, std::string_view op, std::string_view before,
                   const std::string& value, std::string_view after) {
    f.append(field).append(op).append(before).append(value).append(after);
  };
  if (!smtp.empty()) {
    like(f_smtp, " LIKE '", "", s, "'");
    f += " OR ";
  }
  if (!odn.empty()) {
    like(f_odn, " LIKE '", "", o, "'");
    f += " OR ";
  }
  if (!smtp.empty()) like(f_proxies, " Like '", "*;", s, ";*'");
  if (!smtp.empty() && !odn.empty()) f += " OR ";
  if (!odn.empty()) like(f_x500, " Like '", "*;", o, ";*'");
  return f;
}

std::string QAV::QavMatchFilter(const std::string& smtp, const std::string& odn) {
  return AddressFilter(smtp, odn, false);
}

void QAV::FindMatchInQAV(std::string& smtp, std::string& odn) {
  if ((smtp.empty() && odn.empty()) || !rstQAV) return;
  FindMatchInQAV(smtp, odn, QavMatchFilter(smtp, odn));
}

void QAV::FindMatchInQAV(std::string& smtp, std::string& odn, const std::string& filter) {
  const std::string kPrefix = "QAV::FindMatchInQAV:";
  if ((smtp.empty() && odn.empty()) || !rstQAV) return;
  Recordset& rst = *rstQAV;
  rst.ClearFilter().IgnoreError();
  rst.MoveFirst().IgnoreError();
  if (rt_.TraceWanted()) rt_.WriteLog(kPrefix + "search filter=" + filter, kLogTrace);
  // A filter that cannot be set finds nobody: the contact keeps its own identity.
  if (!SetFilterOrLog(rst, filter, "FindMatchInQAV:") || rst.Eof()) {
    rt_.WriteLog(kPrefix + "found no match in QAV data using filter =" + filter, kLogDetail);
    return;
  }
  if (std::string stored = StoredText(rst, "SMTP"); !stored.empty()) {
    const std::string r = DecodeWildcards(stored);
    if (smtp != r) {
      rt_.WriteLog(kPrefix + "found match on different primary SMTP; replacing '" + smtp +
                       "' with '" + r + "'",
                   kLogInfo);
      smtp = r;
    } else {
      rt_.WriteLog(kPrefix + " found match on existing primary SMTP '" + smtp + "'", kLogDetail);
    }
    return;
  }
  if (std::string stored = StoredText(rst, "ODN"); !stored.empty()) {
    const std::string r = DecodeWildcards(stored);
    if (odn != r) {
      rt_.WriteLog(
          kPrefix + "found match on different ODN; replacing '" + odn + "' with '" + r + "'",
          kLogInfo);
      odn = r;
    } else {
      rt_.WriteLog(kPrefix + " found match on existing ODN '" + odn + "'", kLogDetail);
    }
  }
}

}  // namespace testqav
