#pragma once

#include <string>
#include <string_view>

namespace kelvo::win32 {

// The routines' texts are UTF-8; the Win32 API takes UTF-16.
std::wstring Widen(std::string_view utf8);
std::string Narrow(std::wstring_view utf16);

}  // namespace kelvo::win32
