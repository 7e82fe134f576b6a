// Decimal and hexadecimal text of integers, made by hand: std::to_wstring and
// swprintf would bring the runtime's printf, about a tenth of the DLL.
#pragma once
#include <windows.h>
#include <string>

namespace kavro {

// As std::to_wstring: no leading blank, a minus sign for a negative number.
inline std::wstring DecimalText(long long value)
{
    unsigned long long magnitude = value < 0 ? 0ULL - static_cast<unsigned long long>(value)
                                             : static_cast<unsigned long long>(value);
    wchar_t text[24];
    wchar_t* first = text + 24;
    do {
        *--first = static_cast<wchar_t>(L'0' + magnitude % 10);
        magnitude /= 10;
    } while (magnitude);
    if (value < 0) *--first = L'-';
    return std::wstring(first, text + 24);
}

// An HRESULT as 0x and eight upper-case hexadecimal digits.
inline std::wstring HresultText(HRESULT hr)
{
    std::wstring text = L"0x00000000";
    auto bits = static_cast<unsigned long>(hr);
    for (size_t i = text.size(); i > 2; --i, bits >>= 4) text[i - 1] = L"0123456789ABCDEF"[bits & 0xF];
    return text;
}

} // namespace kavro
