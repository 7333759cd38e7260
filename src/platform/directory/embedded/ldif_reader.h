// LDIF content files (RFC 2849): version line, folded lines, comments, base64 values ("::").
// Change records (changetype, "-" separators) and URL values (":<") are refused. Errors
// name the file, the line and the fault.
#pragma once

#include <functional>
#include <ostream>
#include <string>
#include <string_view>
#include <vector>

#include "platform/common/status.h"
#include "platform/directory/directory.h"

namespace testqav {

// Parses LDIF text. On a fault writes "<file>:<line>: <fault>" to `diagnostics` and returns
// err::kCorrupt with the same text. Values of an attribute given on several lines are
// gathered in file order under the spelling of its first line.
Result<std::vector<DirectoryEntry>> ParseLdif(std::string_view text, std::string_view file_name,
                                              std::ostream& diagnostics);
// The same, handing each entry to `each` as soon as it is complete instead of gathering
// them, so that a large file is never held as entries and as something built from them at
// once. Entries handed out before a fault stay handed out; the caller discards them.
Status ParseLdifEach(std::string_view text, std::string_view file_name, std::ostream& diagnostics,
                     const std::function<void(DirectoryEntry&&)>& each);

}  // namespace testqav
