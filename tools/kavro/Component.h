// The component as a host reaches it: Kavro.clsMachine created by ProgID from
// the registration, or from a named Kavro.dll without any registration; and
// the host's own classes served inside this process, never registered, since
// on a PC with the real host installed they are the host's.
#pragma once
#include <windows.h>
#include <wrl/client.h>

#include <string>
#include <vector>

#include <ZebMachine.h>

namespace kavro::tool {

using Microsoft::WRL::ComPtr;

// clsMachineItem and clsCardData, served to this process while it lives.
class HostClasses {
public:
    HostClasses();
    HostClasses(const HostClasses&) = delete;
    HostClasses& operator=(const HostClasses&) = delete;
    ~HostClasses();

private:
    void Revoke();
    std::vector<DWORD> cookies_;
};

// dllPath empty: the registered component. Fails with exit code 3.
ComPtr<IMachine> CreateMachine(const std::wstring& dllPath);

// The file version of the component's DLL, e.g. "8.70.0.4", with its path.
std::wstring ComponentVersion(const std::wstring& dllPath);

// A path made absolute; the path as given when that fails.
std::wstring FullPath(const std::wstring& path);

// The file of a loaded module (nullptr: this program's); empty when unknown.
std::wstring ModulePath(HMODULE module = nullptr);

// A file's version from its version block, e.g. "8.70.0.4"; empty when it has none.
std::wstring FileVersion(const std::wstring& path);

// A failing HRESULT from a call on the component ends the program with exit
// code 4, naming the method, the HRESULT and the error information's text.
void CheckCall(IMachine& machine, HRESULT hr, const wchar_t* method);

// A new, empty Collection of the host's own.
ComPtr<_Collection> NewCollection();

} // namespace kavro::tool
