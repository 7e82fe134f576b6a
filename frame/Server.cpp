#include "Server.h"

#include <objbase.h>

#include "ClassFactory.h"
#include "Identity.h"

namespace kavro {
namespace {

HMODULE g_module = nullptr;
LONG volatile g_objects = 0;
LONG volatile g_locks = 0;

} // namespace

HMODULE ModuleHandle() { return g_module; }

std::wstring ModulePath()
{
    std::wstring path(MAX_PATH, L'\0');
    for (;;) {
        DWORD n = GetModuleFileNameW(g_module, path.data(), static_cast<DWORD>(path.size()));
        if (n == 0) return {};
        if (n < path.size()) {
            path.resize(n);
            return path;
        }
        path.resize(path.size() * 2);
    }
}

std::wstring ModuleFolder()
{
    std::wstring path = ModulePath();
    return path.substr(0, path.find_last_of(L"\\/") + 1);
}

void ObjectCreated() { InterlockedIncrement(&g_objects); }
void ObjectDestroyed() { InterlockedDecrement(&g_objects); }
void LockModule() { InterlockedIncrement(&g_locks); }
void UnlockModule() { InterlockedDecrement(&g_locks); }

} // namespace kavro

// Loading sets up nothing of the component's own: only the module handle is kept.
extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID)
{
    if (reason == DLL_PROCESS_ATTACH) {
        kavro::g_module = instance;
        DisableThreadLibraryCalls(instance);
    }
    return TRUE;
}

extern "C" HRESULT __stdcall DllGetClassObject(REFCLSID clsid, REFIID iid, void** object)
{
    if (!object) return E_POINTER;
    *object = nullptr;
    if (!IsEqualCLSID(clsid, kavro::CLSID_clsMachine)) return CLASS_E_CLASSNOTAVAILABLE;
    return kavro::ClassFactory().QueryInterface(iid, object);
}

extern "C" HRESULT __stdcall DllCanUnloadNow()
{
    return (kavro::g_objects == 0 && kavro::g_locks == 0) ? S_OK : S_FALSE;
}
