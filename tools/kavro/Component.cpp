#include "Component.h"

#include "Failure.h"
#include "Stages.h"
#include "frame/Identity.h"
#include "frame/Owners.h"
#include "HostObjects.h"

namespace kavro::tool {
namespace {

const zebhost::ServedClass kHostClasses[] = {
    {&CLSID_clsMachineItem, L"clsMachineItem", L"ZebMachine.clsMachineItem", HOSTSTUB_MachineItem,
     zebhost::CreateMachineItem},
    {&CLSID_clsCardData, L"clsCardData", L"ZebMachine.clsCardData", HOSTSTUB_CardData, zebhost::CreateCardData},
};

const wchar_t kAdvice[] = L"\nRegister the component with \"regsvr32 Kavro.dll\", or name it with --dll PATH.";

[[noreturn]] void NotCreated(const std::wstring& what, HRESULT hr)
{
    Fail(kNotCreated, what + L" (" + HresultText(hr) + L")." + kAdvice);
}

// The DLL the registration names for Kavro.clsMachine.
std::wstring RegisteredPath()
{
    CLSID clsid;
    HRESULT hr = CLSIDFromProgID(kProgId, &clsid);
    if (FAILED(hr)) NotCreated(L"Kavro.clsMachine is not registered", hr);
    wchar_t guid[40];
    StringFromGUID2(clsid, guid, 40);
    std::wstring key = std::wstring(L"CLSID\\") + guid + L"\\InprocServer32";
    wchar_t path[MAX_PATH * 4];
    DWORD size = sizeof(path);
    LSTATUS status = RegGetValueW(HKEY_CLASSES_ROOT, key.c_str(), nullptr, RRF_RT_REG_SZ, nullptr, path, &size);
    if (status != ERROR_SUCCESS) NotCreated(L"Kavro.clsMachine has no registered server file", HRESULT_FROM_WIN32(status));
    return path;
}

} // namespace

HostClasses::HostClasses()
{
    for (const zebhost::ServedClass& served : kHostClasses) {
        ComPtr<IUnknown> factory;
        DWORD cookie = 0;
        HRESULT hr = zebhost::CreateClassFactory(served, IID_IUnknown, reinterpret_cast<void**>(factory.GetAddressOf()));
        if (SUCCEEDED(hr))
            hr = CoRegisterClassObject(*served.clsid, factory.Get(), CLSCTX_INPROC_SERVER, REGCLS_MULTIPLEUSE, &cookie);
        if (FAILED(hr)) {
            Revoke();
            Fail(kCallFailed, std::wstring(L"Serving the host class ") + served.name + L" failed: " + HresultText(hr));
        }
        cookies_.push_back(cookie);
    }
}

HostClasses::~HostClasses() { Revoke(); }

void HostClasses::Revoke()
{
    for (DWORD cookie : cookies_) CoRevokeClassObject(cookie);
    cookies_.clear();
}

ComPtr<IMachine> CreateMachine(const std::wstring& dllPath)
{
    ComPtr<IClassFactory> factory;
    HRESULT hr;
    if (dllPath.empty()) {
        CLSID clsid;
        hr = CLSIDFromProgID(kProgId, &clsid);
        if (FAILED(hr)) NotCreated(L"Kavro.clsMachine is not registered", hr);
        hr = CoGetClassObject(clsid, CLSCTX_INPROC_SERVER, nullptr, IID_IClassFactory,
                              reinterpret_cast<void**>(factory.GetAddressOf()));
        if (FAILED(hr)) NotCreated(L"Kavro.clsMachine is registered but cannot be loaded", hr);
    } else {
        // Loaded for the rest of the process: objects of the DLL may live until exit.
        const std::wstring path = FullPath(dllPath);
        HMODULE module = LoadLibraryExW(path.c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
        if (!module) NotCreated(L"Cannot load " + path, HRESULT_FROM_WIN32(GetLastError()));
        using GetClassObject = HRESULT(STDAPICALLTYPE*)(REFCLSID, REFIID, void**);
        auto get = reinterpret_cast<GetClassObject>(reinterpret_cast<void*>(GetProcAddress(module, "DllGetClassObject")));
        if (!get) NotCreated(path + L" is not a COM server", HRESULT_FROM_WIN32(ERROR_PROC_NOT_FOUND));
        hr = get(CLSID_clsMachine, IID_IClassFactory, reinterpret_cast<void**>(factory.GetAddressOf()));
        if (FAILED(hr) || !factory) NotCreated(path + L" does not serve Kavro.clsMachine", FAILED(hr) ? hr : E_POINTER);
    }
    ComPtr<IMachine> machine;
    hr = factory->CreateInstance(nullptr, IID_IMachine, reinterpret_cast<void**>(machine.GetAddressOf()));
    if (FAILED(hr) || !machine) NotCreated(L"Kavro.clsMachine cannot be created", FAILED(hr) ? hr : E_POINTER);
    MarkStage("component");
    return machine;
}

std::wstring FullPath(const std::wstring& path)
{
    std::wstring full(MAX_PATH, L'\0');
    for (;;) {
        DWORD n = GetFullPathNameW(path.c_str(), static_cast<DWORD>(full.size()), full.data(), nullptr);
        if (n == 0) return path;
        if (n < full.size()) return full.substr(0, n);
        full.resize(n);
    }
}

std::wstring ModulePath(HMODULE module)
{
    // Long paths: the manifest lets kavro.exe live deeper than MAX_PATH.
    std::wstring path(MAX_PATH, L'\0');
    for (;;) {
        DWORD n = GetModuleFileNameW(module, path.data(), static_cast<DWORD>(path.size()));
        if (n == 0) return {};
        if (n < path.size()) return path.substr(0, n);
        if (path.size() >= 32768) return {};
        path.resize(path.size() * 2);
    }
}

std::wstring FileVersion(const std::wstring& path)
{
    DWORD ignored = 0;
    DWORD size = GetFileVersionInfoSizeW(path.c_str(), &ignored);
    std::vector<BYTE> block(size);
    VS_FIXEDFILEINFO* info = nullptr;
    UINT length = 0;
    if (size == 0 || !GetFileVersionInfoW(path.c_str(), 0, size, block.data()) ||
        !VerQueryValueW(block.data(), L"\\", reinterpret_cast<void**>(&info), &length) || length < sizeof(*info))
        return {};
    return std::to_wstring(HIWORD(info->dwFileVersionMS)) + L"." + std::to_wstring(LOWORD(info->dwFileVersionMS)) +
           L"." + std::to_wstring(HIWORD(info->dwFileVersionLS)) + L"." + std::to_wstring(LOWORD(info->dwFileVersionLS));
}

std::wstring ComponentVersion(const std::wstring& dllPath)
{
    const std::wstring path = dllPath.empty() ? RegisteredPath() : FullPath(dllPath);
    std::wstring version = FileVersion(path);
    if (version.empty()) NotCreated(L"Cannot read the version of " + path, HRESULT_FROM_WIN32(GetLastError()));
    return version + L" (" + path + L")";
}

void CheckCall(IMachine& machine, HRESULT hr, const wchar_t* method)
{
    if (SUCCEEDED(hr)) return;
    std::wstring description;
    ComPtr<ISupportErrorInfo> support;
    ComPtr<IErrorInfo> info;
    if (SUCCEEDED(machine.QueryInterface(IID_ISupportErrorInfo, reinterpret_cast<void**>(support.GetAddressOf()))) &&
        support->InterfaceSupportsErrorInfo(IID_IMachine) == S_OK && GetErrorInfo(0, info.GetAddressOf()) == S_OK &&
        info) {
        Bstr text;
        if (SUCCEEDED(info->GetDescription(text.out()))) description = text.view();
    }
    if (description.empty()) description = L"no description";
    Fail(kCallFailed, std::wstring(method) + L" failed with " + HresultText(hr) + L": " + description);
}

ComPtr<_Collection> NewCollection()
{
    ComPtr<_Collection> collection;
    HRESULT hr = zebhost::CreateCollection(IID__Collection, reinterpret_cast<void**>(collection.GetAddressOf()));
    if (FAILED(hr)) Fail(kCallFailed, L"Creating a Collection failed: " + HresultText(hr));
    return collection;
}

} // namespace kavro::tool
