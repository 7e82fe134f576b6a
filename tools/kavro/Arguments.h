// The terminal a command talks to, and the address and number ranges that
// discovery searches, checked before anything reaches the component.
#pragma once
#include <string>
#include <vector>

namespace kavro::tool {

// A network terminal has an address, a serial one a port; both have a number.
struct Terminal {
    bool serial = false;
    std::wstring ip;
    short port = 0;
    short number = 1;
    std::wstring Describe() const;  // "terminal 1 at 192.168.1.201", "terminal 1 on COM3"
};

struct NumberRange {
    int first;
    int last;
    int size() const { return last - first + 1; }
};

// A dotted IPv4 address, returned without leading zeros; fails with exit code 2.
std::wstring ParseAddress(const std::string& text);

// "192.168.1.10-192.168.1.20" or "192.168.1.10-20", within one subnet.
std::vector<std::wstring> ParseAddressRange(const std::string& text);

// "FIRST-LAST" or "N", numbers from 0 to 32767.
NumberRange ParseNumberRange(const std::string& text, const char* option);

} // namespace kavro::tool
