// Feeds arbitrary bytes to the LDIF reader: it must neither crash nor report a line outside
// the file, and a failure always says why.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <sstream>
#include <string>
#include <string_view>

#include "platform/directory/embedded/ldif_reader.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view text(reinterpret_cast<const char*>(data), size);
  std::ostringstream diagnostics;
  testqav::Result<std::vector<testqav::DirectoryEntry>> entries =
      testqav::ParseLdif(text, "fuzz.ldif", diagnostics);
  std::istringstream lines(diagnostics.str());
  std::string line;
  while (std::getline(lines, line)) {
    if (line.rfind("fuzz.ldif:", 0) != 0) std::abort();
    const unsigned long number = std::strtoul(line.c_str() + 10, nullptr, 10);
    if (number == 0 || number > size + 1) std::abort();
  }
  if (!entries.ok() && diagnostics.str().empty()) std::abort();
  return 0;
}
