// What the server tests share: HRESULTs that print in hex, Kavro.dll's path
// and module, and child processes run as an installer or a script host would.
#pragma once
#include <windows.h>

#include <oaidl.h>

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

// Arguments for IDispatch::Invoke. None owns what it holds.
VARIANT BoolArg(VARIANT_BOOL value);
VARIANT ShortArg(short value);
VARIANT TextArg(BSTR value);
VARIANT TextRefArg(BSTR* value);
VARIANT ObjectArg(IDispatch* value);

// Invokes member id with args given first to last, as a caller writes them.
// A property put passes its one argument as the value put.
HRESULT InvokeWith(IDispatch* target, DISPID id, WORD flags, std::vector<VARIANT> args, VARIANT* result,
                   EXCEPINFO* failure = nullptr);

struct ProcessOutcome {
    DWORD exitCode;
    std::string output;  // stdout and stderr together
};

// Runs a command line in folder and waits for it; exit code STILL_ACTIVE if it
// had to be ended after the timeout.
ProcessOutcome RunProcess(const std::wstring& commandLine, const std::wstring& folder,
                          DWORD timeoutMs = 60000);

} // namespace kavro::test
