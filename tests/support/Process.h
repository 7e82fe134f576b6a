// Child processes, run as an installer, a script host or a second host would run them.
#pragma once
#include <windows.h>

#include <string>

namespace kavro::test {

struct ProcessOutcome {
    DWORD exitCode;
    std::string output;  // stdout and stderr together
};

// Runs a command line in folder and waits for it; exit code STILL_ACTIVE if it
// had to be ended after the timeout.
// The folder of the running program (bin/), with a trailing separator.
std::wstring BinDir();

// standardError: an inheritable handle for the child's standard error (a
// console, say) instead of the pipe that gathers its output.
ProcessOutcome RunProcess(const std::wstring& commandLine, const std::wstring& folder,
                          DWORD timeoutMs = 60000, HANDLE standardError = nullptr);

} // namespace kavro::test
