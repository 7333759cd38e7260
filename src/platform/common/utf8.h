// The one rule for what counts as UTF-8 text, used wherever text from outside is checked (the
// run log, the directory's matching rules, the mailbox store's reader).
#pragma once

#include <cstddef>
#include <string_view>

namespace testqav {

// The length (1 to 4) of the well-formed UTF-8 sequence at the start of `text`, or 0 when it
// does not start with one (or is empty). Well-formed is RFC 3629's rule: the shortest form
// only (no overlong sequences), no surrogates (U+D800 to U+DFFF), nothing past U+10FFFF.
size_t Utf8SequenceLength(std::string_view text);
// True when all of `text` is well-formed UTF-8 by the rule above.
bool IsValidUtf8(std::string_view text);

}  // namespace testqav
