#include "resources/WinResourceLoader.h"

#include <windows.h>

#include <algorithm>
#include <string>

namespace kelvo {

ResourceLoader WinResourceLoader() {
  return [](std::string_view typeName, int id) -> std::optional<std::vector<std::uint8_t>> {
    // PE keeps type names in capitals and finds them whatever the case of the
    // question; a name with small letters names nothing, as with Qt.
    const bool capitals = !typeName.empty() && std::none_of(typeName.begin(), typeName.end(),
                                                            [](char c) { return c >= 'a' && c <= 'z'; });
    if (!capitals || id <= 0 || id > 0xFFFF) return std::nullopt;
    const std::string type(typeName);
    HRSRC found = FindResourceA(nullptr, MAKEINTRESOURCEA(id), type.c_str());
    if (found == nullptr) return std::nullopt;
    const HGLOBAL loaded = LoadResource(nullptr, found);
    const auto* begin = static_cast<const std::uint8_t*>(loaded != nullptr ? LockResource(loaded) : nullptr);
    if (begin == nullptr) return std::nullopt;
    return std::vector<std::uint8_t>(begin, begin + SizeofResource(nullptr, found));
  };
}

}  // namespace kelvo
