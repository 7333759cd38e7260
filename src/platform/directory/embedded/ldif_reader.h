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

// A large file in pieces that can be parsed at once on several threads. Each piece after
// the first starts with a record (a "dn:" line after an empty line) and knows how many lines
// of the file come before it, so that a fault still names its line in the file.
struct LdifPiece {
  std::string_view text;
  size_t lines_before = 0;
};
// `text` cut into at most `count` pieces of about equal size at record boundaries; fewer
// when it has fewer such boundaries. Together the pieces are the text.
std::vector<LdifPiece> SplitLdif(std::string_view text, size_t count);
// Continuation lines that have nothing to continue make the whole file unreadable: this
// fault goes before any other, wherever it is. Checks a whole file or one of its pieces
// (a piece starts where no line can be continued).
Status CheckLdifContinuations(const LdifPiece& piece, std::string_view file_name,
                              std::ostream& diagnostics);
// ParseLdifEach for one piece of a file whose pieces all passed CheckLdifContinuations.
Status ParseLdifPieceEach(const LdifPiece& piece, std::string_view file_name,
                          std::ostream& diagnostics,
                          const std::function<void(DirectoryEntry&&)>& each);

}  // namespace testqav
