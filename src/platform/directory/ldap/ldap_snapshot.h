// A snapshot of some of an LDAP directory's entries: read once with paged searches into the
// embedded directory's store and indexes, and searched there. Callers that ask many small questions
// of the same objects (the address book) get the embedded directory's speed; the server sees a few
// hundred page requests instead of one round trip per question.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "platform/common/status.h"
#include "platform/directory/directory.h"
#include "platform/directory/ldap/ldap_directory.h"

namespace testqav {

struct SnapshotRequest {
  std::string base;    // the entry under which the snapshot is taken; it is held too
  std::string filter;  // the entries below `base` that it holds
  // The attributes it holds; `name` and `distinguishedName` are worked out from the DN as
  // the embedded directory does, never asked of the server.
  std::vector<std::string> attributes;
};

// The entries of `request`, in the server's order, as an embedded directory with the
// server's rootDSE. Searches of it under `base` give what the same searches of the server
// give, for filters and attributes within what it holds. Fails when the server does not give
// the whole answer (a size or administrative limit, a referral, a lost server): a snapshot
// is complete or none.
Result<std::shared_ptr<Directory>> TakeSnapshot(LdapDirectory& server,
                                                const SnapshotRequest& request);

}  // namespace testqav
