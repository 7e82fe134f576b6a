// What the server tests share: HRESULTs that print in hex, Kavro.dll's path
// and module, and child processes run as an installer or a script host would.
#pragma once
#include <windows.h>

#include <oaidl.h>

#include "Arguments.h"
#include "Process.h"

#include <ostream>
#include <string>
#include <vector>

namespace kavro::test {

// Compares like an HRESULT, prints as 0x8000FFFF.
struct Hr {
    HRESULT value;
    friend bool operator==(Hr a, Hr b) { return a.value == b.value; }
    friend void PrintTo(Hr hr, std::ostream* os);
};

std::wstring KavroPath();   // build/bin\Kavro.dll
HMODULE KavroModule();      // the Kavro.dll this process has loaded

// A program of the prefix's system folder, e.g. regsvr32.exe.
std::wstring SystemProgram(const wchar_t* name);

} // namespace kavro::test
