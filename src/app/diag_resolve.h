// `testqav --resolve NAME`: shows how the address book of a server folder resolves a name,
// and every address-entry property that an update run reads.
#pragma once

#include <filesystem>
#include <ostream>
#include <string_view>

namespace testqav {

// Opens the address book of `server_dir` (exchange/<server>/), resolves `name` as a
// recipient would be resolved and prints the result to `out`: resolved yes/no, address type,
// display type, entry ID, name, address, SMTP address, members of a list, then each property
// tag the run reads with its value (arrays one element per line, absent ones marked).
// Errors (opening, resolving) go to `err` as number and description; returns 0 when the
// name resolved, 1 otherwise.
int RunResolve(const std::filesystem::path& server_dir, std::string_view name, std::ostream& out,
               std::ostream& err);

}  // namespace testqav
