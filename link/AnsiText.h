// Text crossing into and out of the system's ANSI code page: the one place the
// component converts. Limits count bytes, so double-byte text fills a field sooner.
#pragma once
#include <windows.h>
#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace kavro::ansi {

// The ANSI bytes of a host string (no terminator).
std::string Encode(std::wstring_view text);

// The ANSI bytes of text into a caller's buffer, without touching the heap.
// Answers their number, or npos when they do not fit (the buffer then holds nothing useful).
std::size_t EncodeInto(std::wstring_view text, char* buffer, std::size_t capacity);
inline constexpr std::size_t npos = static_cast<std::size_t>(-1);

// Writes the ANSI bytes of text and one zero byte into a fixed field, from
// byte 0 on. Answers false, leaving the field untouched, when they do not fit.
bool StoreTerminated(std::uint8_t* field, std::size_t fieldSize, std::wstring_view text);

// The text without leading and trailing U+0020 spaces (other blanks stay).
std::wstring_view TrimSpaces(std::wstring_view text);

// Each byte read from a terminal is converted on its own as one ANSI character.
class ByteChars {
public:
    ByteChars();
    wchar_t operator[](std::uint8_t b) const { return table_[b]; }

    // Whether that text, without surrounding spaces, equals trimmed exactly
    // (case-sensitive). Compares byte by byte without building the text.
    bool TrimmedEquals(const std::uint8_t* field, std::size_t maxBytes, std::wstring_view trimmed) const;

private:
    std::array<wchar_t, 256> table_;
};

} // namespace kavro::ansi
