// Feeds arbitrary bytes to the registry file reader: it must neither crash nor report a line
// number outside the file, and whatever it stored must be readable.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <sstream>
#include <string>
#include <string_view>

#include "platform/registry/registry.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view bytes(reinterpret_cast<const char*>(data), size);
  std::ostringstream diagnostics;
  std::unique_ptr<testqav::Registry> reg =
      testqav::ParseRegistryText(bytes, "fuzz.reg", diagnostics);
  for (const char* path : {"Software\\T", "Software", "", "Software\\Wow6432Node\\T"}) {
    for (const char* name : {"", "v", "V"}) {
      testqav::Result<testqav::RegValue> value =
          reg->QueryValue(testqav::kHkeyLocalMachine, path, name);
      // Texts always end with their NUL.
      if (value.ok() && (value->type == testqav::kRegSz || value->type == testqav::kRegExpandSz ||
                         value->type == testqav::kRegMultiSz)) {
        if (value->data.empty() || value->data.back() != 0) std::abort();
      }
    }
  }
  // Every diagnostic names the file and a line; line numbers cannot exceed the line count.
  std::istringstream lines(diagnostics.str());
  std::string line;
  while (std::getline(lines, line)) {
    if (line.rfind("fuzz.reg:", 0) != 0) std::abort();
    unsigned long number = std::strtoul(line.c_str() + 9, nullptr, 10);
    if (number == 0 || number > size + 1) std::abort();
  }
  return 0;
}
