#include "Doctor.h"

#include <windows.h>
#include <objbase.h>
#include <oleauto.h>
#include <wrl/client.h>

#include <algorithm>
#include <optional>
#include <vector>

#include <nlohmann/json.hpp>

#include "Component.h"
#include "Console.h"
#include "Failure.h"
#include "ImageFile.h"
#include "Installer.h"
#include "Manifest.h"
#include "X64Hosts.h"
#include "frame/Identity.h"
#include "frame/Owners.h"

namespace kavro::tool {
namespace {

using Json = nlohmann::ordered_json;

enum class Level { kOk, kWarning, kProblem, kNotChecked };

struct Finding {
    std::wstring check;
    Level level;
    std::wstring found;
    std::wstring fix;  // one sentence; empty when ok or not checked
};

const wchar_t* LevelName(Level level)
{
    switch (level) {
    case Level::kOk: return L"ok";
    case Level::kWarning: return L"warning";
    case Level::kProblem: return L"problem";
    default: return L"not checked";
    }
}

const std::wstring kRegister = std::wstring(L"Run install.cmd from ") + kElevatedPrompt +
                               L" in the folder that holds Kavro.dll (or regsvr32 Kavro.dll there), or give the host "
                               L"Kavro.manifest instead (see README.txt).";
const std::wstring kRegisterAgain = std::wstring(L"Run install.cmd again from ") + kElevatedPrompt +
                                    L" in the folder that holds Kavro.dll: it writes the whole registration.";
const std::wstring kRegisterX64 = std::wstring(L"Run install.cmd /x64hosts from ") + kElevatedPrompt +
                                  L" in the folder that holds Kavro.dll (or kavro register --x64-hosts there).";
const wchar_t kReplaceComponent[] = L"Replace it with the Kavro.dll of the release package.";

// The entry points the component binds in the vendor's library.
const char* const kVendorEntryPoints[] = {
    "HwDev_IsDevExist",  "HwDev_RecvEmployeeFromDev", "HwDev_FreeEmployeeList", "HwDev_SendEmployeeToDev",
    "HwDev_RecvAllRcdFromDev", "HwDev_FreeRcdList", "HwDev_DelAllRcdOnDev",
};

std::wstring GuidText(REFGUID guid)
{
    wchar_t text[40];
    StringFromGUID2(guid, text, 40);
    return text;
}

bool SameText(const std::wstring& a, const std::wstring& b)
{
    return CompareStringOrdinal(a.c_str(), -1, b.c_str(), -1, TRUE) == CSTR_EQUAL;
}

bool SamePath(const std::wstring& a, const std::wstring& b) { return SameText(FullPath(a), FullPath(b)); }

bool FileExists(const std::wstring& path)
{
    DWORD attributes = GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY);
}

std::wstring FolderOf(const std::wstring& path)
{
    size_t slash = path.find_last_of(L"\\/");
    return slash == std::wstring::npos ? std::wstring() : path.substr(0, slash + 1);
}

std::wstring NameOf(const std::wstring& path) { return path.substr(path.find_last_of(L"\\/") + 1); }

// A folder the system names, with its backslash; empty when it gives none.
std::wstring SystemGiven(UINT (WINAPI* get)(LPWSTR, UINT))
{
    wchar_t path[MAX_PATH * 4];
    UINT n = get(path, MAX_PATH * 4);
    return n > 0 && n < MAX_PATH * 4 ? std::wstring(path, n) + L"\\" : std::wstring();
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

// What a few HRESULTs a host meets mean, in words.
std::wstring Explained(HRESULT hr)
{
    std::wstring text = HresultText(hr);
    switch (hr) {
    case REGDB_E_CLASSNOTREG: return text + L", class not registered: the host reports error 429";
    case CO_E_CLASSSTRING: return text + L", no such ProgID: the host reports error 429";
    case E_NOINTERFACE: return text + L", interface not supported";
    case CLASS_E_CLASSNOTAVAILABLE: return text + L", the DLL does not serve this class";
    case HRESULT_FROM_WIN32(ERROR_MOD_NOT_FOUND): return text + L", the server file or a DLL it needs is missing";
    case HRESULT_FROM_WIN32(ERROR_BAD_EXE_FORMAT): return text + L", not a 32-bit Windows DLL";
    default: return text;
    }
}

class Key {
public:
    Key(HKEY root, const std::wstring& path, REGSAM view = 0)
    {
        if (RegOpenKeyExW(root, path.c_str(), 0, KEY_QUERY_VALUE | view, &key_) != ERROR_SUCCESS) key_ = nullptr;
    }
    Key(const Key&) = delete;
    Key& operator=(const Key&) = delete;
    ~Key() { if (key_) RegCloseKey(key_); }
    explicit operator bool() const { return key_ != nullptr; }

    // A string value (expanded); nullopt when there is none. name nullptr: the default value.
    std::optional<std::wstring> Text(const wchar_t* name) const
    {
        if (!key_) return std::nullopt;
        std::vector<wchar_t> text(MAX_PATH);
        for (;;) {
            DWORD bytes = static_cast<DWORD>(text.size() * sizeof(wchar_t));
            // REG_SZ here also takes REG_EXPAND_SZ, expanded.
            LSTATUS status = RegGetValueW(key_, nullptr, name, RRF_RT_REG_SZ, nullptr, text.data(), &bytes);
            if (status == ERROR_SUCCESS) return std::wstring(text.data());
            if (status != ERROR_MORE_DATA || text.size() > 32768) return std::nullopt;
            text.resize(text.size() * 4);
        }
    }

private:
    HKEY key_ = nullptr;
};

std::optional<std::wstring> ClassesText(const std::wstring& key, const wchar_t* name = nullptr)
{
    return Key(HKEY_CLASSES_ROOT, key).Text(name);
}

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

// A library loaded for a look at its exports, and let go again.
class LoadedLibrary {
public:
    explicit LoadedLibrary(HMODULE module) : module_(module) {}
    LoadedLibrary(const LoadedLibrary&) = delete;
    LoadedLibrary& operator=(const LoadedLibrary&) = delete;
    ~LoadedLibrary() { if (module_) FreeLibrary(module_); }
    HMODULE get() const { return module_; }
    FARPROC Export(const char* name) const { return GetProcAddress(module_, name); }
    std::wstring Path() const { return ModulePath(module_); }

private:
    HMODULE module_;
};

// A library loaded by its full path; error: why not, when it is not.
HMODULE LoadFile(const std::wstring& path, DWORD& error)
{
    HMODULE module = LoadLibraryExW(path.c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
    error = module ? 0 : GetLastError();
    return module;
}

// The simulator's verdict on its site file, as it will read it in a host.
struct Verdict {
    Level level;
    std::wstring found, fix;
};

Verdict SimulatorVerdict(const LoadedLibrary& library)
{
    wchar_t named[MAX_PATH * 4];
    DWORD n = GetEnvironmentVariableW(L"HWSIM_TERMINALS", named, MAX_PATH * 4);
    std::wstring site = n > 0 && n < MAX_PATH * 4 ? std::wstring(named, n) : FolderOf(library.Path()) + L"terminals.json";
    if (!FileExists(site))
        return {Level::kProblem, L"the terminal simulator, with no site file, so it finds no terminal",
                L"Put the terminal vendor's HwDev.dll there instead; the simulator belongs to tests."};
    // Its first use reads the same site file it would read in a host (reading only).
    using LoadErrorFunction = int(WINAPI*)(wchar_t*, int);
    auto loadError = reinterpret_cast<LoadErrorFunction>(reinterpret_cast<void*>(library.Export("HwSim_LoadError")));
    std::vector<wchar_t> error(2048);
    int length = loadError ? loadError(error.data(), static_cast<int>(error.size())) : 0;
    if (length > 0)
        return {Level::kProblem,
                L"the terminal simulator, and its site file cannot be used: " +
                    std::wstring(error.data(), std::min<size_t>(length, error.size() - 1)),
                L"Correct the site file, or copy terminals.json from the package's simulator folder again."};
    return {Level::kWarning,
            L"THE TERMINAL SIMULATOR, not the vendor's library: this PC sees only the simulated terminals of " + site,
            L"On a PC meant for real terminals, put the terminal vendor's HwDev.dll in its place and remove terminals.json."};
}

class Examination {
public:
    explicit Examination(const std::wstring& dllPath) : given_(dllPath.empty() ? L"" : FullPath(dllPath)) {}

    std::vector<Finding> Run()
    {
        const bool progId = static_cast<bool>(Key(HKEY_CLASSES_ROOT, kProgId));
        const bool server = static_cast<bool>(Key(HKEY_CLASSES_ROOT, L"CLSID\\" + GuidText(CLSID_clsMachine)));
        CheckWindows();
        const std::wstring file = progId || server ? CheckRegistration() : CheckUnregistered();
        CheckInstaller();
        CheckVendorLibrary(FolderOf(file));
        CheckHostClasses();
        CheckRegistryView();
        return std::move(findings_);
    }

private:
    void Add(Level level, const wchar_t* check, std::wstring found, std::wstring fix = {})
    {
        findings_.push_back({check, level, std::move(found), std::move(fix)});
    }
    void Ok(const wchar_t* check, std::wstring found) { Add(Level::kOk, check, std::move(found)); }
    void Problem(const wchar_t* check, std::wstring found, std::wstring fix)
    {
        Add(Level::kProblem, check, std::move(found), std::move(fix));
    }
    // Checks that would only repeat a cause already reported.
    void NotChecked(std::initializer_list<const wchar_t*> checks, const std::wstring& because)
    {
        for (const wchar_t* check : checks) Add(Level::kNotChecked, check, because);
    }

    // Nothing registered: with Kavro.manifest beside the DLL that is an
    // installation for use without registration; else the one cause.
    std::wstring CheckUnregistered()
    {
        std::wstring file = given_;
        if (file.empty()) {
            std::wstring beside = FolderOf(ModulePath(nullptr)) + L"Kavro.dll";
            if (FileExists(beside)) file = beside;
        }
        const std::wstring manifest = FolderOf(file) + L"Kavro.manifest";
        if (file.empty() || !FileExists(manifest)) {
            Problem(L"ProgID",
                    L"Kavro.clsMachine is not registered, nor its class, and there is no Kavro.manifest beside " +
                        (file.empty() ? std::wstring(L"Kavro.dll") : file),
                    kRegister);
            const std::wstring because = L"Kavro.dll is not registered";
            NotChecked({L"server", L"threading model"}, because);
            if (given_.empty()) NotChecked({L"32-bit DLL", L"version"}, because);
            else CheckFile(given_);
            NotChecked({L"type library", L"creation"}, because);
            return file;
        }
        Ok(L"ProgID", L"Kavro.clsMachine is not registered: " + manifest +
                          L" declares it for hosts whose manifest depends on Kavro (use without registration)");
        std::wstring wrong = ManifestMistakes(manifest, NameOf(file));
        std::optional<ActivatedManifest> context;
        if (wrong.empty()) {
            context.emplace(manifest);
            if (context->error())
                wrong = L"is not accepted as an activation context: " + Explained(HRESULT_FROM_WIN32(context->error()));
        }
        if (!wrong.empty())
            Problem(L"manifest", manifest + L" " + wrong,
                    L"Replace Kavro.manifest with the one of the release package, beside Kavro.dll.");
        else
            Ok(L"manifest", manifest + L" declares " + NameOf(file) + L" with clsMachine " + GuidText(CLSID_clsMachine) +
                                L", Kavro.clsMachine, the type library " + GuidText(LIBID_Kavro) + L" and Apartment");
        bool dll = CheckFile(file);
        if (!wrong.empty() || !dll) {
            NotChecked({L"type library", L"creation"}, wrong.empty() ? L"the DLL is not usable" : L"the manifest is wrong");
            return file;
        }
        ComPtr<ITypeLib> library;
        HRESULT hr = LoadRegTypeLib(LIBID_Kavro, kTypeLibMajor, kTypeLibMinor, LOCALE_NEUTRAL, &library);
        if (FAILED(hr)) Problem(L"type library", L"Kavro 1.0 cannot be loaded through Kavro.manifest: " + Explained(hr),
                                L"Replace Kavro.manifest and Kavro.dll with those of the release package.");
        else Ok(L"type library", L"Kavro 1.0 loads through Kavro.manifest");
        CheckCreation(file, L"by its ProgID through Kavro.manifest");
        return file;
    }

    // What the manifest gets wrong about clsMachine in the DLL named dllName; empty when nothing.
    static std::wstring ManifestMistakes(const std::wstring& manifest, const std::wstring& dllName)
    {
        std::optional<std::vector<DeclaredClass>> classes = DeclaredClasses(manifest);
        if (!classes) return L"cannot be read";
        const std::wstring clsid = GuidText(CLSID_clsMachine);
        const DeclaredClass* ours = nullptr;
        std::wstring others;
        for (const DeclaredClass& c : *classes) {
            if (SameText(c.clsid, clsid)) ours = &c;
            else others += (others.empty() ? L"" : L", ") + c.clsid;
        }
        if (!ours)
            return others.empty() ? L"declares no COM class, so not clsMachine " + clsid
                                  : L"declares the class " + others + L", not clsMachine " + clsid;
        std::wstring wrong;
        auto expect = [&](const wchar_t* what, const std::wstring& got, const std::wstring& want) {
            if (!SameText(got, want))
                wrong += (wrong.empty() ? L"" : L", ") + std::wstring(what) + L" \"" + got + L"\" instead of \"" + want + L"\"";
        };
        expect(L"the file", ours->file, dllName);
        expect(L"the ProgID", ours->progid, kProgId);
        expect(L"the type library", ours->tlbid, GuidText(LIBID_Kavro));
        expect(L"the threading model", ours->threadingModel, L"Apartment");
        return wrong.empty() ? wrong : L"declares clsMachine with " + wrong;
    }

    // The ProgID, the class's server entry and threading model, the file and
    // the type library; answers the file to look at: the one --dll names,
    // else the registered one.
    std::wstring CheckRegistration()
    {
        const std::wstring clsid = GuidText(CLSID_clsMachine);
        std::optional<std::wstring> named = ClassesText(std::wstring(kProgId) + L"\\CLSID");
        bool creatable = named && SameText(*named, clsid);
        if (!named) Problem(L"ProgID", L"Kavro.clsMachine is not registered", kRegisterAgain);
        else if (!creatable)
            Problem(L"ProgID", L"Kavro.clsMachine names the class " + *named + L", not " + clsid, kRegisterAgain);
        else Ok(L"ProgID", L"Kavro.clsMachine names the class " + clsid);

        const std::wstring server = L"CLSID\\" + clsid + L"\\InprocServer32";
        std::optional<std::wstring> registered = ClassesText(server);
        std::wstring file = given_;
        if (!registered) {
            Problem(L"server", L"the class " + clsid + L" has no in-process server entry", kRegisterAgain);
            NotChecked({L"threading model"}, L"there is no server entry");
            creatable = false;
        } else {
            if (!FileExists(*registered)) {
                Problem(L"server", L"the registered file " + *registered + L" does not exist", kRegisterAgain);
                creatable = false;
            } else if (!given_.empty() && !SamePath(given_, *registered)) {
                Problem(L"server", L"the registration names " + *registered + L", not " + given_,
                        L"Run install.cmd from the folder of " + given_ + L" to register that copy instead.");
                creatable = false;
            } else {
                Ok(L"server", *registered);
                file = *registered;
            }
            std::optional<std::wstring> model = ClassesText(server, L"ThreadingModel");
            if (model && SameText(*model, L"Apartment")) Ok(L"threading model", L"Apartment");
            else {
                Problem(L"threading model",
                        model ? L"\"" + *model + L"\" instead of \"Apartment\"" : std::wstring(L"none registered"),
                        kRegisterAgain);
                creatable = false;
            }
        }
        if (file.empty())
            NotChecked({L"32-bit DLL", L"version"},
                       registered ? L"the registered file does not exist" : L"there is no registered file to check");
        else creatable = CheckFile(file) && creatable;
        CheckTypeLibrary(registered.value_or(L""));
        if (creatable) CheckCreation(file, L"by its ProgID");
        else NotChecked({L"creation"}, L"it would fail for the problems above");
        return file.empty() ? registered.value_or(L"") : file;
    }

    // False when the file is no 32-bit DLL: nothing can be created from it.
    bool CheckFile(const std::wstring& file)
    {
        std::wstring unreadable;
        std::optional<ImageFile> image = ReadImageFile(file, &unreadable);
        std::wstring wrong = !image ? unreadable
                             : image->machine != IMAGE_FILE_MACHINE_I386 ? L"is a " + Bitness(image->machine) + L" file"
                             : !image->dll ? std::wstring(L"is a program, not a DLL")
                                           : std::wstring();
        if (!wrong.empty()) {
            Problem(L"32-bit DLL", file + L" " + wrong, kReplaceComponent);
            NotChecked({L"version"}, L"the file is not a 32-bit DLL");
            return false;
        }
        Ok(L"32-bit DLL", file + L" is a 32-bit Windows DLL");
        std::wstring original = OriginalFilename(file), version = FileVersion(file);
        if (!SameText(original, L"Kavro.dll"))
            Problem(L"version", original.empty() ? std::wstring(L"the file has no version block of Kavro.dll")
                                                 : L"the file calls itself " + original + L", not Kavro.dll",
                    kReplaceComponent);
        else Ok(L"version", L"Kavro.dll " + version);
        return true;
    }

    void CheckTypeLibrary(const std::wstring& serverFile)
    {
        const std::wstring key = L"TypeLib\\" + GuidText(LIBID_Kavro) + L"\\" + std::to_wstring(kTypeLibMajor) + L"." +
                                 std::to_wstring(kTypeLibMinor) + L"\\0\\win32";
        std::optional<std::wstring> path = ClassesText(key);
        if (!path) {
            Problem(L"type library", L"the type library Kavro 1.0 is not registered", kRegisterAgain);
            return;
        }
        if (!FileExists(*path)) {
            // The library lives in Kavro.dll: a missing server file is already reported.
            if (!serverFile.empty() && SamePath(*path, serverFile))
                NotChecked({L"type library"}, L"it is in the missing file " + *path);
            else
                Problem(L"type library", L"the registered type library file " + *path + L" does not exist", kRegisterAgain);
            return;
        }
        ComPtr<ITypeLib> library;
        HRESULT hr = LoadRegTypeLib(LIBID_Kavro, kTypeLibMajor, kTypeLibMinor, LOCALE_NEUTRAL, &library);
        if (FAILED(hr)) Problem(L"type library", L"Kavro 1.0 in " + *path + L" cannot be loaded: " + Explained(hr),
                                kRegisterAgain);
        else Ok(L"type library", L"Kavro 1.0 in " + *path);
    }

    // Made only when every check it depends on passed, so a failure here is
    // the file's own: say what loading it gives.
    void CheckCreation(const std::wstring& file, const std::wstring& how)
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
                Problem(L"creation", failed + file + L" does not load: " + WhyNotLoaded(file, error),
                        L"Put back the Kavro.dll of the release package; if that one fails the same way, this Windows "
                        L"lacks the system DLL named here.");
            else
                Problem(L"creation", failed + file + L" loads but does not create the class", kReplaceComponent);
            return;
        }
        const std::wstring loaded = ModuleOf(object.Get());
        ComPtr<IMachine> machine;
        ComPtr<IDispatch> byDefault;
        HRESULT hrMachine = object.As(&machine);
        HRESULT hrDefault = object->QueryInterface(IID__clsMachine, reinterpret_cast<void**>(byDefault.GetAddressOf()));
        if (loaded.empty() || !SamePath(loaded, file))
            Problem(L"creation",
                    L"Kavro.clsMachine " + how + L" was created from " + (loaded.empty() ? L"an unknown module" : loaded) +
                        L", not from " + file,
                    L"Unregister the other copy (uninstall.cmd in its folder), then run install.cmd beside " + file + L".");
        else if (FAILED(hrMachine) || FAILED(hrDefault))
            Problem(L"creation",
                    L"Kavro.clsMachine was created from " + loaded + L", but IMachine answers " + Explained(hrMachine) +
                        L" and _clsMachine " + Explained(hrDefault),
                    L"Register Kavro.dll again (threading model Apartment) and make sure the host is installed.");
        else Ok(L"creation", L"Kavro.clsMachine created " + how + L" from " + loaded + L"; IMachine and _clsMachine answer");
    }

    // As the component finds it: the standard search, then beside the
    // component. Named with the folder it came from, and whether a host
    // finds it there too.
    void CheckVendorLibrary(const std::wstring& componentFolder)
    {
        const std::wstring beside = componentFolder.empty() ? std::wstring() : componentFolder + L"HwDev.dll";
        DWORD error = 0;
        HMODULE module = LoadLibraryW(L"HwDev.dll");
        if (!module && FileExists(beside)) module = LoadFile(beside, error);
        if (!module) {
            CheckUnloadableVendorLibrary(beside);
            return;
        }
        LoadedLibrary library(module);
        const std::wstring path = library.Path();
        Verdict kind{Level::kOk, L"the vendor's library", L""};
        if (library.Export("HwSim_Reset")) kind = SimulatorVerdict(library);
        else {
            std::wstring missing;
            for (const char* name : kVendorEntryPoints)
                if (!library.Export(name)) missing += (missing.empty() ? L"" : L", ") + FromUtf8(name);
            if (!missing.empty())
                kind = {Level::kProblem, L"the vendor's library, but it lacks " + missing,
                        L"Use the HwDev.dll of the terminal vendor's SDK that Kavro.dll was made for."};
        }
        // Only beside Kavro.dll and in the system folders does every host find
        // it; the current folder, PATH and kavro.exe's folder are this process's.
        const std::wstring folder = FolderOf(path);
        std::wstring where;
        if (!componentFolder.empty() && SamePath(folder, componentFolder)) where = L"beside Kavro.dll";
        else if (SamePath(folder, SystemGiven(GetSystemDirectoryW)) || SamePath(folder, SystemGiven(GetWindowsDirectoryW)) ||
                 SamePath(folder, SystemGiven(GetSystemWow64DirectoryW)))
            where = L"in the system folders";
        else {
            const std::wstring fix = L"Copy it beside Kavro.dll" +
                                     (componentFolder.empty() ? std::wstring() : L" in " + componentFolder) +
                                     L", where every host finds it.";
            where = SamePath(folder, FolderOf(ModulePath(nullptr)))
                        ? L"from kavro.exe's folder, where a host does not look unless it lives there too"
                        : L"from " + folder + L", by the search of the current folder or PATH: a host started elsewhere "
                          L"does not find it";
            kind = {Level::kProblem, kind.found, kind.level == Level::kOk ? fix : fix + L" " + kind.fix};
        }
        Add(kind.level, L"HwDev.dll", path + L", " + where + L": " + kind.found, kind.fix);
    }

    // Not loaded: not there, or there but unusable, and why.
    void CheckUnloadableVendorLibrary(const std::wstring& beside)
    {
        std::wstring file = FileExists(beside) ? beside : std::wstring();
        if (file.empty()) {
            wchar_t found[MAX_PATH * 4];
            DWORD n = SearchPathW(nullptr, L"HwDev.dll", nullptr, MAX_PATH * 4, found, nullptr);
            if (n > 0 && n < MAX_PATH * 4) file.assign(found, n);
        }
        if (file.empty()) {
            Problem(L"HwDev.dll",
                    L"not found: neither beside Kavro.dll" + (beside.empty() ? std::wstring() : L" (" + beside + L")") +
                        L" nor in the system folders, the current folder or on PATH",
                    L"Copy the terminal vendor's HwDev.dll beside Kavro.dll.");
            return;
        }
        DWORD error = 0;
        LoadedLibrary retried(LoadFile(file, error));
        std::optional<ImageFile> image = ReadImageFile(file);
        std::wstring fix = image && image->machine != IMAGE_FILE_MACHINE_I386
                               ? L"Use the 32-bit (x86) HwDev.dll of the terminal vendor's SDK: Kavro.dll is 32-bit."
                           : error == ERROR_MOD_NOT_FOUND
                               ? L"Copy the DLLs named here beside HwDev.dll (they come with the vendor's SDK)."
                               : L"Replace it with the terminal vendor's HwDev.dll.";
        Problem(L"HwDev.dll", file + L" is there but does not load: " + WhyNotLoaded(file, error), fix);
    }

    // The Windows it runs on, as the system reports it (RtlGetVersion, which
    // no compatibility setting changes): supported are Windows 7 SP1 to 11
    // and Server 2008 R2 to 2022, 32- and 64-bit.
    void CheckWindows()
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
            Add(Level::kNotChecked, L"Windows", L"the system does not say which Windows it is");
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
        if (supported) Ok(L"Windows", found);
        else Problem(L"Windows", found + L": older than Windows 7 SP1 and Windows Server 2008 R2 SP1, which Kavro needs",
                     L"Install the service pack (Windows 7 SP1), or use a PC with a supported Windows.");
    }

    // Checked in Installer.cpp: an installation by Kavro's MSI, and whether
    // the registration is still the one it wrote.
    void CheckInstaller()
    {
        const InstallerFinding f = ExamineInstaller(ClassesText(L"CLSID\\" + GuidText(CLSID_clsMachine) + L"\\InprocServer32"));
        Add(f.problem ? Level::kProblem : Level::kOk, L"installer", f.found, f.fix);
    }

    void CheckHostClasses()
    {
        std::wstring failed;
        for (const auto& [clsid, name] : {std::pair{&CLSID_clsMachineItem, L"clsMachineItem"},
                                          std::pair{&CLSID_clsCardData, L"clsCardData"}}) {
            ComPtr<IUnknown> object;
            HRESULT hr = CoCreateInstance(*clsid, nullptr, CLSCTX_INPROC_SERVER, IID_IUnknown,
                                          reinterpret_cast<void**>(object.GetAddressOf()));
            if (FAILED(hr)) failed += (failed.empty() ? L"" : L"; ") + std::wstring(name) + L": " + Explained(hr);
        }
        if (failed.empty()) Ok(L"host classes", L"clsMachineItem and clsCardData can be created");
        else Problem(L"host classes", L"the host's classes cannot be created (" + failed + L"), so discovery and downloads fail",
                     L"Install or repair the attendance application: it registers these classes.");
    }

public:
    // The registration for 64-bit hosts, as a 64-bit host meets it.
    std::vector<Finding> RunX64()
    {
        if (!HasSixtyFourBitSide()) {
            NotChecked({L"x64 ProgID", L"x64 surrogate", L"x64 interfaces", L"x64 creation"},
                       L"this Windows (or Wine prefix) is 32-bit: it has no 64-bit side, so no 64-bit host runs here");
            return std::move(findings_);
        }
        const std::wstring clsid = GuidText(CLSID_clsMachine);
        size_t problems = 0;
        auto problem = [&](const wchar_t* check, std::wstring found) {
            Problem(check, std::move(found), kRegisterX64);
            ++problems;
        };
        std::optional<std::wstring> named = Key(HKEY_CLASSES_ROOT, std::wstring(kProgId) + L"\\CLSID", KEY_WOW64_64KEY).Text(nullptr);
        if (named && SameText(*named, clsid)) Ok(L"x64 ProgID", L"64-bit programs resolve Kavro.clsMachine to " + clsid);
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
            Ok(L"x64 surrogate", L"AppID " + *appId + L" runs Kavro.dll in " +
                                     (surrogate->empty() ? L"the system's 32-bit dllhost.exe" : *surrogate));

        std::wstring unknown, known;
        for (const CrossingInterface& crossing : CrossingInterfaces()) {
            std::wstring why = WhyNotMarshaled(InterfaceKey(*crossing.iid));
            if (why.empty()) known += (known.empty() ? L"" : L", ") + std::wstring(crossing.name);
            else unknown += (unknown.empty() ? L"" : L"; ") + std::wstring(crossing.name) + L" (" + crossing.owner + L"'s): " + why;
        }
        if (unknown.empty()) Ok(L"x64 interfaces", known + L" marshal for 64-bit programs");
        else problem(L"x64 interfaces", L"64-bit programs cannot marshal " + unknown);

        if (problems) {
            NotChecked({L"x64 creation"}, L"the registration above is not complete");
            return std::move(findings_);
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
            Ok(L"x64 creation", L"Kavro.clsMachine was created in a surrogate process (CLSCTX_LOCAL_SERVER) and "
                                L"IMachine reached through marshaling");
        else
            Problem(L"x64 creation", L"creating Kavro.clsMachine in a surrogate process failed: " + Explained(hr),
                    L"Run kavro doctor (without --x64) and mend its problems first; then install.cmd /x64hosts.");
        return std::move(findings_);
    }

private:
    // Empty when the 64-bit view has the interface with a proxy and, for the
    // universal marshaler, a type library whose file is there.
    static std::wstring WhyNotMarshaled(const std::wstring& key)
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

    // Only on 64-bit Windows, where a 32-bit component has a registry view of its own.
    void CheckRegistryView()
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
        if (in32) Ok(L"registry view", std::wstring(L"64-bit Windows: registered in the 32-bit view (WOW6432Node). ") + kNote);
        else if (in64)
            Problem(L"registry view", std::wstring(L"64-bit Windows: registered only in the 64-bit view. ") + kNote,
                    L"Register with the 32-bit %SystemRoot%\\SysWOW64\\regsvr32.exe (install.cmd does).");
    }

    const std::wstring given_;
    std::vector<Finding> findings_;
};

} // namespace

int Doctor(const std::wstring& dllPath, bool json, bool x64)
{
    if (!dllPath.empty() && !FileExists(FullPath(dllPath))) Fail(kBadArguments, L"--dll: there is no file " + dllPath);
    std::vector<Finding> findings = x64 ? Examination(dllPath).RunX64() : Examination(dllPath).Run();
    size_t problems = 0;
    std::wstring warnings;  // their checks' names
    size_t warned = 0;
    for (const Finding& f : findings) {
        problems += f.level == Level::kProblem ? 1 : 0;
        if (f.level == Level::kWarning) warnings += (warned++ ? L", " : L"") + f.check;
    }

    if (json) {
        Json out = Json::array();
        for (const Finding& f : findings) {
            // "ok" stays what it was for readers that know no levels: nothing to correct.
            bool ok = f.level == Level::kOk || f.level == Level::kWarning;
            out.push_back({{"check", Utf8(f.check)}, {"ok", ok}, {"found", Utf8(f.found)}, {"fix", Utf8(f.fix)},
                           {"level", Utf8(LevelName(f.level))}});
        }
        Print(FromUtf8(out.dump(2)) + L"\n");
    } else {
        std::wstring text;
        for (const Finding& f : findings) {
            std::wstring level = LevelName(f.level);
            level.resize(std::max<size_t>(level.size() + 2, 9), L' ');
            text += level + f.check + L": " + f.found + (f.fix.empty() ? L"" : L". Fix: " + f.fix) + L"\n";
        }
        const std::wstring warningCount = std::to_wstring(warned) + (warned == 1 ? L" warning (" : L" warnings (") + warnings + L")";
        if (problems == 0 && warned == 0) text += L"Everything is in order.\n";
        else if (problems == 0) text += L"No problem found, but " + warningCount + L": read it before you leave.\n";
        else text += std::to_wstring(problems) + (problems == 1 ? L" problem" : L" problems") + L" found" +
                     (warned ? L", and " + warningCount : L"") + L".\n";
        Print(text);
    }
    return problems == 0 ? kSuccess : kAnsweredFalse;
}

} // namespace kavro::tool
