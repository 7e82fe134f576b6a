// The registration as a host meets it: the ProgID, the class's server entry
// and threading model, the file, the type library, and creation.
#include "DoctorChecks.h"

#include <objbase.h>
#include <oleauto.h>
#include <wrl/client.h>

#include <ZebMachine.h>

#include "Component.h"
#include "Console.h"
#include "ImageFile.h"
#include "frame/Identity.h"

namespace kavro::tool::doctor {
namespace {

using Microsoft::WRL::ComPtr;

// The OriginalFilename of a file's version block, in its first translation.
std::wstring OriginalFilename(const std::wstring& path)
{
    DWORD ignored = 0;
    DWORD size = GetFileVersionInfoSizeW(path.c_str(), &ignored);
    if (size == 0) return {};
    std::vector<BYTE> block(size);
    WORD* translation = nullptr;
    wchar_t* name = nullptr;
    UINT length = 0;
    if (!GetFileVersionInfoW(path.c_str(), 0, size, block.data()) ||
        !VerQueryValueW(block.data(), L"\\VarFileInfo\\Translation", reinterpret_cast<void**>(&translation), &length) ||
        length < 2 * sizeof(WORD))
        return {};
    wchar_t query[64];
    swprintf(query, 64, L"\\StringFileInfo\\%04x%04x\\OriginalFilename", translation[0], translation[1]);
    if (!VerQueryValueW(block.data(), query, reinterpret_cast<void**>(&name), &length) || length == 0) return {};
    return std::wstring(name, wcsnlen(name, length));
}

// The file of the module an object's code lies in.
std::wstring ModuleOf(IUnknown* object)
{
    HMODULE module = nullptr;
    const void* code = *reinterpret_cast<void* const*>(object);  // the vtable
    if (!GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                            static_cast<LPCWSTR>(code), &module))
        return {};
    return ModulePath(module);
}

// Whether the ProgID names the class of clsMachine.
bool CheckProgId(Findings& f)
{
    const std::wstring clsid = GuidText(CLSID_clsMachine);
    const std::optional<std::wstring> named = ClassesText(std::wstring(kProgId) + L"\\CLSID");
    const bool ours = named && SameText(*named, clsid);
    if (!named) f.Problem(L"ProgID", L"Kavro.clsMachine is not registered", kRegisterAgain);
    else if (!ours) f.Problem(L"ProgID", L"Kavro.clsMachine names the class " + *named + L", not " + clsid, kRegisterAgain);
    else f.Ok(L"ProgID", L"Kavro.clsMachine names the class " + clsid);
    return ours;
}

// What the class's server entry names, and whether a host could create the
// class from it.
struct ServerEntry {
    std::optional<std::wstring> registered;  // the file the entry names; none without an entry
    std::wstring file;                       // the file to examine: the registered one, where it is there and
                                             // is the one given; else the one given (maybe none)
    bool usable = false;                     // it names that file, with the threading model Apartment
};

ServerEntry CheckServer(Findings& f, const std::wstring& given)
{
    const std::wstring clsid = GuidText(CLSID_clsMachine);
    const std::wstring key = L"CLSID\\" + clsid + L"\\InprocServer32";
    ServerEntry entry{ClassesText(key), given, false};
    if (!entry.registered) {
        f.Problem(L"server", L"the class " + clsid + L" has no in-process server entry", kRegisterAgain);
        f.NotChecked({L"threading model"}, L"there is no server entry");
        return entry;
    }
    const std::wstring& registered = *entry.registered;
    bool named = false;
    if (!FileExists(registered))
        f.Problem(L"server", L"the registered file " + registered + L" does not exist", kRegisterAgain);
    else if (!given.empty() && !SamePath(given, registered))
        f.Problem(L"server", L"the registration names " + registered + L", not " + given,
                    L"Run install.cmd from the folder of " + given + L" to register that copy instead.");
    else {
        f.Ok(L"server", registered);
        entry.file = registered;
        named = true;
    }
    const std::optional<std::wstring> model = ClassesText(key, L"ThreadingModel");
    const bool apartment = model && SameText(*model, L"Apartment");
    if (apartment) f.Ok(L"threading model", L"Apartment");
    else
        f.Problem(L"threading model",
                    model ? L"\"" + *model + L"\" instead of \"Apartment\"" : std::wstring(L"none registered"), kRegisterAgain);
    entry.usable = named && apartment;
    return entry;
}

void CheckTypeLibrary(Findings& f, const std::wstring& serverFile)
{
    const std::wstring key = L"TypeLib\\" + GuidText(LIBID_Kavro) + L"\\" + std::to_wstring(kTypeLibMajor) + L"." +
                             std::to_wstring(kTypeLibMinor) + L"\\0\\win32";
    std::optional<std::wstring> path = ClassesText(key);
    if (!path) {
        f.Problem(L"type library", L"the type library Kavro 1.0 is not registered", kRegisterAgain);
        return;
    }
    if (!FileExists(*path)) {
        // The library lives in Kavro.dll: a missing server file is already reported.
        if (!serverFile.empty() && SamePath(*path, serverFile))
            f.NotChecked({L"type library"}, L"it is in the missing file " + *path);
        else
            f.Problem(L"type library", L"the registered type library file " + *path + L" does not exist", kRegisterAgain);
        return;
    }
    ComPtr<ITypeLib> library;
    HRESULT hr = LoadRegTypeLib(LIBID_Kavro, kTypeLibMajor, kTypeLibMinor, LOCALE_NEUTRAL, &library);
    if (FAILED(hr)) f.Problem(L"type library", L"Kavro 1.0 in " + *path + L" cannot be loaded: " + Explained(hr),
                              kRegisterAgain);
    else f.Ok(L"type library", L"Kavro 1.0 in " + *path);
}

} // namespace

// False when the file is no 32-bit DLL: nothing can be created from it.
bool CheckFile(Findings& f, const std::wstring& file)
{
    std::wstring unreadable;
    std::optional<ImageFile> image = ReadImageFile(file, &unreadable);
    std::wstring wrong = !image ? unreadable
                         : image->machine != IMAGE_FILE_MACHINE_I386 ? L"is a " + Bitness(image->machine) + L" file"
                         : !image->dll ? std::wstring(L"is a program, not a DLL")
                                       : std::wstring();
    if (!wrong.empty()) {
        f.Problem(L"32-bit DLL", file + L" " + wrong, kReplaceComponent);
        f.NotChecked({L"version"}, L"the file is not a 32-bit DLL");
        return false;
    }
    f.Ok(L"32-bit DLL", file + L" is a 32-bit Windows DLL");
    std::wstring original = OriginalFilename(file), version = FileVersion(file);
    if (!SameText(original, L"Kavro.dll"))
        f.Problem(L"version", original.empty() ? std::wstring(L"the file has no version block of Kavro.dll")
                                               : L"the file calls itself " + original + L", not Kavro.dll",
                  kReplaceComponent);
    else f.Ok(L"version", L"Kavro.dll " + version);
    return true;
}

// Made only when every check it depends on passed, so a failure here is
// the file's own: say what loading it gives.
void CheckCreation(Findings& f, const std::wstring& file, const std::wstring& how)
{
    CLSID clsid;
    ComPtr<IUnknown> object;
    HRESULT hr = CLSIDFromProgID(kProgId, &clsid);
    if (SUCCEEDED(hr)) hr = CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IID_IUnknown,
                                             reinterpret_cast<void**>(object.GetAddressOf()));
    if (FAILED(hr)) {
        const std::wstring failed = L"creating Kavro.clsMachine " + how + L" failed: " + Explained(hr) + L"; ";
        DWORD error = 0;
        LoadedLibrary library(LoadFile(file, error));
        if (!library.get())
            f.Problem(L"creation", failed + file + L" does not load: " + WhyNotLoaded(file, error),
                      L"Put back the Kavro.dll of the release package; if that one fails the same way, this Windows "
                      L"lacks the system DLL named here.");
        else
            f.Problem(L"creation", failed + file + L" loads but does not create the class", kReplaceComponent);
        return;
    }
    const std::wstring loaded = ModuleOf(object.Get());
    ComPtr<IMachine> machine;
    ComPtr<IDispatch> byDefault;
    HRESULT hrMachine = object.As(&machine);
    HRESULT hrDefault = object->QueryInterface(IID__clsMachine, reinterpret_cast<void**>(byDefault.GetAddressOf()));
    if (loaded.empty() || !SamePath(loaded, file))
        f.Problem(L"creation",
                  L"Kavro.clsMachine " + how + L" was created from " + (loaded.empty() ? L"an unknown module" : loaded) +
                      L", not from " + file,
                  L"Unregister the other copy (uninstall.cmd in its folder), then run install.cmd beside " + file + L".");
    else if (FAILED(hrMachine) || FAILED(hrDefault))
        f.Problem(L"creation",
                  L"Kavro.clsMachine was created from " + loaded + L", but IMachine answers " + Explained(hrMachine) +
                      L" and _clsMachine " + Explained(hrDefault),
                  L"Register Kavro.dll again (threading model Apartment) and make sure the host is installed.");
    else f.Ok(L"creation", L"Kavro.clsMachine created " + how + L" from " + loaded + L"; IMachine and _clsMachine answer");
}

std::wstring CheckRegistration(Findings& f, const std::wstring& given)
{
    const bool progId = CheckProgId(f);
    const ServerEntry server = CheckServer(f, given);
    bool creatable = progId && server.usable;
    if (server.file.empty())
        f.NotChecked({L"32-bit DLL", L"version"}, server.registered ? L"the registered file does not exist"
                                                                       : L"there is no registered file to check");
    else if (!CheckFile(f, server.file))
        creatable = false;
    CheckTypeLibrary(f, server.registered.value_or(L""));
    if (creatable) CheckCreation(f, server.file, L"by its ProgID");
    else f.NotChecked({L"creation"}, L"it would fail for the problems above");
    return server.file.empty() ? server.registered.value_or(L"") : server.file;
}

} // namespace kavro::tool::doctor
