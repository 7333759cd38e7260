#include "platform/registry/registry_tree.h"

#include <utility>

#include "platform/common/error_codes.h"
#include "platform/common/text.h"

namespace testqav {
namespace {

std::vector<std::string_view> SplitPath(std::string_view path) {
  std::vector<std::string_view> parts;
  size_t start = 0;
  while (start <= path.size()) {
    size_t end = path.find('\\', start);
    if (end == std::string_view::npos) end = path.size();
    if (end > start) parts.push_back(path.substr(start, end - start));
    start = end + 1;
  }
  return parts;
}

std::string JoinPath(uint32_t root, std::string_view path) {
  std::string out = RegistryTree::RootName(root);
  for (std::string_view part : SplitPath(path)) {
    out += '\\';
    out += part;
  }
  return out;
}

// Shared by the const and non-const lookups.
template <typename RootMap>
auto FindKey(RootMap& roots, uint32_t root, const std::vector<std::string_view>& parts)
    -> decltype(&roots.begin()->second) {
  auto it = roots.find(root);
  if (it == roots.end()) return nullptr;
  auto key = &it->second;
  for (std::string_view part : parts) {
    auto sub = key->subkeys.find(FoldCase(part));
    if (sub == key->subkeys.end()) return nullptr;
    key = sub->second.get();
  }
  return key;
}

}  // namespace

std::string RegistryTree::RootName(uint32_t root) {
  switch (root) {
    case kHkeyClassesRoot:
      return "HKEY_CLASSES_ROOT";
    case kHkeyCurrentUser:
      return "HKEY_CURRENT_USER";
    case kHkeyLocalMachine:
      return "HKEY_LOCAL_MACHINE";
    case kHkeyUsers:
      return "HKEY_USERS";
    case kHkeyCurrentConfig:
      return "HKEY_CURRENT_CONFIG";
    case kHkeyDynData:
      return "HKEY_DYN_DATA";
    default:
      return "0x" + Hex(root);
  }
}

const RegistryTree::Key* RegistryTree::Find(uint32_t root,
                                            const std::vector<std::string_view>& parts) const {
  return FindKey(roots_, root, parts);
}

RegistryTree::Key* RegistryTree::Find(uint32_t root, const std::vector<std::string_view>& parts) {
  return FindKey(roots_, root, parts);
}

RegistryTree::Key* RegistryTree::FindOrCreate(uint32_t root, std::string_view path) {
  Key* key = &roots_[root];
  if (key->name.empty()) key->name = RootName(root);
  for (std::string_view part : SplitPath(path)) {
    std::unique_ptr<Key>& sub = key->subkeys[FoldCase(part)];
    if (!sub) {
      sub = std::make_unique<Key>();
      sub->name = std::string(part);
    }
    key = sub.get();
  }
  return key;
}

void RegistryTree::CreateKey(uint32_t root, std::string_view path) { FindOrCreate(root, path); }

bool RegistryTree::DeleteKey(uint32_t root, std::string_view path) {
  std::vector<std::string_view> parts = SplitPath(path);
  if (parts.empty()) return false;
  std::string_view last = parts.back();
  parts.pop_back();
  Key* parent = Find(root, parts);
  if (parent == nullptr) return false;
  return parent->subkeys.erase(FoldCase(last)) > 0;
}

void RegistryTree::SetValue(uint32_t root, std::string_view path, std::string_view name,
                            RegValue value) {
  Key* key = FindOrCreate(root, path);
  auto [it, inserted] = key->values.try_emplace(FoldCase(name));
  if (inserted) it->second.name = std::string(name);
  it->second.value = std::move(value);
}

bool RegistryTree::DeleteValue(uint32_t root, std::string_view path, std::string_view name) {
  Key* key = Find(root, SplitPath(path));
  if (key == nullptr) return false;
  return key->values.erase(FoldCase(name)) > 0;
}

bool RegistryTree::KeyExists(uint32_t root, std::string_view path) const {
  return Find(root, SplitPath(path)) != nullptr;
}

Result<RegValue> RegistryTree::QueryValue(uint32_t root, std::string_view key_path,
                                          std::string_view value_name) const {
  std::vector<std::string_view> parts = SplitPath(key_path);
  const Key* key = nullptr;
  // A 32-bit process on 64-bit Windows is redirected to the Wow6432Node copy of
  // HKLM\Software; exports of a 64-bit machine (and 64-bit Wine prefixes) hold the settings
  // of 32-bit programs there. Files from 32-bit machines have no such copy, hence the
  // fallback to the plain path.
  if (root == kHkeyLocalMachine && !parts.empty() && EqualsIgnoreCase(parts[0], "Software") &&
      !(parts.size() > 1 && EqualsIgnoreCase(parts[1], "Wow6432Node"))) {
    std::vector<std::string_view> redirected = parts;
    redirected.insert(redirected.begin() + 1, "Wow6432Node");
    key = Find(root, redirected);
  }
  if (key == nullptr) key = Find(root, parts);
  if (key == nullptr) {
    return Status(err::kNotFound, "Registry key not found: " + JoinPath(root, key_path));
  }
  auto it = key->values.find(FoldCase(value_name));
  if (it == key->values.end()) {
    return Status(err::kNotFound,
                  "Registry value not found: " + JoinPath(root, key_path) + "\\" +
                      (value_name.empty() ? std::string("(Default)") : std::string(value_name)));
  }
  return it->second.value;
}

}  // namespace testqav
