#include "AnsiText.h"

#include <cstring>

namespace kavro::ansi {

std::string Encode(std::wstring_view text)
{
    if (text.empty()) return {};
    const int length = static_cast<int>(text.size());
    int n = WideCharToMultiByte(CP_ACP, 0, text.data(), length, nullptr, 0, nullptr, nullptr);
    std::string bytes(static_cast<std::size_t>(n > 0 ? n : 0), '\0');
    if (n > 0) WideCharToMultiByte(CP_ACP, 0, text.data(), length, bytes.data(), n, nullptr, nullptr);
    return bytes;
}

std::size_t EncodeInto(std::wstring_view text, char* buffer, std::size_t capacity)
{
    if (text.empty()) return 0;
    int n = WideCharToMultiByte(CP_ACP, 0, text.data(), static_cast<int>(text.size()), buffer,
                                static_cast<int>(capacity), nullptr, nullptr);
    return n > 0 ? static_cast<std::size_t>(n) : npos;
}

bool StoreTerminated(std::uint8_t* field, std::size_t fieldSize, std::wstring_view text)
{
    const std::string bytes = Encode(text);
    if (bytes.size() + 1 > fieldSize) return false;
    std::memcpy(field, bytes.data(), bytes.size());
    field[bytes.size()] = 0;
    return true;
}

std::wstring_view TrimSpaces(std::wstring_view text)
{
    size_t first = text.find_first_not_of(L' ');
    if (first == std::wstring_view::npos) return {};
    return text.substr(first, text.find_last_not_of(L' ') - first + 1);
}

ByteChars::ByteChars()
{
    for (int b = 0; b < 256; ++b) {
        char byte = static_cast<char>(b);
        wchar_t wide = L'?';
        if (MultiByteToWideChar(CP_ACP, 0, &byte, 1, &wide, 1) != 1) wide = L'?';
        table_[b] = wide;
    }
}

bool ByteChars::TrimmedEquals(const std::uint8_t* field, std::size_t maxBytes, std::wstring_view trimmed) const
{
    std::size_t end = 0;
    while (end < maxBytes && field[end] != 0) ++end;
    std::size_t first = 0;
    while (first < end && table_[field[first]] == L' ') ++first;
    while (end > first && table_[field[end - 1]] == L' ') --end;
    if (end - first != trimmed.size()) return false;
    for (std::size_t i = 0; i < trimmed.size(); ++i)
        if (table_[field[first + i]] != trimmed[i]) return false;
    return true;
}

} // namespace kavro::ansi
