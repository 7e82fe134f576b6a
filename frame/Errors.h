// Failures inside the component are exceptions carrying an HRESULT and a
// description; the method frame turns them into what the host expects.
#pragma once
#include <windows.h>
#include <string>

namespace kavro {

struct ComError {
    HRESULT hr;
    std::wstring description;
};

// Run-time errors in the numbering Automation hosts know (FACILITY_CONTROL).
enum class RunTimeError : WORD {
    Overflow = 6,
    OutOfMemory = 7,
    SubscriptOutOfRange = 9,
    TypeMismatch = 13,
    FileNotFound = 53,
    ObjectRequired = 424,
    EntryPointNotFound = 453,
};

constexpr HRESULT ToHresult(RunTimeError error)
{
    return MAKE_HRESULT(SEVERITY_ERROR, FACILITY_CONTROL, static_cast<WORD>(error));
}

[[noreturn]] void Raise(RunTimeError error, std::wstring description);
[[noreturn]] void Raise(HRESULT hr, std::wstring description);

// The failure being handled, as a ComError. Call only inside a catch block.
ComError CurrentFailure() noexcept;

// A failing HRESULT from a call on another object becomes a failure of ours,
// named after the call.
inline void Check(HRESULT hr, const wchar_t* what)
{
    if (FAILED(hr)) Raise(hr, what);
}

} // namespace kavro
