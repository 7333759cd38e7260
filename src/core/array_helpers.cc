#include "core/array_helpers.h"

#include "platform/common/text.h"

namespace testqav {

bool IsFilledArray(const Variant& v) { return v.IsArray() && !v.array().empty(); }

std::string ArrayToHex(const Variant& v) {
  if (!IsFilledArray(v)) return {};
  std::string out;
  for (const Variant& e : v.array()) {
    bool ok = false;
    int64_t n = e.ToInteger(&ok);
    std::string h = Hex(static_cast<uint64_t>(n));
    if (h.size() == 1) h = "0" + h;
    out += h;
  }
  return out;
}

std::string TrimRepeated(std::string& s, std::string_view t) {
  // Without this guard an empty t would be "found" at the end forever.
  if (t.empty()) return s;
  while (EndsWith(s, t)) s.erase(s.size() - t.size());
  while (StartsWith(s, t)) s.erase(0, t.size());
  return s;
}

void CloseList(std::string& list) {
  if (list.empty()) return;
  if (list.front() != ';') list.insert(0, ";");
  if (list.back() != ';') list.push_back(';');
}

}  // namespace testqav
