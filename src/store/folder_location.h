// Turning the folder references of the agent settings (entry IDs and paths) into folders and
// messages of the logged-on session, in the mailbox or the public folder store.
#pragma once

#include <string>

#include "core/runtime.h"
#include "platform/messaging/messaging.h"

namespace testqav {

// The folder with that entry ID, from the default store or else the public store; nullptr
// (after a level-1 line) when neither gives it.
FolderPtr GetFolder(Runtime& rt, const std::string& id);
// The folder at a path ("<store name>\a\b" or "...Public Folders\All Public Folders\a\b").
FolderPtr GetTargetFolder(Runtime& rt, std::string path);
// The entry ID of the public folder store, or "".
std::string GetPublicStoreID(Runtime& rt);
// The message with that entry ID from the default or the public store; nullptr when neither.
MessagePtr GetMessageByID(Runtime& rt, const std::string& id);
// The distribution list of the Global Address List whose display name is `name` and whose
// SMTP address is `smtp` (both compared ignoring case); nullptr when there is none.
AddressEntryPtr GetDLAddressEntry(Runtime& rt, const std::string& name, const std::string& smtp);

}  // namespace testqav
