// What the engine decided about each item of an update run, and why: the observer that
// `explain` and the run report listen with. The engine calls it at the points where it
// already decides (a record added, a duplicate skipped, a field filled, a list expanded or
// refused) and only through Runtime::provenance, which is null unless someone listens: a
// run without an observer pays one pointer test per decision.
//
// An observer only listens. It must not touch the runtime, the session or the data sets,
// and whatever it does, the run's log lines, dumps and write-backs stay what they would be
// without it. Every member has an empty default, so an observer overrides only what it
// needs. Texts are as the engine holds them at that point (decoded, not in the stored
// "#25" form).
#pragma once

#include <string>

namespace testqav {

// The registration message a QAV record is built from.
struct RegistrationSource {
  std::string pin;
  std::string topic;    // the conversation topic as the message holds it (an address)
  double modified = 0;  // last modification, an OLE date; 0 when the message has none
  bool has_modified = false;
};

// A contact as the SourceMCL walk sees it: its display name and its identity after the
// match against the registered users.
struct ContactRef {
  std::string name;
  std::string smtp;
  std::string odn;
};

// How a list entered the walk.
enum class ListKind {
  kDistributionList,  // an address-book list, expanded member by member
  kQueryBased,        // a query-based list, whose stored filter gives the members
};

class ProvenanceObserver {
 public:
  virtual ~ProvenanceObserver() = default;

  // Registrations. `field` names what matched the existing record ("SMTP", "ODN", "Proxies"
  // or "X500Proxies"); `filter` is the duplicate filter itself.
  virtual void RegistrationAdded(const RegistrationSource& /*source*/, const ContactRef& /*user*/) {
  }
  virtual void RegistrationDuplicate(const RegistrationSource& /*source*/,
                                     const ContactRef& /*user*/,
                                     const std::string& /*existing_smtp*/,
                                     const std::string& /*field*/, const std::string& /*filter*/) {}
  // A registration that gives no record: no usable SMTP address, or neither SMTP nor ODN.
  virtual void RegistrationUnusable(const RegistrationSource& /*source*/,
                                    const std::string& /*smtp*/, const std::string& /*why*/) {}
  // The GAL pass filled `field` of the registered user `smtp` (a proxy list field once,
  // however many addresses it appended).
  virtual void GalFieldFilled(const std::string& /*smtp*/, const std::string& /*field*/) {}

  // Mandatory contact lists. An MCL that gets a number is started; one that does not is
  // passed over with the reason.
  virtual void MclStarted(const std::string& /*mclid*/, const std::string& /*subject*/,
                          const std::string& /*source*/, const std::string& /*target*/) {}
  virtual void MclPassedOver(const std::string& /*subject*/, const std::string& /*why*/) {}
  // A source address of the MCL that gives no Exchange entry.
  virtual void SourceUnresolved(const std::string& /*mclid*/, const std::string& /*address*/) {}
  // A list whose members the walk now visits; every ListEntered is followed by one ListLeft
  // once its members are done, with the lists it reaches entered and left in between, so
  // an observer that keeps a stack knows the path to every contact. `filter` is the stored
  // filter of a query-based list.
  virtual void ListEntered(const std::string& /*mclid*/, ListKind /*kind*/,
                           const ContactRef& /*list*/, const std::string& /*filter*/) {}
  virtual void ListLeft(const std::string& /*mclid*/) {}
  // A list that is not expanded again within the MCL (it was reached before).
  virtual void ListRefused(const std::string& /*mclid*/, const ContactRef& /*list*/) {}
  // A contact given a SourceMCL record of its own (`is_list` for a list's record).
  virtual void ContactAdded(const std::string& /*mclid*/, const ContactRef& /*contact*/,
                            bool /*is_list*/) {}
  // The MCL's identifier appended to a contact's existing record.
  virtual void MclIdAppended(const std::string& /*mclid*/, const ContactRef& /*contact*/) {}
  // A contact reached again by the same MCL, whose record has its identifier already.
  virtual void ContactReachedAgain(const std::string& /*mclid*/, const ContactRef& /*contact*/) {}
  // A contact reached but given no record (no address to file it under).
  virtual void ContactSkipped(const std::string& /*mclid*/, const ContactRef& /*contact*/,
                              const std::string& /*why*/) {}
};

}  // namespace testqav
