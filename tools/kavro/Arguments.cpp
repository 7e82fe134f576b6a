#include "Arguments.h"

#include <array>
#include <charconv>

#include "Console.h"
#include "Failure.h"

namespace kavro::tool {
namespace {

constexpr int kLastSearchable = 32767;

// A whole number of decimal digits only, within [0, max].
bool ParseWhole(std::string_view text, int max, int& value)
{
    if (text.empty() || text.size() > 5) return false;
    for (char c : text)
        if (c < '0' || c > '9') return false;
    std::from_chars(text.data(), text.data() + text.size(), value);
    return value <= max;
}

bool ParseQuad(std::string_view text, std::array<int, 4>& parts)
{
    for (int i = 0; i < 4; ++i) {
        size_t dot = i < 3 ? text.find('.') : text.size();
        if (dot == std::string_view::npos || !ParseWhole(text.substr(0, dot), 255, parts[i])) return false;
        text.remove_prefix(i < 3 ? dot + 1 : dot);
    }
    return true;
}

std::wstring QuadText(const std::array<int, 4>& parts)
{
    return std::to_wstring(parts[0]) + L"." + std::to_wstring(parts[1]) + L"." + std::to_wstring(parts[2]) + L"." +
           std::to_wstring(parts[3]);
}

[[noreturn]] void BadAddress(const std::string& text, const wchar_t* why)
{
    Fail(kBadArguments, L"--ip: " + FromUtf8(text) + L" " + why);
}

} // namespace

std::wstring Terminal::Describe() const
{
    std::wstring where = serial ? L"on COM" + std::to_wstring(port) : L"at " + ip;
    return L"terminal " + std::to_wstring(number) + L" " + where;
}

std::wstring ParseAddress(const std::string& text)
{
    std::array<int, 4> parts;
    if (!ParseQuad(text, parts)) BadAddress(text, L"is not an IPv4 address such as 192.168.1.201");
    return QuadText(parts);
}

std::vector<std::wstring> ParseAddressRange(const std::string& text)
{
    size_t dash = text.find('-');
    std::array<int, 4> first, last;
    if (dash == std::string::npos || !ParseQuad(text.substr(0, dash), first))
        BadAddress(text, L"is not an address range such as 192.168.1.10-192.168.1.20 or 192.168.1.10-20");
    std::string tail = text.substr(dash + 1);
    last = first;
    if (!ParseWhole(tail, 255, last[3]) && !ParseQuad(tail, last))
        BadAddress(text, L"is not an address range such as 192.168.1.10-192.168.1.20 or 192.168.1.10-20");
    if (last[0] != first[0] || last[1] != first[1] || last[2] != first[2])
        BadAddress(text, L"leaves one subnet: only the last part of the address may vary");
    if (last[3] < first[3]) BadAddress(text, L"ends before it starts");
    std::vector<std::wstring> addresses;
    for (int v = first[3]; v <= last[3]; ++v) {
        std::array<int, 4> address = first;
        address[3] = v;
        addresses.push_back(QuadText(address));
    }
    return addresses;
}

NumberRange ParseNumberRange(const std::string& text, const char* option)
{
    size_t dash = text.find('-');
    NumberRange range{};
    bool ok = ParseWhole(text.substr(0, dash), kLastSearchable, range.first);
    range.last = range.first;
    if (ok && dash != std::string::npos) ok = ParseWhole(text.substr(dash + 1), kLastSearchable, range.last);
    std::wstring name = FromUtf8(option) + L": " + FromUtf8(text);
    if (!ok) Fail(kBadArguments, name + L" is not a range such as 1-4 (numbers from 0 to 32767)");
    if (range.last < range.first) Fail(kBadArguments, name + L" ends before it starts");
    return range;
}

} // namespace kavro::tool
