#include "modulefunction.h"

#include <windows.h>
#include <string>

#include "frame/Errors.h"
#include "frame/Server.h"

namespace kavro::hw {
namespace {

constexpr wchar_t kLibrary[] = L"HwDev.dll";

// The standard search first; vendors ship HwDev.dll beside Kavro.dll, so that
// folder is tried next.
HMODULE LoadFromSearchOrBeside()
{
    if (HMODULE module = LoadLibraryW(kLibrary)) return module;
    std::wstring path = ModuleFolder() + kLibrary;
    return LoadLibraryExW(path.c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
}

HMODULE Library()
{
    static HMODULE volatile loaded = nullptr;
    if (HMODULE module = loaded) return module;
    HMODULE module = LoadFromSearchOrBeside();
    if (!module) Raise(RunTimeError::FileNotFound, L"File not found: HwDev.dll");
    loaded = module;  // a racing second load only adds a reference; the library stays loaded
    return module;
}

template <class Fn>
Fn Bind(const char* name, Fn volatile& cache)
{
    if (Fn bound = cache) return bound;
    FARPROC proc = GetProcAddress(Library(), name);
    if (!proc) {
        std::wstring wide(name, name + lstrlenA(name));
        Raise(RunTimeError::EntryPointNotFound, L"Can't find DLL entry point " + wide + L" in HwDev.dll");
    }
    Fn bound = reinterpret_cast<Fn>(reinterpret_cast<void*>(proc));
    cache = bound;
    return bound;
}

} // namespace

#define KAVRO_BIND(name)                         \
    name##Fn HwDev_##name()                      \
    {                                            \
        static name##Fn volatile cache = nullptr; \
        return Bind("HwDev_" #name, cache);      \
    }

KAVRO_BIND(IsDevExist)
KAVRO_BIND(RecvEmployeeFromDev)
KAVRO_BIND(FreeEmployeeList)
KAVRO_BIND(SendEmployeeToDev)
KAVRO_BIND(RecvAllRcdFromDev)
KAVRO_BIND(FreeRcdList)
KAVRO_BIND(DelAllRcdOnDev)

#undef KAVRO_BIND

} // namespace kavro::hw
