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

VARIANT BoolArg(VARIANT_BOOL value)
{
    VARIANT v;
    V_VT(&v) = VT_BOOL;
    V_BOOL(&v) = value;
    return v;
}

VARIANT ShortArg(short value)
{
    VARIANT v;
    V_VT(&v) = VT_I2;
    V_I2(&v) = value;
    return v;
}

VARIANT TextArg(BSTR value)
{
    VARIANT v;
    V_VT(&v) = VT_BSTR;
    V_BSTR(&v) = value;
    return v;
}

VARIANT TextRefArg(BSTR* value)
{
    VARIANT v;
    V_VT(&v) = VT_BYREF | VT_BSTR;
    V_BSTRREF(&v) = value;
    return v;
}

VARIANT ObjectArg(IDispatch* value)
{
    VARIANT v;
    V_VT(&v) = VT_DISPATCH;
    V_DISPATCH(&v) = value;
    return v;
}

HRESULT InvokeWith(IDispatch* target, DISPID id, WORD flags, std::vector<VARIANT> args, VARIANT* result,
                   EXCEPINFO* failure)
{
    std::reverse(args.begin(), args.end());  // Invoke wants them last first
    DISPID putValue = DISPID_PROPERTYPUT;
    DISPPARAMS params{args.data(), nullptr, static_cast<UINT>(args.size()), 0};
    if (flags == DISPATCH_PROPERTYPUT) {
        params.rgdispidNamedArgs = &putValue;
        params.cNamedArgs = 1;
    }
    return target->Invoke(id, IID_NULL, LOCALE_USER_DEFAULT, flags, &params, result, failure, nullptr);
}

namespace {

class Handle {
public:
    Handle() = default;
    Handle(const Handle&) = delete;
    Handle& operator=(const Handle&) = delete;
    ~Handle() { reset(); }
    HANDLE* out() { return &h_; }
    HANDLE get() const { return h_; }
    void reset()
    {
        if (h_) CloseHandle(h_);
        h_ = nullptr;
    }

private:
    HANDLE h_ = nullptr;
};

} // namespace

ProcessOutcome RunProcess(const std::wstring& commandLine, const std::wstring& folder, DWORD timeoutMs)
{
    ProcessOutcome outcome{static_cast<DWORD>(-1), {}};
    SECURITY_ATTRIBUTES inherit{sizeof(inherit), nullptr, TRUE};
    Handle readEnd, writeEnd;
    // Large enough for everything a child here writes, so it never blocks on us.
    if (!CreatePipe(readEnd.out(), writeEnd.out(), &inherit, 1 << 16)) return outcome;
    SetHandleInformation(readEnd.get(), HANDLE_FLAG_INHERIT, 0);

    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    startup.hStdOutput = writeEnd.get();
    startup.hStdError = writeEnd.get();
    PROCESS_INFORMATION process{};
    std::wstring line = commandLine;  // CreateProcessW may write into it
    if (!CreateProcessW(nullptr, line.data(), nullptr, nullptr, TRUE, 0, nullptr, folder.c_str(),
                        &startup, &process))
        return outcome;
    Handle processHandle, threadHandle;
    *processHandle.out() = process.hProcess;
    *threadHandle.out() = process.hThread;
    writeEnd.reset();

    if (WaitForSingleObject(process.hProcess, timeoutMs) != WAIT_OBJECT_0) {
        TerminateProcess(process.hProcess, STILL_ACTIVE);
        WaitForSingleObject(process.hProcess, INFINITE);
    }
    GetExitCodeProcess(process.hProcess, &outcome.exitCode);

    char buffer[4096];
    DWORD got = 0;
    while (ReadFile(readEnd.get(), buffer, sizeof(buffer), &got, nullptr) && got > 0)
        outcome.output.append(buffer, got);
    return outcome;
}

} // namespace kavro::test
