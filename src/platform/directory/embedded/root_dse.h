// The rootDSE of a directory file that does not supply one.
#pragma once

#include "platform/directory/directory.h"
#include "platform/directory/embedded/entry_store.h"

namespace testqav {

// defaultNamingContext, rootDomainNamingContext and namingContexts are the shortest run of
// DC= RDNs that ends every entry's DN that has one, spelled as in the first entry that has
// it; no attributes when no entry has a DC= RDN.
DirectoryEntry DeriveRootDse(const EntryStore& store);

}  // namespace testqav
