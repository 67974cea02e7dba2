#include "this_computer.h"

#include <algorithm>
#include <array>
#include <cctype>

namespace tarvex {

namespace {

std::string Lower(std::string_view text) {
    std::string out(text);
    std::transform(out.begin(), out.end(), out.begin(), [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return out;
}

// The host of a server name: without protocol, instance and port, in lower case.
std::string HostOf(std::string_view server) {
    std::string host = Lower(server);
    for (std::string_view protocol : {"tcp:", "np:", "lpc:", "admin:"})
        if (host.starts_with(protocol)) host.erase(0, protocol.size());
    host = host.substr(0, host.find_first_of("\\,"));
    while (!host.empty() && host.back() == ' ') host.pop_back();
    return host;
}

std::string WithoutDomain(const std::string& host) { return host.substr(0, host.find('.')); }

}  // namespace

bool IsThisComputer(std::string_view server, std::string_view computerName) {
    const std::string host = HostOf(server);
    for (std::string_view local : {".", "(local)", "localhost", "127.0.0.1", "::1", "(localdb)"})
        if (host == local) return true;
    const std::string computer = Lower(computerName);
    return !computer.empty() && (host == computer || host == WithoutDomain(computer) ||
                                 (host.find('.') != std::string::npos && WithoutDomain(host) == WithoutDomain(computer)));
}

}  // namespace tarvex
