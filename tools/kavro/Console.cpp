#include "Console.h"

#include <cstdio>

#include "Failure.h"

namespace kavro::tool {

std::wstring HresultText(long hr)
{
    wchar_t text[16];
    swprintf(text, 16, L"0x%08lX", static_cast<unsigned long>(hr));
    return text;
}

std::string Utf8(std::wstring_view text)
{
    if (text.empty()) return {};
    int n = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0, nullptr, nullptr);
    std::string out(n, '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(), n, nullptr, nullptr);
    return out;
}

std::wstring FromUtf8(std::string_view text)
{
    if (text.empty()) return {};
    int n = MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    std::wstring out(n, L'\0');
    MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(), n);
    return out;
}

bool IsConsole(DWORD stdHandle)
{
    DWORD mode;
    return GetConsoleMode(GetStdHandle(stdHandle), &mode) != 0;
}

HandOver HandOverOf(HANDLE handle)
{
    if (!handle || handle == INVALID_HANDLE_VALUE) return HandOver::kNone;
    // Windows 7 marks its console pseudo-handles with the two lowest bits.
    if ((reinterpret_cast<ULONG_PTR>(handle) & 3) == 3) return HandOver::kConsole;
    DWORD mode;
    if (GetConsoleMode(handle, &mode)) return HandOver::kConsole;
    SetLastError(NO_ERROR);
    if (GetFileType(handle) == FILE_TYPE_UNKNOWN && GetLastError() != NO_ERROR) return HandOver::kNone;
    return HandOver::kInheritable;
}

namespace {

void Write(DWORD stdHandle, std::wstring_view text)
{
    HANDLE handle = GetStdHandle(stdHandle);
    if (!handle || handle == INVALID_HANDLE_VALUE || text.empty()) return;
    DWORD written;
    if (IsConsole(stdHandle)) {
        WriteConsoleW(handle, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
    } else {
        std::string bytes = Utf8(text);
        WriteFile(handle, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
    }
}

} // namespace

void Print(std::wstring_view text) { Write(STD_OUTPUT_HANDLE, text); }
void PrintError(std::wstring_view text) { Write(STD_ERROR_HANDLE, text); }

bool Confirm(std::wstring_view question)
{
    Print(question);
    wchar_t answer[64];
    DWORD got = 0;
    if (!ReadConsoleW(GetStdHandle(STD_INPUT_HANDLE), answer, 64, &got, nullptr) || got == 0) return false;
    return answer[0] == L'y' || answer[0] == L'Y';
}

ProgressLine::ProgressLine() : enabled_(IsConsole(STD_ERROR_HANDLE)) {}

void ProgressLine::Show(std::wstring_view text)
{
    if (!enabled_) return;
    std::wstring line = L"\r" + std::wstring(text);
    if (text.size() < width_) line.append(width_ - text.size(), L' ');
    width_ = text.size();
    PrintError(line);
}

void ProgressLine::Clear()
{
    if (!enabled_ || width_ == 0) return;
    PrintError(L"\r" + std::wstring(width_, L' ') + L"\r");
    width_ = 0;
}

} // namespace kavro::tool
