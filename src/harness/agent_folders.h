// The agent's own folders in the mailbox ("velkoraAgentInfo" with "velkoraUserInfo" below
// it), the settings message, and the four settings it holds.
#pragma once

#include "core/runtime.h"

namespace testqav {

inline constexpr const char* kAgentInfoFolderName = "velkoraAgentInfo";
inline constexpr const char* kUserInfoFolderName = "velkoraUserInfo";
inline constexpr const char* kAgentMessageClass = "velkora.Agent";
inline constexpr const char* kAgentMessageSubject = "velkoraAgent";
inline constexpr const char* kUserInfoMessageClass = "velkora.UserInfo";

// Finds (creating or migrating where needed) the agent folders; true when the settings
// message was found.
bool GetAgentFolders(Runtime& rt);
// Reads "HHPath", "HHEntryID", "MCPath", "MCEntryID" from the settings message.
void GetAgentSettings(Runtime& rt);
// The settings message, or nullptr.
MessagePtr GetAgentMessage(Runtime& rt);

}  // namespace testqav
