// Self-registration: the class and its ProgID under HKEY_CLASSES_ROOT, and the
// type library that Kavro.dll carries. IMachine and the libraries Kavro.tlb
// refers to belong to the host and the platform and are never registered here.
#include <windows.h>
#include <oleauto.h>
#include <wrl/client.h>

#include <new>
#include <string>
#include <utility>
#include <vector>

#include "Errors.h"
#include "Identity.h"
#include "NumberText.h"
#include "Owners.h"
#include "Server.h"

namespace kavro {
namespace {

// One value under HKEY_CLASSES_ROOT; a null name is the key's default value.
struct RegValue {
    std::wstring key;
    const wchar_t* name;
    std::wstring data;
};

std::wstring GuidText(REFGUID guid)
{
    wchar_t text[39];
    StringFromGUID2(guid, text, 39);
    return text;
}

// What registration writes besides the type library, each key after its parent.
std::vector<RegValue> Entries(const std::wstring& modulePath)
{
    const std::wstring clsid = GuidText(CLSID_clsMachine);
    const std::wstring classKey = L"CLSID\\" + clsid;
    const std::wstring progId = kProgId;
    return {
        {progId, nullptr, progId},
        {progId + L"\\CLSID", nullptr, clsid},
        {classKey, nullptr, progId},
        {classKey + L"\\ProgID", nullptr, progId},
        {classKey + L"\\InprocServer32", nullptr, modulePath},
        {classKey + L"\\InprocServer32", L"ThreadingModel", L"Apartment"},
        {classKey + L"\\TypeLib", nullptr, GuidText(LIBID_Kavro)},
        {classKey + L"\\VERSION", nullptr, DecimalText(kTypeLibMajor) + L"." + DecimalText(kTypeLibMinor)},
    };
}

void CheckRegistry(LSTATUS status, const wchar_t* what)
{
    Check(HRESULT_FROM_WIN32(status), what);
}

void Write(const RegValue& v)
{
    RegKey key;
    CheckRegistry(RegCreateKeyExW(HKEY_CLASSES_ROOT, v.key.c_str(), 0, nullptr, 0, KEY_SET_VALUE,
                                  nullptr, key.out(), nullptr),
                  L"create a registry key");
    const auto bytes = static_cast<DWORD>((v.data.size() + 1) * sizeof(wchar_t));
    CheckRegistry(RegSetValueExW(key.get(), v.name, 0, REG_SZ,
                                 reinterpret_cast<const BYTE*>(v.data.c_str()), bytes),
                  L"write a registry value");
}

// Removes our value, then the key once nothing else is left in it: a key that
// still holds someone else's entries stays.
void Remove(const RegValue& v)
{
    RegKey key;
    LSTATUS status = RegOpenKeyExW(HKEY_CLASSES_ROOT, v.key.c_str(), 0, KEY_READ | KEY_SET_VALUE, key.out());
    if (status == ERROR_FILE_NOT_FOUND) return;
    CheckRegistry(status, L"open a registry key");
    status = RegDeleteValueW(key.get(), v.name);
    if (status != ERROR_FILE_NOT_FOUND) CheckRegistry(status, L"delete a registry value");

    DWORD subkeys = 0, values = 0;
    CheckRegistry(RegQueryInfoKeyW(key.get(), nullptr, nullptr, nullptr, &subkeys, nullptr, nullptr,
                                   &values, nullptr, nullptr, nullptr, nullptr),
                  L"inspect a registry key");
    if (subkeys || values) return;
    status = RegDeleteKeyW(HKEY_CLASSES_ROOT, v.key.c_str());
    if (status != ERROR_FILE_NOT_FOUND) CheckRegistry(status, L"delete a registry key");
}

// HELPDIR is named, the DLL's folder with its backslash, rather than left to
// the system (Wine then writes the folder without it): Kavro's MSI writes the
// same registration as data, and its folder properties end in a backslash.
void RegisterTypeLibrary(const std::wstring& modulePath)
{
    Microsoft::WRL::ComPtr<ITypeLib> lib;
    Check(LoadTypeLibEx(modulePath.c_str(), REGKIND_NONE, &lib), L"load the type library");
    std::wstring helpDir = modulePath.substr(0, modulePath.find_last_of(L'\\') + 1);
    Check(RegisterTypeLib(lib.Get(), const_cast<LPOLESTR>(modulePath.c_str()), helpDir.data()),
          L"register the type library");
}

void UnregisterTypeLibrary()
{
    BSTR registeredPath = nullptr;
    if (FAILED(QueryPathOfRegTypeLib(LIBID_Kavro, kTypeLibMajor, kTypeLibMinor, 0, &registeredPath)))
        return;  // not registered: nothing to remove
    SysFreeString(registeredPath);
    Check(UnRegisterTypeLib(LIBID_Kavro, kTypeLibMajor, kTypeLibMinor, 0, SYS_WIN32),
          L"unregister the type library");
}

std::wstring CheckedModulePath()
{
    std::wstring path = ModulePath();
    if (path.empty()) Raise(E_FAIL, L"find Kavro.dll");
    return path;
}

// No exception leaves an export.
template <typename Body>
HRESULT Guarded(Body body) noexcept
{
    try {
        body();
        return S_OK;
    } catch (...) {
        return CurrentFailure().hr;
    }
}

} // namespace
} // namespace kavro

extern "C" HRESULT __stdcall DllRegisterServer()
{
    return kavro::Guarded([] {
        const std::wstring path = kavro::CheckedModulePath();
        for (const auto& value : kavro::Entries(path)) kavro::Write(value);
        kavro::RegisterTypeLibrary(path);
    });
}

extern "C" HRESULT __stdcall DllUnregisterServer()
{
    return kavro::Guarded([] {
        kavro::UnregisterTypeLibrary();
        const auto entries = kavro::Entries(std::wstring());
        for (auto it = entries.rbegin(); it != entries.rend(); ++it) kavro::Remove(*it);
    });
}
