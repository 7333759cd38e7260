#include "harness/get_reg_value.h"

#include <string>

#include "platform/common/text.h"

namespace testqav {

Variant GetRegValue(const Registry& registry, uint32_t root, std::string_view key_path,
                    std::string_view value_name) {
  auto value = registry.QueryValue(root, key_path, value_name);
  if (!value.ok()) return Variant("");
  const std::vector<uint8_t>& data = value->data;
  switch (value->type) {
    case kRegSz:
    case kRegExpandSz: {
      std::string text(data.begin(), data.end());
      if (!text.empty() && text.back() == '\0') text.pop_back();
      return Variant(text);
    }
    case kRegDword: {
      uint32_t n = 0;
      for (size_t i = 0; i < 4 && i < data.size(); ++i)
        n |= static_cast<uint32_t>(data[i]) << (8 * i);
      return Variant::Long(static_cast<int32_t>(n));
    }
    case kRegBinary: {
      std::string out;
      for (uint8_t b : data) {
        std::string h = Hex(b);
        if (h.size() == 1) h = "0" + h;
        if (!out.empty()) out += " ";
        out += h;
      }
      return Variant(out);
    }
    default:
      return Variant("");
  }
}

}  // namespace testqav
