#include "app/explain.h"

#include <nlohmann/json.hpp>
#include <ostream>
#include <set>

#include "platform/common/text.h"
#include "platform/common/variant.h"

namespace testqav {

namespace {

using Json = nlohmann::ordered_json;

// "#23", "#25" and "#95" back to "#", "%" and "_"; any other "#" stays.
std::string Decode(const std::string& text) {
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '#' && i + 2 < text.size()) {
      const std::string code = text.substr(i + 1, 2);
      if (code == "23" || code == "25" || code == "95") {
        out += code == "23" ? '#' : code == "25" ? '%' : '_';
        i += 2;
        continue;
      }
    }
    out += text[i];
  }
  return out;
}

std::string Field(const DumpRow& row, const std::string& name) {
  auto it = row.find(name);
  return it == row.end() ? std::string() : it->second;
}

// Every name a record is known by: its address, its distinguished name, each address of
// its two proxy lists and (SourceMCL) its display name.
std::vector<std::string> NamesOf(const DumpRow& row) {
  std::vector<std::string> names;
  for (const char* f : {"SMTP", "ODN", "DisplayName"}) {
    if (!Field(row, f).empty()) names.push_back(Field(row, f));
  }
  for (const char* f : {"Proxies", "X500Proxies"}) {
    for (const std::string& p : Split(Field(row, f), ";")) {
      if (!p.empty()) names.push_back(p);
    }
  }
  return names;
}

// A target or source piece as a name: "EX:" and "SMTP:" prefixes and blanks dropped.
std::string BareAddress(std::string piece) {
  piece = Trim(piece);
  if (StartsWithIgnoreCase(piece, "SMTP:")) return piece.substr(5);
  if (StartsWithIgnoreCase(piece, "EX:")) return piece.substr(3);
  return piece;
}

const char* KindWord(ListKind kind) {
  return kind == ListKind::kQueryBased ? "query-based list" : "list";
}

Json RegistrationJson(const RegistrationSource& s) {
  Json j;
  j["pin"] = s.pin;
  j["topic"] = s.topic;
  j["last_modified"] = s.has_modified ? Json(FormatGeneralDate(s.modified)) : Json(nullptr);
  return j;
}

Json PathJson(const std::vector<PathStep>& path) {
  Json steps = Json::array();
  for (const PathStep& p : path) {
    Json s;
    s["kind"] = KindWord(p.kind);
    s["name"] = p.name;
    s["smtp"] = p.smtp;
    if (p.kind == ListKind::kQueryBased) s["filter"] = p.filter;
    steps.push_back(std::move(s));
  }
  return steps;
}

Json RecordJson(const DumpRow& row) {
  Json j = Json::object();
  for (const auto& [k, v] : row) {
    if (!v.empty()) j[k] = v;
  }
  return j;
}

std::string Quoted(const std::string& text) { return "\"" + text + "\""; }

std::string PathText(const std::string& mcl_subject, const std::string& mclid,
                     const std::vector<PathStep>& path, const std::string& last) {
  std::string text = "MCL " + Quoted(mcl_subject) + " #" + mclid;
  for (const PathStep& p : path) {
    text += " -> " + std::string(KindWord(p.kind)) + " " + Quoted(p.name.empty() ? p.smtp : p.name);
    if (p.kind == ListKind::kQueryBased && !p.filter.empty()) text += " (filter " + p.filter + ")";
  }
  return text + " -> " + last;
}

}  // namespace

void ProvenanceRecorder::RegistrationAdded(const RegistrationSource& source,
                                           const ContactRef& user) {
  registrations.push_back({"added", source, user.smtp, user.odn, "", "", "", ""});
}
void ProvenanceRecorder::RegistrationDuplicate(const RegistrationSource& source,
                                               const ContactRef& user,
                                               const std::string& existing_smtp,
                                               const std::string& field,
                                               const std::string& filter) {
  registrations.push_back(
      {"duplicate", source, user.smtp, user.odn, existing_smtp, field, filter, ""});
}
void ProvenanceRecorder::RegistrationUnusable(const RegistrationSource& source,
                                              const std::string& smtp, const std::string& why) {
  registrations.push_back({"unusable", source, smtp, "", "", "", "", why});
}
void ProvenanceRecorder::GalFieldFilled(const std::string& smtp, const std::string& field) {
  gal_fields[FoldCase(smtp)].push_back(field);
}
void ProvenanceRecorder::MclStarted(const std::string& mclid, const std::string& subject,
                                    const std::string& source, const std::string& target) {
  mcls.push_back({mclid, subject, source, target});
  stack_.clear();
}
void ProvenanceRecorder::MclPassedOver(const std::string& subject, const std::string& why) {
  passed_over.emplace_back(subject, why);
}
void ProvenanceRecorder::SourceUnresolved(const std::string& mclid, const std::string& address) {
  Contact("unresolved", mclid, {address, address, ""}, false, "no Exchange entry");
}
void ProvenanceRecorder::ListEntered(const std::string& mclid, ListKind kind,
                                     const ContactRef& list, const std::string& filter) {
  ContactEvent e{"expanded", mclid, list, true, "", stack_, filter};
  contacts.push_back(std::move(e));
  stack_.push_back({kind, list.name, list.smtp, filter});
}
void ProvenanceRecorder::ListLeft(const std::string& /*mclid*/) {
  if (!stack_.empty()) stack_.pop_back();
}
void ProvenanceRecorder::ListRefused(const std::string& mclid, const ContactRef& list) {
  Contact("refused", mclid, list, true, "expanded before within this MCL");
}
void ProvenanceRecorder::ContactAdded(const std::string& mclid, const ContactRef& contact,
                                      bool is_list) {
  Contact("added", mclid, contact, is_list, "");
}
void ProvenanceRecorder::MclIdAppended(const std::string& mclid, const ContactRef& contact) {
  Contact("appended", mclid, contact, false, "");
}
void ProvenanceRecorder::ContactReachedAgain(const std::string& mclid, const ContactRef& contact) {
  Contact("again", mclid, contact, false, "");
}
void ProvenanceRecorder::ContactSkipped(const std::string& mclid, const ContactRef& contact,
                                        const std::string& why) {
  Contact("skipped", mclid, contact, false, why);
}
void ProvenanceRecorder::Contact(std::string outcome, const std::string& mclid,
                                 const ContactRef& contact, bool is_list, std::string why) {
  contacts.push_back({std::move(outcome), mclid, contact, is_list, std::move(why), stack_, ""});
}

std::vector<DumpRow> ParseDump(const std::string& csv) {
  std::vector<DumpRow> rows;
  std::vector<std::string> header;
  size_t pos = 0;
  while (pos < csv.size()) {
    size_t end = csv.find("\r\n", pos);
    if (end == std::string::npos) end = csv.size();
    const std::vector<std::string> cells = Split(std::string_view(csv).substr(pos, end - pos), ",");
    pos = end + 2;
    if (header.empty()) {
      header = cells;
      continue;
    }
    DumpRow row;
    for (size_t i = 0; i < header.size() && i < cells.size(); ++i) {
      row[header[i]] = Decode(cells[i]);
    }
    rows.push_back(std::move(row));
  }
  return rows;
}

int WriteExplanation(const std::string& name, const ProvenanceRecorder& recorder,
                     const DryRunResult& run, bool json, std::ostream& out) {
  const auto qav_it = run.dumps.find("QAV-GAL.csv");
  const auto src_it = run.dumps.find("SourceMCL-1.csv");
  const std::vector<DumpRow> qav =
      ParseDump(qav_it == run.dumps.end() ? std::string() : qav_it->second);
  const std::vector<DumpRow> sources =
      ParseDump(src_it == run.dumps.end() ? std::string() : src_it->second);

  // Every name the person or list goes by, folded: the one asked about and, once a record
  // matches it, all of the record's addresses.
  std::set<std::string> names{FoldCase(Trim(name))};
  auto known = [&](const std::string& text) {
    return !text.empty() && names.count(FoldCase(text)) > 0;
  };
  auto matches_row = [&](const DumpRow& row) {
    for (const std::string& n : NamesOf(row)) {
      if (known(n)) return true;
    }
    return false;
  };
  auto matches_contact = [&](const ContactRef& c) {
    return known(c.smtp) || known(c.odn) || known(c.name);
  };
  const DumpRow* user = nullptr;
  const DumpRow* contact = nullptr;
  // Twice: a record found through a contact's name may lead to the user's record.
  for (int round = 0; round < 2; ++round) {
    for (const DumpRow& row : qav) {
      if (user == nullptr && matches_row(row)) user = &row;
    }
    for (const DumpRow& row : sources) {
      if (contact == nullptr && matches_row(row)) contact = &row;
    }
    for (const DumpRow* row : {user, contact}) {
      if (row == nullptr) continue;
      for (const std::string& n : NamesOf(*row)) names.insert(FoldCase(n));
    }
    for (const auto& e : recorder.contacts) {
      if (!matches_contact(e.contact)) continue;
      for (const std::string* t : {&e.contact.smtp, &e.contact.odn}) {
        if (!t->empty()) names.insert(FoldCase(*t));
      }
    }
  }

  auto mcl_of = [&](const std::string& id) -> const ProvenanceRecorder::Mcl* {
    for (const auto& m : recorder.mcls) {
      if (m.id == id) return &m;
    }
    return nullptr;
  };
  auto subject_of = [&](const std::string& id) {
    const auto* m = mcl_of(id);
    return m == nullptr ? std::string() : m->subject;
  };

  std::vector<const ProvenanceRecorder::Registration*> regs;
  for (const auto& r : recorder.registrations) {
    if (known(r.smtp) || known(r.odn) || known(BareAddress(r.source.topic))) regs.push_back(&r);
  }
  std::vector<const ProvenanceRecorder::ContactEvent*> events;
  for (const auto& e : recorder.contacts) {
    if (matches_contact(e.contact)) events.push_back(&e);
  }
  std::vector<const ProvenanceRecorder::Mcl*> targeting;
  for (const auto& m : recorder.mcls) {
    for (const std::string& piece : Split(m.target, ";")) {
      if (known(BareAddress(piece))) {
        targeting.push_back(&m);
        break;
      }
    }
  }
  std::vector<std::string> gal;
  for (const auto& n : names) {
    auto it = recorder.gal_fields.find(n);
    if (it != recorder.gal_fields.end())
      gal.insert(gal.end(), it->second.begin(), it->second.end());
  }
  const bool found = user != nullptr || contact != nullptr || !regs.empty() || !events.empty() ||
                     !targeting.empty();

  // The MCLs that reach the contact: those whose identifier its record carries.
  std::vector<std::string> reaching;
  if (contact != nullptr) {
    for (const std::string& piece : Split(Field(*contact, "MCLID"), "}")) {
      if (piece.size() > 1 && piece[0] == '{') reaching.push_back(piece.substr(1));
    }
  }
  auto contacts_of = [&](const std::string& id) {
    std::vector<const DumpRow*> rows;
    for (const DumpRow& row : sources) {
      if (Contains(Field(row, "MCLID"), "{" + id + "}")) rows.push_back(&row);
    }
    return rows;
  };

  if (json) {
    Json j;
    j["query"] = name;
    j["found"] = found;
    j["run_status"] = run.exit_status;
    if (user != nullptr || !regs.empty()) {
      Json u;
      u["record"] = user != nullptr ? RecordJson(*user) : Json(nullptr);
      Json list = Json::array();
      for (const auto* r : regs) {
        Json e;
        e["outcome"] = r->outcome;
        e["registration"] = RegistrationJson(r->source);
        e["smtp"] = r->smtp;
        if (r->outcome == "duplicate") {
          e["duplicate_of"] = r->existing_smtp;
          e["matched_field"] = r->field;
          e["filter"] = r->filter;
        }
        if (r->outcome == "unusable") e["why"] = r->why;
        list.push_back(std::move(e));
      }
      u["registrations"] = std::move(list);
      u["gal_fields_filled"] = gal;
      j["registered_user"] = std::move(u);
    } else {
      j["registered_user"] = nullptr;
    }
    if (contact != nullptr || !events.empty()) {
      Json c;
      c["record"] = contact != nullptr ? RecordJson(*contact) : Json(nullptr);
      Json list = Json::array();
      for (const auto* e : events) {
        Json x;
        x["mcl"] = e->mclid;
        x["mcl_subject"] = subject_of(e->mclid);
        x["outcome"] = e->outcome;
        x["name"] = e->contact.name;
        x["smtp"] = e->contact.smtp;
        x["is_list"] = e->is_list;
        x["path"] = PathJson(e->path);
        if (!e->filter.empty()) x["filter"] = e->filter;
        if (!e->why.empty()) x["why"] = e->why;
        list.push_back(std::move(x));
      }
      c["events"] = std::move(list);
      Json reach = Json::array();
      for (const std::string& id : reaching) {
        Json m;
        m["mcl"] = id;
        const auto* def = mcl_of(id);
        m["subject"] = def != nullptr ? def->subject : "";
        m["target"] = def != nullptr ? def->target : "";
        reach.push_back(std::move(m));
      }
      c["reached_by"] = std::move(reach);
      j["source_contact"] = std::move(c);
    } else {
      j["source_contact"] = nullptr;
    }
    Json targets = Json::array();
    for (const auto* m : targeting) {
      Json t;
      t["mcl"] = m->id;
      t["subject"] = m->subject;
      t["target"] = m->target;
      Json pushed = Json::array();
      for (const DumpRow* row : contacts_of(m->id)) {
        pushed.push_back({{"name", Field(*row, "DisplayName")}, {"smtp", Field(*row, "SMTP")}});
      }
      t["contacts"] = std::move(pushed);
      targets.push_back(std::move(t));
    }
    j["target_of"] = std::move(targets);
    out << j.dump(2) << "\n";
    return found ? 0 : kExitNothingMatched;
  }

  if (!found) {
    out << "Nothing in this run matches " << Quoted(name) << ".\n";
    return kExitNothingMatched;
  }
  out << "Explaining " << Quoted(name) << "\n";
  if (user != nullptr || !regs.empty()) {
    out << "\nAs a registered handheld user:\n";
    if (user != nullptr) {
      out << "  record " << Field(*user, "SMTP") << " (PIN " << Field(*user, "PIN") << ")\n";
    } else {
      out << "  no record\n";
    }
    for (const auto* r : regs) {
      std::string when = r->source.has_modified ? FormatGeneralDate(r->source.modified) : "unknown";
      out << "  registration PIN " << r->source.pin << ", topic " << Quoted(r->source.topic)
          << ", last modified " << when << ": ";
      if (r->outcome == "added") {
        out << "made the record\n";
      } else if (r->outcome == "duplicate") {
        out << "skipped, a duplicate of " << r->existing_smtp << " found through " << r->field
            << "\n";
      } else {
        out << "skipped, " << r->why << "\n";
      }
    }
    if (!gal.empty()) {
      out << "  filled from the GAL:";
      for (const std::string& f : gal) out << " " << f;
      out << "\n";
    }
  }
  if (contact != nullptr || !events.empty()) {
    out << "\nAs a source contact:\n";
    if (contact != nullptr) {
      out << "  record " << Field(*contact, "SMTP") << " " << Quoted(Field(*contact, "DisplayName"))
          << ", MCLID " << Field(*contact, "MCLID") << "\n";
    } else {
      out << "  no record\n";
    }
    for (const auto* e : events) {
      const std::string who = e->contact.name.empty() ? e->contact.smtp : e->contact.name;
      std::string what = e->outcome;
      if (e->outcome == "added") what = e->is_list ? "record of the list added" : "record added";
      if (e->outcome == "appended") what = "MCL identifier appended to its record";
      if (e->outcome == "again") what = "reached again, its record has the identifier";
      if (e->outcome == "expanded") what = "members walked";
      if (e->outcome == "refused") what = "not expanded again (reached before in this MCL)";
      if (e->outcome == "skipped") what = "no record: " + e->why;
      if (e->outcome == "unresolved") what = "source address gives no Exchange entry";
      out << "  " << PathText(subject_of(e->mclid), e->mclid, e->path, Quoted(who)) << ": " << what
          << "\n";
    }
    if (!reaching.empty()) {
      out << "  whose phones receive it (the MCLs' targets):\n";
      for (const std::string& id : reaching) {
        const auto* def = mcl_of(id);
        out << "    MCL #" << id << " " << Quoted(def != nullptr ? def->subject : "") << " -> "
            << (def != nullptr ? def->target : "") << "\n";
      }
    }
  }
  if (!targeting.empty()) {
    out << "\nAs a target:\n";
    for (const auto* m : targeting) {
      const auto rows = contacts_of(m->id);
      out << "  MCL #" << m->id << " " << Quoted(m->subject) << " pushes " << rows.size()
          << " contact(s):\n";
      for (const DumpRow* row : rows) {
        out << "    " << Field(*row, "DisplayName") << " <" << Field(*row, "SMTP") << ">\n";
      }
    }
  }
  return 0;
}

}  // namespace testqav
