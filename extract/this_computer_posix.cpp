#include "this_computer.h"

#include <unistd.h>

#include <array>

namespace tarvex {

std::string ThisComputerName() {
    std::array<char, 256> name{};
    if (gethostname(name.data(), name.size() - 1) != 0) return {};
    return name.data();
}

}  // namespace tarvex
