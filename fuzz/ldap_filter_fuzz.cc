// Feeds arbitrary bytes to the LDAP search filter parser: it must neither crash nor accept a
// filter whose text (FilterToString) does not parse back to the same text.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "platform/common/error_codes.h"
#include "platform/directory/filter.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view text(reinterpret_cast<const char*>(data), size);
  testqav::Result<testqav::FilterNode> tree = testqav::ParseFilter(text);
  if (!tree.ok()) {
    // Refusals are syntax errors that name the fault.
    if (tree.status().number() != testqav::err::kDirInvalidFilter) std::abort();
    if (tree.status().description().empty()) std::abort();
    return 0;
  }
  const std::string once = testqav::FilterToString(*tree);
  testqav::Result<testqav::FilterNode> again = testqav::ParseFilter(once);
  if (!again.ok() || testqav::FilterToString(*again) != once) std::abort();
  return 0;
}
