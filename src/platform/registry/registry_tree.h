// An in-memory registry: root keys, keys and typed values with the naming rules of the Windows
// registry. The file readers fill one; it also serves as a ready-made registry for tests of
// code that reads settings.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "platform/registry/registry.h"

namespace testqav {

inline constexpr uint32_t kHkeyDynData = 0x80000006;

// Key paths are relative to a root and separated by "\"; empty components (leading, trailing
// or doubled "\") are ignored, and an empty path names the root key itself. Key and value
// names compare ignoring case (Unicode case folding); a key keeps the spelling it was first
// created with.
//
// Queries see the registry as a 32-bit program on 64-bit Windows does: a key under
// HKEY_LOCAL_MACHINE\Software\<rest> is looked up first as Software\Wow6432Node\<rest>; only
// when that key does not exist is Software\<rest> used. A value missing from an existing
// Wow6432Node key is therefore not looked up in the other copy.
class RegistryTree : public Registry {
 public:
  // Creates the key and every missing parent.
  void CreateKey(uint32_t root, std::string_view path);
  // Deletes the key with all its subkeys and values. Returns false when the key does not
  // exist or `path` names a root key (roots cannot be deleted).
  bool DeleteKey(uint32_t root, std::string_view path);
  // Creates the key when needed and sets the value, replacing one of the same name.
  void SetValue(uint32_t root, std::string_view path, std::string_view name, RegValue value);
  // Returns false when the key or the value does not exist.
  bool DeleteValue(uint32_t root, std::string_view path, std::string_view name);
  // Whether the key exists, without the 32-bit view.
  bool KeyExists(uint32_t root, std::string_view path) const;

  Result<RegValue> QueryValue(uint32_t root, std::string_view key_path,
                              std::string_view value_name) const override;

  // "HKEY_LOCAL_MACHINE" etc.; "0x..." for a number that is no root.
  static std::string RootName(uint32_t root);

 private:
  struct NamedValue {
    std::string name;
    RegValue value;
  };
  struct Key {
    std::string name;
    std::map<std::string, std::unique_ptr<Key>> subkeys;  // by folded name
    std::map<std::string, NamedValue> values;             // by folded name
  };

  const Key* Find(uint32_t root, const std::vector<std::string_view>& parts) const;
  Key* Find(uint32_t root, const std::vector<std::string_view>& parts);
  Key* FindOrCreate(uint32_t root, std::string_view path);

  std::map<uint32_t, Key> roots_;
};

}  // namespace testqav
