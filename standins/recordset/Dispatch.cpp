// Late binding for the recordset's objects, from the ADO type information,
// and the count of live objects.
#include "RecordsetObjects.h"

#include <string>

namespace memrs {
namespace {

LONG volatile g_live = 0;

std::wstring ModuleFolder()
{
    HMODULE module = nullptr;
    if (!GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                            reinterpret_cast<LPCWSTR>(&ModuleFolder), &module))
        return L"";
    wchar_t path[MAX_PATH];
    DWORD n = GetModuleFileNameW(module, path, MAX_PATH);
    if (n == 0 || n >= MAX_PATH) return L"";
    std::wstring folder(path, n);
    return folder.substr(0, folder.find_last_of(L"\\/") + 1);
}

// The stand-in library is never registered by us; a real ADO installation may be.
HRESULT AdoLibrary(ITypeLib** library)
{
    std::wstring beside = ModuleFolder() + L"Ado26.tlb";
    if (SUCCEEDED(LoadTypeLibEx(beside.c_str(), REGKIND_NONE, library))) return S_OK;
    return LoadRegTypeLib(LIBID_ADODB, 2, 6, LOCALE_NEUTRAL, library);
}

} // namespace

void ObjectCreated() { InterlockedIncrement(&g_live); }
void ObjectDestroyed() { InterlockedDecrement(&g_live); }
long LiveObjects() { return g_live; }

HRESULT TypeInfoOf(REFIID iid, ITypeInfo** info)
{
    ComPtr<ITypeLib> library;
    HRESULT hr = AdoLibrary(&library);
    if (FAILED(hr)) return hr;
    return library->GetTypeInfoOfGuid(iid, info);
}

HRESULT DispatchNames(REFIID iid, LPOLESTR* names, UINT count, DISPID* ids)
{
    ComPtr<ITypeInfo> info;
    HRESULT hr = TypeInfoOf(iid, &info);
    if (FAILED(hr)) return hr;
    return DispGetIDsOfNames(info.Get(), names, count, ids);
}

HRESULT DispatchInvoke(void* self, REFIID iid, DISPID id, WORD flags, DISPPARAMS* params, VARIANT* result,
                       EXCEPINFO* excepInfo, UINT* argErr)
{
    ComPtr<ITypeInfo> dual;
    HRESULT hr = TypeInfoOf(iid, &dual);
    if (FAILED(hr)) return hr;
    // DispInvoke calls through the function table: it needs the vtable half.
    HREFTYPE vtable = 0;
    ComPtr<ITypeInfo> info;
    if (SUCCEEDED(dual->GetRefTypeOfImplType(-1, &vtable))) dual->GetRefTypeInfo(vtable, &info);
    if (!info) info = dual;
    return DispInvoke(self, info.Get(), id, flags, params, result, excepInfo, argErr);
}

} // namespace memrs
