#pragma once
// How the bytes of a text form characters, for the code page's conversions on each system
// (codepage_windows.cpp, codepage_posix.cpp) and codepage.cpp. For those files only.

#include <cstddef>
#include <string>
#include <string_view>

namespace tarvex::codepage_characters {

// `s` in upper case (ASCII letters only).
std::string Upper(std::string_view s);

// Number of bytes of the UTF-8 character that starts at byte `pos` of `t` (before its end): 1
// for a malformed or truncated sequence.
std::size_t Utf8Length(std::string_view t, std::size_t pos);

// Number of UTF-16 units of the character that starts at unit `pos` of `t` (before its end): 2
// for a surrogate pair, else 1.
std::size_t Utf16Length(std::u16string_view t, std::size_t pos);

}  // namespace tarvex::codepage_characters
