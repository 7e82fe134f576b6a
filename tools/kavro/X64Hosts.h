// Registration for 64-bit hosts. A 64-bit process cannot load the 32-bit
// Kavro.dll, so COM runs it in a 32-bit surrogate (dllhost.exe) and marshals
// the calls: the class gets an AppID with DllSurrogate, and every interface a
// call carries across the process boundary must be known in the 64-bit view
// of the registry. kavro register --x64-hosts writes this on top of the
// ordinary registration; kavro unregister removes exactly what it wrote.
#pragma once
#include <windows.h>

#include <string>
#include <vector>

namespace kavro::tool {

// An interface that crosses the process boundary in a call on clsMachine.
struct CrossingInterface {
    const IID* iid;
    const wchar_t* name;
    const wchar_t* owner;  // who registers it: the component, the host, the platform
};
const std::vector<CrossingInterface>& CrossingInterfaces();

// How to get an administrator's command prompt, for every text that sends
// someone to register or unregister.
inline constexpr wchar_t kElevatedPrompt[] =
    L"an elevated command prompt (Start, type cmd, right-click Command Prompt, Run as administrator)";

// The proxy of interfaces marshaled from their type library.
inline constexpr wchar_t kUniversalMarshaler[] = L"{00020424-0000-0000-C000-000000000046}";

// "Interface\{...}"
std::wstring InterfaceKey(REFIID iid);
// The AppID key of the class ("AppID\{...}"); the AppID is the class's CLSID.
std::wstring AppIdKey();

// Whether this Windows (or Wine prefix) runs 64-bit programs besides 32-bit ones.
bool HasSixtyFourBitSide();

// While it lives, this process's standard handles are NUL: under Wine the
// surrogate started to create an object gets them and outlives this process,
// so a shell reading this process's output would wait for it.
class QuietChildren {
public:
    QuietChildren();
    QuietChildren(const QuietChildren&) = delete;
    QuietChildren& operator=(const QuietChildren&) = delete;
    ~QuietChildren();

private:
    static constexpr DWORD kStreams[3] = {STD_INPUT_HANDLE, STD_OUTPUT_HANDLE, STD_ERROR_HANDLE};
    HANDLE nul_;
    HANDLE saved_[3];
};

// What kavro register writes: the component's own registration, that with
// the surrogate registration on top (--x64-hosts), or the surrogate
// registration alone over one already there (--x64-hosts-only: Kavro's MSI
// writes the component's registration as data, and runs this for X64Hosts).
enum class Registering { kComponent, kWithX64Hosts, kX64HostsOnly };

// kavro register / kavro unregister: DllRegisterServer or DllUnregisterServer
// of dllPath (empty: Kavro.dll beside kavro.exe, or for unregister the
// registered one), plus the surrogate registration; x64HostsOnly removes only
// the latter. Exit codes as kavro.exe's; failures end in a Failure.
int Register(const std::wstring& dllPath, Registering what);
int Unregister(const std::wstring& dllPath, bool x64HostsOnly);

} // namespace kavro::tool
