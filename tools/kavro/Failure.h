// How kavro.exe ends: every failure is a Failure carrying the exit code and
// the message for the user; main prints it and returns the code.
#pragma once
#include <string>

namespace kavro::tool {

enum ExitCode : int {
    kSuccess = 0,
    kAnsweredFalse = 1,  // the component answered false
    kBadArguments = 2,   // the command line, or a file it names, is wrong
    kNotCreated = 3,     // Kavro.clsMachine could not be created
    kCallFailed = 4,     // a call failed with an HRESULT
    kBusy = 5,           // the fingerprint store stayed locked; nothing was changed
    kNotElevated = 6,    // register or unregister without an administrator's rights; nothing was changed
};

struct Failure {
    int exitCode;
    std::wstring message;
};

[[noreturn]] inline void Fail(int exitCode, std::wstring message) { throw Failure{exitCode, std::move(message)}; }

// "0x800A0035"
std::wstring HresultText(long hr);

} // namespace kavro::tool
