#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string_view>
#include <vector>

namespace kelvo {

// Fetches an embedded resource by type name and numeric id; nullopt when the
// program carries no such resource.
using ResourceLoader =
    std::function<std::optional<std::vector<std::uint8_t>>(std::string_view typeName, int id)>;

}  // namespace kelvo
