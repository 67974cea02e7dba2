#include "this_computer.h"

#include <windows.h>

#include <array>

#include "codepage.h"

namespace tarvex {

std::string ThisComputerName() {
    std::array<wchar_t, MAX_COMPUTERNAME_LENGTH + 1> name{};
    DWORD length = static_cast<DWORD>(name.size());
    if (!GetComputerNameW(name.data(), &length)) return {};
    return CodePage::Process().FromUtf16(std::u16string(reinterpret_cast<const char16_t*>(name.data()), length));
}

}  // namespace tarvex
