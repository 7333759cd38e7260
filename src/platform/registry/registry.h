// Registry service: typed values under a key. The embedded implementation reads a .reg
// export file (REGEDIT4, "Windows Registry Editor Version 5.00" in UTF-16LE or UTF-8) or a
// Wine prefix's system.reg.
#pragma once

#include <cstdint>
#include <iosfwd>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "platform/common/status.h"

namespace testqav {

inline constexpr uint32_t kHkeyClassesRoot = 0x80000000;
inline constexpr uint32_t kHkeyCurrentUser = 0x80000001;
inline constexpr uint32_t kHkeyLocalMachine = 0x80000002;
inline constexpr uint32_t kHkeyUsers = 0x80000003;
inline constexpr uint32_t kHkeyCurrentConfig = 0x80000005;

enum RegType : uint32_t {
  kRegNone = 0,
  kRegSz = 1,
  kRegExpandSz = 2,
  kRegBinary = 3,
  kRegDword = 4,
  kRegMultiSz = 7,
  kRegQword = 11,
};

struct RegValue {
  uint32_t type = kRegNone;
  // The data as the registry stores it, with texts (types 1, 2, 7) converted to UTF-8, the
  // system code page of this host; a text keeps its terminating NUL (the reader adds one
  // when the file's data lacks it), exactly as a Windows query of the value returns it.
  std::vector<uint8_t> data;
};

class Registry {
 public:
  virtual ~Registry() = default;
  // The value `value_name` ("" for the default value) of key `key_path` under `root`.
  // Key and value names compare ignoring case. Errors: err::kNotFound when the key or the
  // value does not exist.
  virtual Result<RegValue> QueryValue(uint32_t root, std::string_view key_path,
                                      std::string_view value_name) const = 0;
};

// Loads a registry file. A missing file gives an empty registry (every key absent). Each
// malformed line is reported on `diagnostics` as "<file>:<line>: <what is wrong>" and
// skipped, as regedit skips it.
// A file that exists but cannot be read, is not a regular file (a folder, a device, a named
// pipe) or is larger than kMaxRegistryFileBytes gives an empty registry and one line
// "<file>: <reason>". A wrong or unknown first line imports nothing and
// is reported as line 1. docs/registry.md lists the accepted dialects and where the reader is
// more lenient than regedit.
inline constexpr uint64_t kMaxRegistryFileBytes = uint64_t{64} << 20;
std::unique_ptr<Registry> LoadRegistryFile(const std::string& path, std::ostream& diagnostics);

// Reads the bytes of a registry file exactly as LoadRegistryFile reads the file's contents;
// `file_name` is the name the diagnostics show.
std::unique_ptr<Registry> ParseRegistryText(std::string_view bytes, const std::string& file_name,
                                            std::ostream& diagnostics);

}  // namespace testqav
