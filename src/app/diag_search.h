// `testqav --search COMMAND`: runs a directory command against a server folder's directory
// and prints the rows as LDIF.
#pragma once

#include <filesystem>
#include <ostream>
#include <string>
#include <string_view>
#include <vector>

#include "platform/directory/directory.h"

namespace testqav {

// Runs `command_text` ("<GC://base>;filter;attr1,attr2;scope", or LDAP://) against the
// directory of `server_dir` and prints every row to `out` as an LDIF record. Errors (opening
// the directory, a malformed command, the search) go to `err` as number and description;
// returns 0 on success, 1 on error.
int RunSearch(const std::filesystem::path& server_dir, std::string_view command_text,
              std::ostream& out, std::ostream& err);

// One LDIF record (RFC 2849) followed by a blank line: "dn:", then the `attributes` in that
// order under those names (absent ones left out), or every attribute of the entry in its
// order when `attributes` is empty. Values that are not safe strings are written base64.
void WriteLdifRecord(const DirectoryEntry& entry, const std::vector<std::string>& attributes,
                     std::ostream& out);

// True when `value` may be written as it stands after "name: ".
bool IsSafeLdifString(std::string_view value);

}  // namespace testqav
