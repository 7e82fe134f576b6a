// The registration for 64-bit hosts, as a 64-bit host meets it: the ProgID
// in the 64-bit view, the surrogate, the interfaces a call carries, and
// creation in the surrogate.
#include "DoctorChecks.h"

#include <objbase.h>
#include <wrl/client.h>

#include <ZebMachine.h>

#include "frame/Identity.h"

namespace kavro::tool::doctor {
namespace {

using Microsoft::WRL::ComPtr;

// Empty when the 64-bit view has the interface with a proxy and, for the
// universal marshaler, a type library whose file is there.
std::wstring WhyNotMarshaled(const std::wstring& key)
{
    if (!Key(HKEY_CLASSES_ROOT, key, KEY_WOW64_64KEY)) return L"not registered for 64-bit programs";
    std::optional<std::wstring> proxy = Key(HKEY_CLASSES_ROOT, key + L"\\ProxyStubClsid32", KEY_WOW64_64KEY).Text(nullptr);
    if (!proxy) return L"no ProxyStubClsid32";
    if (!SameText(*proxy, kUniversalMarshaler)) return {};
    const Key typeLib(HKEY_CLASSES_ROOT, key + L"\\TypeLib", KEY_WOW64_64KEY);
    std::optional<std::wstring> library = typeLib.Text(nullptr), version = typeLib.Text(L"Version");
    if (!library || !version) return L"no type library named";
    const std::wstring base = L"TypeLib\\" + *library + L"\\" + *version + L"\\0\\";
    for (const wchar_t* kind : {L"win64", L"win32"}) {
        std::optional<std::wstring> file = ClassesText(base + kind);
        if (file && FileExists(*file)) return {};
    }
    return L"its type library " + *library + L" " + *version + L" is not registered or its file is missing";
}

} // namespace

// The registration for 64-bit hosts, as a 64-bit host meets it.
void CheckX64(Findings& f)
{
    if (!HasSixtyFourBitSide()) {
        f.NotChecked({L"x64 ProgID", L"x64 surrogate", L"x64 interfaces", L"x64 creation"},
                     L"this Windows (or Wine prefix) is 32-bit: it has no 64-bit side, so no 64-bit host runs here");
        return;
    }
    const std::wstring clsid = GuidText(CLSID_clsMachine);
    size_t problems = 0;
    auto problem = [&](const wchar_t* check, std::wstring found) {
        f.Problem(check, std::move(found), kRegisterX64);
        ++problems;
    };
    std::optional<std::wstring> named = Key(HKEY_CLASSES_ROOT, std::wstring(kProgId) + L"\\CLSID", KEY_WOW64_64KEY).Text(nullptr);
    if (named && SameText(*named, clsid)) f.Ok(L"x64 ProgID", L"64-bit programs resolve Kavro.clsMachine to " + clsid);
    else problem(L"x64 ProgID", named ? L"64-bit programs resolve Kavro.clsMachine to another class, " + *named
                                      : L"64-bit programs do not know Kavro.clsMachine");

    const std::wstring classKey = L"CLSID\\" + clsid;
    std::optional<std::wstring> appId = Key(HKEY_CLASSES_ROOT, classKey, KEY_WOW64_32KEY).Text(L"AppID");
    std::optional<std::wstring> surrogate;
    if (appId) surrogate = Key(HKEY_CLASSES_ROOT, L"AppID\\" + *appId, KEY_WOW64_32KEY).Text(L"DllSurrogate");
    if (!Key(HKEY_CLASSES_ROOT, classKey + L"\\InprocServer32", KEY_WOW64_32KEY))
        problem(L"x64 surrogate", L"Kavro.clsMachine's class is not registered for 32-bit programs either");
    else if (!appId)
        problem(L"x64 surrogate", L"the class has no AppID, so 64-bit hosts get \"Class not registered\" (0x80040154)");
    else if (!surrogate)
        problem(L"x64 surrogate", L"the class's AppID " + *appId + L" names no DllSurrogate");
    else
        f.Ok(L"x64 surrogate", L"AppID " + *appId + L" runs Kavro.dll in " +
                                   (surrogate->empty() ? L"the system's 32-bit dllhost.exe" : *surrogate));

    std::wstring unknown, known;
    for (const CrossingInterface& crossing : CrossingInterfaces()) {
        std::wstring why = WhyNotMarshaled(InterfaceKey(*crossing.iid));
        if (why.empty()) known += (known.empty() ? L"" : L", ") + std::wstring(crossing.name);
        else unknown += (unknown.empty() ? L"" : L"; ") + std::wstring(crossing.name) + L" (" + crossing.owner + L"'s): " + why;
    }
    if (unknown.empty()) f.Ok(L"x64 interfaces", known + L" marshal for 64-bit programs");
    else problem(L"x64 interfaces", L"64-bit programs cannot marshal " + unknown);

    if (problems) {
        f.NotChecked({L"x64 creation"}, L"the registration above is not complete");
        return;
    }
    ComPtr<IUnknown> object;
    ComPtr<IMachine> machine;
    HRESULT hr;
    {
        const QuietChildren quiet;
        hr = CoCreateInstance(CLSID_clsMachine, nullptr, CLSCTX_LOCAL_SERVER, IID_IUnknown,
                              reinterpret_cast<void**>(object.GetAddressOf()));
        if (SUCCEEDED(hr)) hr = object.As(&machine);
    }
    if (SUCCEEDED(hr))
        f.Ok(L"x64 creation", L"Kavro.clsMachine was created in a surrogate process (CLSCTX_LOCAL_SERVER) and "
                              L"IMachine reached through marshaling");
    else
        f.Problem(L"x64 creation", L"creating Kavro.clsMachine in a surrogate process failed: " + Explained(hr),
                  L"Run kavro doctor (without --x64) and mend its problems first; then install.cmd /x64hosts.");
}

} // namespace kavro::tool::doctor
