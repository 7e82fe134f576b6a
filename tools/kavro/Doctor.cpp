#include "Doctor.h"

#include <windows.h>
#include <objbase.h>
#include <oleauto.h>
#include <wrl/client.h>

#include <optional>
#include <vector>

#include <nlohmann/json.hpp>

#include "Component.h"
#include "Console.h"
#include "Failure.h"
#include "Handle.h"
#include "frame/Identity.h"
#include "frame/Owners.h"

namespace kavro::tool {
namespace {

using Json = nlohmann::ordered_json;

struct Finding {
    std::wstring check;
    bool ok;
    std::wstring found;
    std::wstring fix;  // one sentence; empty when ok
};

const wchar_t kRegister[] =
    L"Run install.cmd as administrator from the folder that holds Kavro.dll (or regsvr32 Kavro.dll there), "
    L"or give the host Kavro.manifest instead (see README.txt).";
const wchar_t kRegisterAgain[] =
    L"Run install.cmd again as administrator from the folder that holds Kavro.dll: it writes the whole registration.";

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

bool SamePath(const std::wstring& a, const std::wstring& b)
{
    return CompareStringOrdinal(FullPath(a).c_str(), -1, FullPath(b).c_str(), -1, TRUE) == CSTR_EQUAL;
}

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

// What a few HRESULTs a host meets mean, in words.
std::wstring Explained(HRESULT hr)
{
    std::wstring text = HresultText(hr);
    switch (hr) {
    case REGDB_E_CLASSNOTREG: return text + L", class not registered: the host reports error 429";
    case CO_E_CLASSSTRING: return text + L", no such ProgID: the host reports error 429";
    case E_NOINTERFACE: return text + L", interface not supported";
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

// A 32-bit (x86) Windows DLL by its headers; else what it is instead.
std::optional<std::wstring> NotA32BitDll(const std::wstring& path)
{
    Handle file(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING, 0,
                            nullptr));
    if (!file) return L"cannot be read (" + HresultText(HRESULT_FROM_WIN32(GetLastError())) + L")";
    IMAGE_DOS_HEADER dos{};
    IMAGE_NT_HEADERS32 nt{};
    DWORD read = 0;
    bool ok = ReadFile(file.get(), &dos, sizeof(dos), &read, nullptr) && read == sizeof(dos) &&
              dos.e_magic == IMAGE_DOS_SIGNATURE && dos.e_lfanew > 0 &&
              SetFilePointer(file.get(), dos.e_lfanew, nullptr, FILE_BEGIN) != INVALID_SET_FILE_POINTER &&
              ReadFile(file.get(), &nt, sizeof(nt), &read, nullptr) && read == sizeof(nt) &&
              nt.Signature == IMAGE_NT_SIGNATURE;
    if (!ok) return std::wstring(L"is not a Windows program file");
    if (nt.FileHeader.Machine == IMAGE_FILE_MACHINE_AMD64) return std::wstring(L"is a 64-bit file");
    if (nt.FileHeader.Machine != IMAGE_FILE_MACHINE_I386) return std::wstring(L"is not built for x86");
    if (!(nt.FileHeader.Characteristics & IMAGE_FILE_DLL)) return std::wstring(L"is a program, not a DLL");
    return std::nullopt;
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
    bool Exports(const char* name) const { return GetProcAddress(module_, name) != nullptr; }
    std::wstring Path() const
    {
        wchar_t path[MAX_PATH * 4];
        DWORD n = GetModuleFileNameW(module_, path, MAX_PATH * 4);
        return std::wstring(path, n < MAX_PATH * 4 ? n : 0);
    }

private:
    HMODULE module_;
};

class Examination {
public:
    explicit Examination(const std::wstring& dllPath) : given_(dllPath.empty() ? L"" : FullPath(dllPath)) {}

    std::vector<Finding> Run()
    {
        const std::wstring file = CheckRegistration();
        if (!file.empty()) CheckFile(file);
        CheckTypeLibrary();
        CheckCreation();
        CheckVendorLibrary(FolderOf(file));
        CheckHostClasses();
        CheckRegistryView();
        return std::move(findings_);
    }

private:
    void Ok(const wchar_t* check, std::wstring found) { findings_.push_back({check, true, std::move(found), L""}); }
    void Problem(const wchar_t* check, std::wstring found, std::wstring fix)
    {
        findings_.push_back({check, false, std::move(found), std::move(fix)});
    }

    // The ProgID, the class's server entry and threading model; answers the
    // file to look at: the one --dll names, else the registered one.
    std::wstring CheckRegistration()
    {
        const std::wstring clsid = GuidText(CLSID_clsMachine);
        std::optional<std::wstring> named = ClassesText(std::wstring(kProgId) + L"\\CLSID");
        if (!named) Problem(L"ProgID", L"Kavro.clsMachine is not registered", kRegister);
        else if (CompareStringOrdinal(named->c_str(), -1, clsid.c_str(), -1, TRUE) != CSTR_EQUAL)
            Problem(L"ProgID", L"Kavro.clsMachine names the class " + *named + L", not " + clsid, kRegisterAgain);
        else Ok(L"ProgID", L"Kavro.clsMachine names the class " + clsid);

        const std::wstring server = L"CLSID\\" + clsid + L"\\InprocServer32";
        std::optional<std::wstring> registered = ClassesText(server);
        if (!registered) {
            Problem(L"server", L"the class " + clsid + L" has no in-process server entry", named ? kRegisterAgain : kRegister);
            return given_;
        }
        std::wstring file = given_;
        if (!FileExists(*registered))
            Problem(L"server", L"the registered file " + *registered + L" does not exist", kRegisterAgain);
        else if (!given_.empty() && !SamePath(given_, *registered))
            Problem(L"server", L"the registration names " + *registered + L", not " + given_,
                    L"Run install.cmd from the folder of " + given_ + L" to register that copy instead.");
        else {
            Ok(L"server", *registered);
            file = *registered;
        }
        std::optional<std::wstring> model = ClassesText(server, L"ThreadingModel");
        if (model && CompareStringOrdinal(model->c_str(), -1, L"Apartment", -1, TRUE) == CSTR_EQUAL)
            Ok(L"threading model", L"Apartment");
        else
            Problem(L"threading model",
                    model ? L"\"" + *model + L"\" instead of \"Apartment\"" : std::wstring(L"none registered"),
                    kRegisterAgain);
        return file;
    }

    void CheckFile(const std::wstring& file)
    {
        if (std::optional<std::wstring> wrong = NotA32BitDll(file)) {
            Problem(L"32-bit DLL", file + L" " + *wrong, L"Replace it with the Kavro.dll of the release package.");
            return;
        }
        Ok(L"32-bit DLL", file + L" is a 32-bit Windows DLL");
        std::wstring original = OriginalFilename(file), version = FileVersion(file);
        if (CompareStringOrdinal(original.c_str(), -1, L"Kavro.dll", -1, TRUE) != CSTR_EQUAL)
            Problem(L"version", original.empty() ? std::wstring(L"the file has no version block of Kavro.dll")
                                                 : L"the file calls itself " + original + L", not Kavro.dll",
                    L"Replace it with the Kavro.dll of the release package.");
        else Ok(L"version", L"Kavro.dll " + version);
    }

    void CheckTypeLibrary()
    {
        const std::wstring key = L"TypeLib\\" + GuidText(LIBID_Kavro) + L"\\" + std::to_wstring(kTypeLibMajor) + L"." +
                                 std::to_wstring(kTypeLibMinor) + L"\\0\\win32";
        std::optional<std::wstring> path = ClassesText(key);
        if (!path) {
            Problem(L"type library", L"the type library Kavro 1.0 is not registered", kRegisterAgain);
            return;
        }
        if (!FileExists(*path)) {
            Problem(L"type library", L"the registered type library file " + *path + L" does not exist", kRegisterAgain);
            return;
        }
        ComPtr<ITypeLib> library;
        HRESULT hr = LoadRegTypeLib(LIBID_Kavro, kTypeLibMajor, kTypeLibMinor, LOCALE_NEUTRAL, &library);
        if (FAILED(hr)) Problem(L"type library", L"Kavro 1.0 in " + *path + L" cannot be loaded: " + Explained(hr),
                                kRegisterAgain);
        else Ok(L"type library", L"Kavro 1.0 in " + *path);
    }

    void CheckCreation()
    {
        CLSID clsid;
        ComPtr<IUnknown> object;
        HRESULT hr = CLSIDFromProgID(kProgId, &clsid);
        if (SUCCEEDED(hr)) hr = CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IID_IUnknown,
                                                 reinterpret_cast<void**>(object.GetAddressOf()));
        if (FAILED(hr)) {
            Problem(L"creation", L"creating Kavro.clsMachine by its ProgID failed: " + Explained(hr),
                    L"Correct the problems above; creation works once the registration is whole.");
            return;
        }
        ComPtr<IMachine> machine;
        ComPtr<IDispatch> byDefault;
        HRESULT hrMachine = object.As(&machine);
        HRESULT hrDefault = object->QueryInterface(IID__clsMachine, reinterpret_cast<void**>(byDefault.GetAddressOf()));
        if (FAILED(hrMachine) || FAILED(hrDefault))
            Problem(L"creation",
                    L"Kavro.clsMachine was created, but IMachine answers " + Explained(hrMachine) +
                        L" and _clsMachine " + Explained(hrDefault),
                    L"Register Kavro.dll again (threading model Apartment) and make sure the host is installed.");
        else Ok(L"creation", L"Kavro.clsMachine created by its ProgID; IMachine and _clsMachine answer");
    }

    // As the component finds it: the standard search from this program's
    // folder, then beside the component.
    void CheckVendorLibrary(const std::wstring& componentFolder)
    {
        HMODULE module = LoadLibraryW(L"HwDev.dll");
        std::wstring how = L"by the standard search from kavro.exe's folder";
        if (!module && !componentFolder.empty()) {
            module = LoadLibraryExW((componentFolder + L"HwDev.dll").c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
            how = L"beside Kavro.dll";
        }
        if (!module) {
            std::wstring where = componentFolder.empty() ? std::wstring() : L" nor beside Kavro.dll in " + componentFolder;
            Problem(L"HwDev.dll", L"not found by the standard search from kavro.exe's folder" + where,
                    L"Copy the terminal vendor's HwDev.dll beside Kavro.dll.");
            return;
        }
        LoadedLibrary library(module);
        const std::wstring path = library.Path();
        if (library.Exports("HwSim_Reset")) {
            wchar_t named[MAX_PATH * 4];
            DWORD n = GetEnvironmentVariableW(L"HWSIM_TERMINALS", named, MAX_PATH * 4);
            std::wstring site = n > 0 && n < MAX_PATH * 4 ? std::wstring(named, n) : FolderOf(path) + L"terminals.json";
            if (FileExists(site))
                Ok(L"HwDev.dll", path + L", " + how + L": the simulator, with the site file " + site +
                                     L" (simulated terminals only)");
            else
                Problem(L"HwDev.dll", path + L", " + how + L": the simulator, with no site file, so it finds no terminal",
                        L"Put the terminal vendor's HwDev.dll there instead; the simulator belongs to tests.");
            return;
        }
        std::wstring missing;
        for (const char* name : kVendorEntryPoints)
            if (!library.Exports(name)) missing += (missing.empty() ? L"" : L", ") + FromUtf8(name);
        if (!missing.empty())
            Problem(L"HwDev.dll", path + L", " + how + L": the vendor's library, but it lacks " + missing,
                    L"Use the HwDev.dll of the terminal vendor's SDK that Kavro.dll was made for.");
        else Ok(L"HwDev.dll", path + L", " + how + L": the vendor's library");
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

int Doctor(const std::wstring& dllPath, bool json)
{
    if (!dllPath.empty() && !FileExists(FullPath(dllPath))) Fail(kBadArguments, L"--dll: there is no file " + dllPath);
    std::vector<Finding> findings = Examination(dllPath).Run();
    size_t problems = 0;
    for (const Finding& f : findings) problems += f.ok ? 0 : 1;

    if (json) {
        Json out = Json::array();
        for (const Finding& f : findings)
            out.push_back({{"check", Utf8(f.check)}, {"ok", f.ok}, {"found", Utf8(f.found)}, {"fix", Utf8(f.fix)}});
        Print(FromUtf8(out.dump(2)) + L"\n");
    } else {
        std::wstring text;
        for (const Finding& f : findings)
            text += (f.ok ? L"ok       " : L"problem  ") + f.check + L": " + f.found + (f.ok ? L"" : L". Fix: " + f.fix) + L"\n";
        text += problems == 0 ? L"Everything is in order.\n"
                              : std::to_wstring(problems) + (problems == 1 ? L" problem" : L" problems") + L" found.\n";
        Print(text);
    }
    return problems == 0 ? kSuccess : kAnsweredFalse;
}

} // namespace kavro::tool
