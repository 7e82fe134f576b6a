#include "Process.h"

namespace kavro::test {

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

std::wstring BinDir()
{
    wchar_t path[MAX_PATH];
    DWORD n = GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring folder(path, n);
    return folder.substr(0, folder.find_last_of(L"\\/") + 1);
}

ProcessOutcome RunProcess(const std::wstring& commandLine, const std::wstring& folder, DWORD timeoutMs,
                          HANDLE standardError)
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
    startup.hStdError = standardError ? standardError : writeEnd.get();
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

    // Everything the child wrote is in the pipe now. Read just that, not up to
    // the end of the pipe: a process the child started can hold the write end
    // long after (Wine's desktop process, when the child opened the first window).
    char buffer[4096];
    DWORD available = 0, got = 0;
    while (PeekNamedPipe(readEnd.get(), nullptr, 0, nullptr, &available, nullptr) && available > 0 &&
           ReadFile(readEnd.get(), buffer, available < sizeof(buffer) ? available : sizeof(buffer), &got, nullptr) &&
           got > 0)
        outcome.output.append(buffer, got);
    return outcome;
}

} // namespace kavro::test
