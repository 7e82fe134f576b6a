// The system around the component: the Windows it runs on, the host's
// classes, an installation by Kavro's MSI, and on 64-bit Windows the registry
// view of the registration.
#include "DoctorChecks.h"

#include <objbase.h>
#include <wrl/client.h>

#include <ZebMachine.h>

#include "Console.h"
#include "Installer.h"
#include "frame/Identity.h"

namespace kavro::tool::doctor {

using Microsoft::WRL::ComPtr;

// The Windows it runs on, as the system reports it (RtlGetVersion, which
// no compatibility setting changes): supported are Windows 7 SP1 to 11
// and Server 2008 R2 to 2022, 32- and 64-bit.
void CheckWindows(Findings& f)
{
    using GetVersionFunction = LONG(WINAPI*)(OSVERSIONINFOEXW*);
    using WineVersionFunction = const char*(CDECL*)();
    const HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
    auto getVersion = reinterpret_cast<GetVersionFunction>(
        reinterpret_cast<void*>(ntdll ? GetProcAddress(ntdll, "RtlGetVersion") : nullptr));
    auto wineVersion = reinterpret_cast<WineVersionFunction>(
        reinterpret_cast<void*>(ntdll ? GetProcAddress(ntdll, "wine_get_version") : nullptr));
    OSVERSIONINFOEXW v{};
    v.dwOSVersionInfoSize = sizeof v;
    if (!getVersion || getVersion(&v) != 0) {
        f.Add(Level::kNotChecked, L"Windows", L"the system does not say which Windows it is");
        return;
    }
    const bool server = v.wProductType != VER_NT_WORKSTATION;
    const DWORD build = v.dwBuildNumber;
    const DWORD version = v.dwMajorVersion * 100 + v.dwMinorVersion;
    std::wstring name;
    if (version >= 1000) {
        if (!server) name = build >= 22000 ? L"Windows 11" : L"Windows 10";
        else name = build >= 26100 ? L"Windows Server 2025" : build >= 20348 ? L"Windows Server 2022"
                  : build >= 17763 ? L"Windows Server 2019" : L"Windows Server 2016";
    } else if (version == 603) name = server ? L"Windows Server 2012 R2" : L"Windows 8.1";
    else if (version == 602) name = server ? L"Windows Server 2012" : L"Windows 8";
    else if (version == 601) name = server ? L"Windows Server 2008 R2" : L"Windows 7";
    else name = L"Windows " + std::to_wstring(v.dwMajorVersion) + L"." + std::to_wstring(v.dwMinorVersion);
    if (v.wServicePackMajor) name += L" SP" + std::to_wstring(v.wServicePackMajor);
    std::wstring found = name + L" (" + std::to_wstring(v.dwMajorVersion) + L"." + std::to_wstring(v.dwMinorVersion) +
                         L"." + std::to_wstring(build) + L"), " +
                         (HasSixtyFourBitSide() ? L"64-bit: 32-bit hosts only, or 64-bit ones through the "
                                                  L"surrogate (doctor --x64)"
                                                : L"32-bit");
    if (wineVersion) found += L", under Wine " + FromUtf8(wineVersion());
    const bool supported = version > 601 || (version == 601 && v.wServicePackMajor >= 1);
    if (supported) f.Ok(L"Windows", found);
    else f.Problem(L"Windows", found + L": older than Windows 7 SP1 and Windows Server 2008 R2 SP1, which Kavro needs",
                   L"Install the service pack (Windows 7 SP1), or use a PC with a supported Windows.");
}

void CheckHostClasses(Findings& f)
{
    std::wstring failed;
    for (const auto& [clsid, name] : {std::pair{&CLSID_clsMachineItem, L"clsMachineItem"},
                                      std::pair{&CLSID_clsCardData, L"clsCardData"}}) {
        ComPtr<IUnknown> object;
        HRESULT hr = CoCreateInstance(*clsid, nullptr, CLSCTX_INPROC_SERVER, IID_IUnknown,
                                      reinterpret_cast<void**>(object.GetAddressOf()));
        if (FAILED(hr)) failed += (failed.empty() ? L"" : L"; ") + std::wstring(name) + L": " + Explained(hr);
    }
    if (failed.empty()) f.Ok(L"host classes", L"clsMachineItem and clsCardData can be created");
    else f.Problem(L"host classes", L"the host's classes cannot be created (" + failed + L"), so discovery and downloads fail",
                   L"Install or repair the attendance application: it registers these classes.");
}

// Only on 64-bit Windows, where a 32-bit component has a registry view of its own.
void CheckRegistryView(Findings& f)
{
    BOOL wow64 = FALSE;
    if (!IsWow64Process(GetCurrentProcess(), &wow64) || !wow64) return;
    const std::wstring key = L"Software\\Classes\\CLSID\\" + GuidText(CLSID_clsMachine);
    auto in = [&](REGSAM view) {
        return static_cast<bool>(Key(HKEY_LOCAL_MACHINE, key, view)) || static_cast<bool>(Key(HKEY_CURRENT_USER, key, view));
    };
    bool in32 = in(KEY_WOW64_32KEY), in64 = in(KEY_WOW64_64KEY);
    const wchar_t kNote[] = L"64-bit programs (64-bit PowerShell or cscript.exe from System32) cannot load this "
                            L"32-bit component and report error 429; use their 32-bit versions from SysWOW64";
    if (in32) f.Ok(L"registry view", std::wstring(L"64-bit Windows: registered in the 32-bit view (WOW6432Node). ") + kNote);
    else if (in64)
        f.Problem(L"registry view", std::wstring(L"64-bit Windows: registered only in the 64-bit view. ") + kNote,
                  L"Register with the 32-bit %SystemRoot%\\SysWOW64\\regsvr32.exe (install.cmd does).");
}

void CheckInstaller(Findings& f)
{
    const InstallerFinding found =
        ExamineInstaller(ClassesText(L"CLSID\\" + GuidText(CLSID_clsMachine) + L"\\InprocServer32"));
    f.Add(found.problem ? Level::kProblem : Level::kOk, L"installer", found.found, found.fix);
}

} // namespace kavro::tool::doctor
