// Reading one registry value as the original's registry reader returned it.
#pragma once

#include <cstdint>
#include <string_view>

#include "platform/common/variant.h"
#include "platform/registry/registry.h"

namespace testqav {

// Strings (types 1 and 2, environment references not expanded) as text without one trailing
// NUL; 32-bit numbers as Long; binary as "0A FF"; any other type, and every failure, as "".
Variant GetRegValue(const Registry& registry, uint32_t root, std::string_view key_path,
                    std::string_view value_name);

}  // namespace testqav
