// The directory schema that filter evaluation needs: attribute types with their matching
// rules, syntax and SINGLE-VALUE flag, and object classes with their superclasses. It is
// read from OpenLDAP-style schema text ("attributetype ( ... )" / "objectclass ( ... )"),
// the same files that are loaded into slapd, so both backends compare values alike.
#pragma once

#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "platform/common/status.h"
#include "platform/common/text.h"

namespace testqav {

// The comparison a matching rule performs. Equality, ordering and substring variants of one
// rule family share a kind (they normalise values the same way).
enum class MatchKind {
  kNone,             // no rule: every assertion with it is Undefined
  kCaseIgnore,       // caseIgnore*: Unicode case folding, blanks trimmed and runs folded
  kCaseExact,        // caseExact*: blanks trimmed and folded, case kept
  kCaseIgnoreIA5,    // caseIgnoreIA5*: ASCII only, case and blanks folded
  kCaseExactIA5,     // caseExactIA5Match
  kTelephoneNumber,  // telephoneNumber*: spaces and hyphens ignored, case folded
  kDistinguishedName,
  kInteger,
  kBoolean,
  kObjectIdentifier,  // objectClass values: names or OIDs, case ignored
  kOctetString,
  kGeneralizedTime,  // generalizedTime*: the instant, whatever the time zone and precision
};

// The kind of a matching rule given by name or OID; kNone when unknown.
MatchKind MatchKindOfRule(std::string_view name_or_oid);

struct AttributeType {
  std::string oid;
  std::vector<std::string> names;  // first one is the primary name
  std::string sup;                 // supertype name/OID as written, or ""
  MatchKind equality = MatchKind::kNone;
  MatchKind ordering = MatchKind::kNone;
  MatchKind substr = MatchKind::kNone;
  std::string syntax;  // syntax OID without length bound
  bool single_value = false;
  std::string origin;  // the schema text that defined it ("base.schema", "testqav.schema", ...)

  const std::string& PrimaryName() const { return names.empty() ? oid : names.front(); }
  bool IsInteger() const { return syntax == "1.3.6.1.4.1.1466.115.121.1.27"; }
};

// The type Active Directory gives a string attribute (Unicode String syntax): equality,
// ordering and substrings ignoring case. A directory compares an attribute that its schema
// does not define this way, named `name`.
AttributeType UnicodeStringAttribute(std::string name);

struct ObjectClass {
  std::string oid;
  std::vector<std::string> names;
  std::vector<std::string> sups;
  const std::string& PrimaryName() const { return names.empty() ? oid : names.front(); }
};

class Schema {
 public:
  // Parses schema text. Lines starting with "#" are comments, a definition starts with
  // "attributetype" or "objectclass" (any case) and continues on lines that start with a
  // blank. Errors (kCorrupt) name `origin`, the line and libldap's complaint. Rules and
  // syntax missing from a type are inherited from its supertype.
  Status Add(std::string_view text, std::string_view origin);

  // By any name (case ignored) or OID; nullptr when unknown.
  const AttributeType* FindAttribute(std::string_view name_or_oid) const;
  // Every attribute type, in the order of definition.
  const std::vector<AttributeType>& attributes() const { return attributes_; }
  const ObjectClass* FindClass(std::string_view name_or_oid) const;
  // Lower-cased primary names of the class and of all its superclasses; empty when unknown.
  std::vector<std::string> ClassClosure(std::string_view name_or_oid) const;
  // The same, computed once per class when the schema is built; nullptr when unknown.
  const std::vector<std::string>* ClassClosureOf(std::string_view name_or_oid) const;

  // base.schema + testqav.schema, compiled into the program.
  static std::shared_ptr<const Schema> Builtin();

 private:
  using ExactIndex = TextMap<size_t>;

  void ResolveInheritance();
  void BuildLookups();
  std::vector<AttributeType> attributes_;
  std::vector<ObjectClass> classes_;
  std::map<std::string, size_t> attribute_index_;  // folded name/OID -> position
  std::map<std::string, size_t> class_index_;
  // Names and OIDs as the schema spells them and lower-cased: the spellings that data and
  // callers use, answered without folding. Other spellings fall back to the folded index.
  ExactIndex attribute_exact_;
  ExactIndex class_exact_;
  std::vector<std::vector<std::string>> class_closures_;  // parallel to classes_
};

// The schema texts compiled into the program (generated from schema/*.schema).
extern const char* const kBaseSchemaText;
extern const char* const kTestqavSchemaText;

}  // namespace testqav
