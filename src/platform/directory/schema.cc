#include "platform/directory/schema.h"

#include <ldap_schema.h>

#include <mutex>

#include "platform/common/error_codes.h"
#include "platform/common/text.h"

namespace testqav {
namespace {

struct RuleName {
  const char* name;
  const char* oid;
  MatchKind kind;
};

constexpr RuleName kRules[] = {
    {"objectIdentifierMatch", "2.5.13.0", MatchKind::kObjectIdentifier},
    {"distinguishedNameMatch", "2.5.13.1", MatchKind::kDistinguishedName},
    {"caseIgnoreMatch", "2.5.13.2", MatchKind::kCaseIgnore},
    {"caseIgnoreOrderingMatch", "2.5.13.3", MatchKind::kCaseIgnore},
    {"caseIgnoreSubstringsMatch", "2.5.13.4", MatchKind::kCaseIgnore},
    {"caseExactMatch", "2.5.13.5", MatchKind::kCaseExact},
    {"caseExactOrderingMatch", "2.5.13.6", MatchKind::kCaseExact},
    {"caseExactSubstringsMatch", "2.5.13.7", MatchKind::kCaseExact},
    {"booleanMatch", "2.5.13.13", MatchKind::kBoolean},
    {"integerMatch", "2.5.13.14", MatchKind::kInteger},
    {"integerOrderingMatch", "2.5.13.15", MatchKind::kInteger},
    {"octetStringMatch", "2.5.13.17", MatchKind::kOctetString},
    {"telephoneNumberMatch", "2.5.13.20", MatchKind::kTelephoneNumber},
    {"telephoneNumberSubstringsMatch", "2.5.13.21", MatchKind::kTelephoneNumber},
    {"generalizedTimeMatch", "2.5.13.27", MatchKind::kGeneralizedTime},
    {"generalizedTimeOrderingMatch", "2.5.13.28", MatchKind::kGeneralizedTime},
    {"caseExactIA5Match", "1.3.6.1.4.1.1466.109.114.1", MatchKind::kCaseExactIA5},
    {"caseIgnoreIA5Match", "1.3.6.1.4.1.1466.109.114.2", MatchKind::kCaseIgnoreIA5},
    {"caseIgnoreIA5SubstringsMatch", "1.3.6.1.4.1.1466.109.114.3", MatchKind::kCaseIgnoreIA5},
};

std::vector<std::string> Names(char** names) {
  std::vector<std::string> out;
  for (char** p = names; p != nullptr && *p != nullptr; ++p) out.emplace_back(*p);
  return out;
}

std::string Key(std::string_view name) { return LowerCase(name); }

}  // namespace

AttributeType UnicodeStringAttribute(std::string name) {
  AttributeType t;
  t.names.push_back(std::move(name));
  t.equality = MatchKind::kCaseIgnore;
  t.ordering = MatchKind::kCaseIgnore;
  t.substr = MatchKind::kCaseIgnore;
  t.syntax = "1.3.6.1.4.1.1466.115.121.1.15";
  return t;
}

MatchKind MatchKindOfRule(std::string_view name_or_oid) {
  for (const RuleName& r : kRules) {
    if (EqualsIgnoreCase(name_or_oid, r.name) || name_or_oid == r.oid) return r.kind;
  }
  return MatchKind::kNone;
}

Status Schema::Add(std::string_view text, std::string_view origin) {
  // Collect definitions with the line on which each starts, so that errors can name it.
  std::vector<std::pair<size_t, std::string>> defs;
  size_t line_no = 0;
  for (const std::string& raw : Split(text, "\n")) {
    ++line_no;
    std::string line = raw;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.empty() || line[0] == '#') continue;
    if (line[0] == ' ' || line[0] == '\t') {
      if (defs.empty()) {
        if (Trim(line).empty()) continue;
        return Status(err::kCorrupt, std::string(origin) + ":" + std::to_string(line_no) +
                                         ": continuation line without a definition");
      }
      defs.back().second += " " + line;
      continue;
    }
    defs.emplace_back(line_no, line);
  }
  for (const auto& [start, def] : defs) {
    size_t sp = def.find_first_of(" \t");
    std::string keyword = LowerCase(def.substr(0, sp));
    std::string body = sp == std::string::npos ? "" : def.substr(sp + 1);
    int code = 0;
    const char* errp = nullptr;
    auto fail = [&](const std::string& what) {
      return Status(err::kCorrupt, std::string(origin) + ":" + std::to_string(start) + ": " + what);
    };
    if (keyword == "attributetype") {
      LDAPAttributeType* at =
          ldap_str2attributetype(body.c_str(), &code, &errp, LDAP_SCHEMA_ALLOW_NONE);
      if (at == nullptr) {
        return fail(std::string("bad attributetype: ") + ldap_scherr2str(code) + " near \"" +
                    std::string(errp ? errp : "").substr(0, 30) + "\"");
      }
      AttributeType t;
      t.oid = at->at_oid;
      t.names = Names(at->at_names);
      if (at->at_sup_oid) t.sup = at->at_sup_oid;
      if (at->at_equality_oid) t.equality = MatchKindOfRule(at->at_equality_oid);
      if (at->at_ordering_oid) t.ordering = MatchKindOfRule(at->at_ordering_oid);
      if (at->at_substr_oid) t.substr = MatchKindOfRule(at->at_substr_oid);
      if (at->at_syntax_oid) t.syntax = at->at_syntax_oid;
      t.single_value = at->at_single_value != 0;
      t.origin = std::string(origin);
      ldap_attributetype_free(at);
      size_t pos = attributes_.size();
      attribute_index_[Key(t.oid)] = pos;
      for (const std::string& n : t.names) attribute_index_[Key(n)] = pos;
      attributes_.push_back(std::move(t));
    } else if (keyword == "objectclass") {
      LDAPObjectClass* oc =
          ldap_str2objectclass(body.c_str(), &code, &errp, LDAP_SCHEMA_ALLOW_NONE);
      if (oc == nullptr) {
        return fail(std::string("bad objectclass: ") + ldap_scherr2str(code) + " near \"" +
                    std::string(errp ? errp : "").substr(0, 30) + "\"");
      }
      ObjectClass c;
      c.oid = oc->oc_oid;
      c.names = Names(oc->oc_names);
      c.sups = Names(oc->oc_sup_oids);
      ldap_objectclass_free(oc);
      size_t pos = classes_.size();
      class_index_[Key(c.oid)] = pos;
      for (const std::string& n : c.names) class_index_[Key(n)] = pos;
      classes_.push_back(std::move(c));
    } else {
      return fail("unknown schema keyword \"" + keyword + "\"");
    }
  }
  ResolveInheritance();
  BuildLookups();
  return Status::Ok();
}

void Schema::BuildLookups() {
  attribute_exact_.clear();
  class_exact_.clear();
  // Only spellings whose folded form leads to the same definition are taken, so the fast
  // path can never answer differently from the folded index.
  auto add = [](ExactIndex& exact, const std::map<std::string, size_t>& folded,
                const std::string& spelling) {
    for (const std::string& s : {spelling, LowerCase(spelling)}) {
      auto it = folded.find(Key(s));
      if (it != folded.end()) exact.emplace(s, it->second);
    }
  };
  for (const AttributeType& t : attributes_) {
    add(attribute_exact_, attribute_index_, t.oid);
    for (const std::string& n : t.names) add(attribute_exact_, attribute_index_, n);
  }
  for (const ObjectClass& c : classes_) {
    add(class_exact_, class_index_, c.oid);
    for (const std::string& n : c.names) add(class_exact_, class_index_, n);
  }
  class_closures_.clear();
  class_closures_.reserve(classes_.size());
  for (const ObjectClass& c : classes_) class_closures_.push_back(ClassClosure(c.oid));
}

void Schema::ResolveInheritance() {
  // Supertypes may be defined later in the text; repeat until nothing changes.
  for (size_t round = 0; round < 8; ++round) {
    bool changed = false;
    for (AttributeType& t : attributes_) {
      if (t.sup.empty()) continue;
      auto it = attribute_index_.find(Key(t.sup));
      if (it == attribute_index_.end()) continue;
      const AttributeType sup = attributes_[it->second];
      auto inherit = [&changed](MatchKind& mine, MatchKind theirs) {
        if (mine == MatchKind::kNone && theirs != MatchKind::kNone) {
          mine = theirs;
          changed = true;
        }
      };
      inherit(t.equality, sup.equality);
      inherit(t.ordering, sup.ordering);
      inherit(t.substr, sup.substr);
      if (t.syntax.empty() && !sup.syntax.empty()) {
        t.syntax = sup.syntax;
        changed = true;
      }
    }
    if (!changed) break;
  }
}

const AttributeType* Schema::FindAttribute(std::string_view name_or_oid) const {
  if (auto exact = attribute_exact_.find(name_or_oid); exact != attribute_exact_.end()) {
    return &attributes_[exact->second];
  }
  auto it = attribute_index_.find(Key(name_or_oid));
  return it == attribute_index_.end() ? nullptr : &attributes_[it->second];
}

const ObjectClass* Schema::FindClass(std::string_view name_or_oid) const {
  if (auto exact = class_exact_.find(name_or_oid); exact != class_exact_.end()) {
    return &classes_[exact->second];
  }
  auto it = class_index_.find(Key(name_or_oid));
  return it == class_index_.end() ? nullptr : &classes_[it->second];
}

std::vector<std::string> Schema::ClassClosure(std::string_view name_or_oid) const {
  std::vector<std::string> out;
  std::vector<const ObjectClass*> todo;
  if (const ObjectClass* c = FindClass(name_or_oid)) todo.push_back(c);
  while (!todo.empty()) {
    const ObjectClass* c = todo.back();
    todo.pop_back();
    std::string key = Key(c->PrimaryName());
    bool seen = false;
    for (const std::string& o : out) seen = seen || o == key;
    if (seen) continue;
    out.push_back(key);
    for (const std::string& s : c->sups) {
      if (const ObjectClass* sc = FindClass(s)) todo.push_back(sc);
    }
  }
  return out;
}

const std::vector<std::string>* Schema::ClassClosureOf(std::string_view name_or_oid) const {
  const ObjectClass* c = FindClass(name_or_oid);
  if (c == nullptr) return nullptr;
  return &class_closures_[static_cast<size_t>(c - classes_.data())];
}

std::shared_ptr<const Schema> Schema::Builtin() {
  static std::once_flag once;
  static std::shared_ptr<const Schema> schema;
  std::call_once(once, [] {
    auto s = std::make_shared<Schema>();
    // The compiled-in texts are tested by the build's own tests; a failure here would be a
    // build defect, so it leaves whatever definitions parsed.
    s->Add(kBaseSchemaText, "base.schema").IgnoreError();
    s->Add(kTestqavSchemaText, "testqav.schema").IgnoreError();
    schema = s;
  });
  return schema;
}

}  // namespace testqav
