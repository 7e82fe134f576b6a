#include "Stages.h"

#include <windows.h>

#include <cstdio>
#include <mutex>
#include <string>

#include "Handle.h"

namespace kavro::tool {

void MarkStage(const char* stage) noexcept
{
    static const std::wstring path = [] {
        wchar_t folder[MAX_PATH * 4];
        DWORD n = GetEnvironmentVariableW(L"KAVRO_STAGE_TIMES", folder, MAX_PATH * 4);
        if (n == 0 || n >= MAX_PATH * 4) return std::wstring();
        return std::wstring(folder, n) + L"\\" + std::to_wstring(GetCurrentProcessId()) + L".txt";
    }();
    static std::mutex oneAtATime;
    if (path.empty()) return;
    LARGE_INTEGER now, frequency;
    QueryPerformanceCounter(&now);
    QueryPerformanceFrequency(&frequency);
    char line[128];
    const int length = std::snprintf(line, sizeof line, "%lu %s %.6f\n", GetCurrentProcessId(), stage,
                                     static_cast<double>(now.QuadPart) / static_cast<double>(frequency.QuadPart));
    if (length <= 0 || length >= static_cast<int>(sizeof line)) return;
    std::lock_guard<std::mutex> hold(oneAtATime);
    Handle file(CreateFileW(path.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ, nullptr, OPEN_ALWAYS,
                            FILE_ATTRIBUTE_NORMAL, nullptr));
    DWORD written = 0;
    if (file) WriteFile(file.get(), line, static_cast<DWORD>(length), &written, nullptr);
}

} // namespace kavro::tool
