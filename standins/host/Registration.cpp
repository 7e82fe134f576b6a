// Registration: the type library embedded as resource TYPELIB 1, and the
// served classes with their ProgIDs, all taken from the class table.
#include "HostObjects.h"

#include <string>
#include <wrl/client.h>

namespace zebhost {
namespace {

std::wstring ModulePath()
{
    HMODULE module = nullptr;
    if (!GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                            reinterpret_cast<LPCWSTR>(&ModulePath), &module))
        Fail(HRESULT_FROM_WIN32(GetLastError()), "find our module");
    std::wstring path(MAX_PATH, L'\0');
    for (;;) {
        DWORD n = GetModuleFileNameW(module, path.data(), static_cast<DWORD>(path.size()));
        if (n == 0) Fail(HRESULT_FROM_WIN32(GetLastError()), "read our path");
        if (n < path.size()) return path.substr(0, n);
        path.resize(path.size() * 2);
    }
}

std::wstring GuidText(const GUID& guid)
{
    wchar_t text[40];
    StringFromGUID2(guid, text, 40);
    return text;
}

std::wstring ClassKey(const ServedClass& served) { return L"CLSID\\" + GuidText(*served.clsid); }

// Writes one string value under HKEY_CLASSES_ROOT, creating the key; name
// nullptr is the key's default value.
void SetString(const std::wstring& key, const wchar_t* name, const std::wstring& value)
{
    LSTATUS status = RegSetKeyValueW(HKEY_CLASSES_ROOT, key.c_str(), name, REG_SZ, value.c_str(),
                                     static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t)));
    if (status != ERROR_SUCCESS) Fail(HRESULT_FROM_WIN32(status), "write the registry");
}

void DeleteTree(const std::wstring& key)
{
    LSTATUS status = RegDeleteTreeW(HKEY_CLASSES_ROOT, key.c_str());
    if (status != ERROR_SUCCESS && status != ERROR_FILE_NOT_FOUND) Fail(HRESULT_FROM_WIN32(status), "clean the registry");
}

void RegisterClass(const ServedClass& served, const std::wstring& path)
{
    const std::wstring key = ClassKey(served);
    SetString(key, nullptr, served.name);
    SetString(key + L"\\InprocServer32", nullptr, path);
    SetString(key + L"\\InprocServer32", L"ThreadingModel", L"Apartment");
    SetString(key + L"\\ProgID", nullptr, served.progId);
    SetString(served.progId, nullptr, served.name);
    SetString(std::wstring(served.progId) + L"\\CLSID", nullptr, GuidText(*served.clsid));
}

// The ZebMachine library: it registers IMachine and the two class interfaces
// for marshalling. It imports the Collection and ADO libraries, but
// registering it only reads its own types, so those need not be found here.
void RegisterTypeLibrary(std::wstring path) // a copy: RegisterTypeLib takes a non-const path
{
    Microsoft::WRL::ComPtr<ITypeLib> library;
    Check(LoadTypeLibEx(path.c_str(), REGKIND_NONE, &library), "load our type library");
    Check(RegisterTypeLib(library.Get(), path.data(), nullptr), "register our type library");
}

void UnregisterTypeLibrary()
{
    HRESULT hr = UnRegisterTypeLib(LIBID_ZebMachine, 1, 1, LOCALE_NEUTRAL, SYS_WIN32);
    if (FAILED(hr) && hr != TYPE_E_REGISTRYACCESS && hr != TYPE_E_LIBNOTREGISTERED)
        Fail(hr, "unregister our type library");
}

} // namespace
} // namespace zebhost

using namespace zebhost;

STDAPI DllRegisterServer(void)
{
    return Guarded([] {
        const std::wstring path = ModulePath();
        RegisterTypeLibrary(path);
        for (const ServedClass& served : ServedClasses()) RegisterClass(served, path);
    });
}

STDAPI DllUnregisterServer(void)
{
    return Guarded([] {
        for (const ServedClass& served : ServedClasses()) {
            DeleteTree(ClassKey(served));
            DeleteTree(served.progId);
        }
        UnregisterTypeLibrary();
    });
}
