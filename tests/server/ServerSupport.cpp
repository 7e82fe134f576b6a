#include "ServerSupport.h"

#include <algorithm>
#include <cstdio>

#include "TestEnv.h"

namespace kavro::test {

void PrintTo(Hr hr, std::ostream* os)
{
    char text[16];
    std::snprintf(text, sizeof(text), "0x%08lX", static_cast<unsigned long>(hr.value));
    *os << text;
}

std::wstring KavroPath() { return BinDir() + L"Kavro.dll"; }

HMODULE KavroModule() { return GetModuleHandleW(KavroPath().c_str()); }

std::wstring SystemProgram(const wchar_t* name)
{
    wchar_t folder[MAX_PATH];
    UINT n = GetSystemDirectoryW(folder, MAX_PATH);
    return std::wstring(folder, n) + L"\\" + name;
}

} // namespace kavro::test
