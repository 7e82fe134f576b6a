#include "Stages.h"

#include <windows.h>

#include <cstdio>
#include <string>

#include "Handle.h"

namespace kavro::tool {

void MarkStage(const char* stage) noexcept
{
    static const std::wstring path = [] {
        wchar_t value[MAX_PATH * 4];
        DWORD n = GetEnvironmentVariableW(L"KAVRO_STAGE_TIMES", value, MAX_PATH * 4);
        return n > 0 && n < MAX_PATH * 4 ? std::wstring(value, n) : std::wstring();
    }();
    if (path.empty()) return;
    LARGE_INTEGER now, frequency;
    QueryPerformanceCounter(&now);
    QueryPerformanceFrequency(&frequency);
    char line[128];
    const int length = std::snprintf(line, sizeof line, "%lu %s %.6f\n", GetCurrentProcessId(), stage,
                                     static_cast<double>(now.QuadPart) / static_cast<double>(frequency.QuadPart));
    if (length <= 0 || length >= static_cast<int>(sizeof line)) return;
    // One write a line, appended: the lines of many processes never mix.
    Handle file(CreateFileW(path.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS,
                            FILE_ATTRIBUTE_NORMAL, nullptr));
    DWORD written = 0;
    if (file) WriteFile(file.get(), line, static_cast<DWORD>(length), &written, nullptr);
}

} // namespace kavro::tool
