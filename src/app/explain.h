// `testqav explain`: why a person or list is where the update run puts it. The run is made
// dry (nothing in the host folder changes) with a provenance observer listening; its
// decisions and dumps are then searched for the name asked about.
#pragma once

#include <iosfwd>
#include <map>
#include <string>
#include <vector>

#include "app/dry_run.h"
#include "engine/provenance.h"

namespace testqav {

// One step of the path from an MCL to a contact: a list the walk was inside.
struct PathStep {
  ListKind kind = ListKind::kDistributionList;
  std::string name;
  std::string smtp;
  std::string filter;  // query-based lists
};

// Everything a provenance observer can be told, kept in the order it was told.
class ProvenanceRecorder : public ProvenanceObserver {
 public:
  struct Registration {
    std::string outcome;  // "added", "duplicate", "unusable"
    RegistrationSource source;
    std::string smtp;
    std::string odn;
    std::string existing_smtp;  // duplicate: the record it duplicates
    std::string field;          // duplicate: what matched
    std::string filter;         // duplicate: the filter that found it
    std::string why;            // unusable
  };
  struct Mcl {
    std::string id;
    std::string subject;
    std::string source;
    std::string target;
  };
  struct ContactEvent {
    // "added", "appended", "again", "skipped", "refused" (a list not expanded again),
    // "expanded" (a list whose members were walked), "unresolved" (a source address).
    std::string outcome;
    std::string mclid;
    ContactRef contact;
    bool is_list = false;
    std::string why;
    std::vector<PathStep> path;  // the lists the walk was inside, outermost first
    std::string filter;          // "expanded" query-based list: its filter
  };

  void RegistrationAdded(const RegistrationSource& source, const ContactRef& user) override;
  void RegistrationDuplicate(const RegistrationSource& source, const ContactRef& user,
                             const std::string& existing_smtp, const std::string& field,
                             const std::string& filter) override;
  void RegistrationUnusable(const RegistrationSource& source, const std::string& smtp,
                            const std::string& why) override;
  void GalFieldFilled(const std::string& smtp, const std::string& field) override;
  void MclStarted(const std::string& mclid, const std::string& subject, const std::string& source,
                  const std::string& target) override;
  void MclPassedOver(const std::string& subject, const std::string& why) override;
  void SourceUnresolved(const std::string& mclid, const std::string& address) override;
  void ListEntered(const std::string& mclid, ListKind kind, const ContactRef& list,
                   const std::string& filter) override;
  void ListLeft(const std::string& mclid) override;
  void ListRefused(const std::string& mclid, const ContactRef& list) override;
  void ContactAdded(const std::string& mclid, const ContactRef& contact, bool is_list) override;
  void MclIdAppended(const std::string& mclid, const ContactRef& contact) override;
  void ContactReachedAgain(const std::string& mclid, const ContactRef& contact) override;
  void ContactSkipped(const std::string& mclid, const ContactRef& contact,
                      const std::string& why) override;

  std::vector<Registration> registrations;
  std::map<std::string, std::vector<std::string>> gal_fields;  // folded SMTP -> fields
  std::vector<Mcl> mcls;
  std::vector<std::pair<std::string, std::string>> passed_over;  // subject, why
  std::vector<ContactEvent> contacts;

 private:
  void Contact(std::string outcome, const std::string& mclid, const ContactRef& contact,
               bool is_list, std::string why);
  std::vector<PathStep> stack_;
};

// A dump as rows of field name -> value, values decoded from their stored form.
using DumpRow = std::map<std::string, std::string>;
std::vector<DumpRow> ParseDump(const std::string& csv);

// Exit status of `explain` when no person or list matches the name.
inline constexpr int kExitNothingMatched = 13;

// Finds `name` among what the dry run did and writes the explanation to `out` (plain text,
// or JSON with `json`). Returns 0 when something matched, kExitNothingMatched otherwise.
int WriteExplanation(const std::string& name, const ProvenanceRecorder& recorder,
                     const DryRunResult& run, bool json, std::ostream& out);

}  // namespace testqav
