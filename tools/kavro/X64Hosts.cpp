#include "X64Hosts.h"

#include <oleauto.h>

#include <ZebMachine.h>
#include <frame/Identity.h>

#include "Component.h"
#include "Console.h"
#include "Failure.h"
#include "frame/Owners.h"

namespace kavro::tool {
namespace {

// Marks a key this registration wrote: only such keys are removed again, so
// an interface its owner registered in the 64-bit view stays as it was.
const wchar_t kMark[] = L"KavroX64Hosts";
const wchar_t kMarkText[] = L"written by kavro register --x64-hosts; kavro unregister removes it";

std::wstring GuidText(REFGUID guid)
{
    wchar_t text[39];
    StringFromGUID2(guid, text, 39);
    return text;
}

std::wstring ClassKey() { return L"CLSID\\" + GuidText(CLSID_clsMachine); }

[[noreturn]] void RegistryFailed(LSTATUS status, const std::wstring& what)
{
    std::wstring text = L"The registry refused to " + what + L" (" + HresultText(HRESULT_FROM_WIN32(status)) + L")";
    if (status == ERROR_ACCESS_DENIED) text += std::wstring(L": run it from ") + kElevatedPrompt;
    Fail(kCallFailed, text);
}

// Opens HKEY_CLASSES_ROOT\path; false when there is no such key.
bool Open(const std::wstring& path, REGSAM access, RegKey& key)
{
    LSTATUS status = RegOpenKeyExW(HKEY_CLASSES_ROOT, path.c_str(), 0, access, key.out());
    if (status == ERROR_FILE_NOT_FOUND) return false;
    if (status != ERROR_SUCCESS) RegistryFailed(status, L"open HKEY_CLASSES_ROOT\\" + path);
    return true;
}

// Whether the 64-bit view's key carries our mark, asked with read rights
// only: the platform's own keys (ADO's, owned by TrustedInstaller) may be
// read but not written even by administrators, and one we may not even read
// is not ours either.
bool Marked(const std::wstring& path)
{
    RegKey key;
    LSTATUS status = RegOpenKeyExW(HKEY_CLASSES_ROOT, path.c_str(), 0, KEY_QUERY_VALUE | KEY_WOW64_64KEY, key.out());
    if (status == ERROR_FILE_NOT_FOUND || status == ERROR_ACCESS_DENIED) return false;
    if (status != ERROR_SUCCESS) RegistryFailed(status, L"open HKEY_CLASSES_ROOT\\" + path + L" (64-bit view)");
    return RegQueryValueExW(key.get(), kMark, nullptr, nullptr, nullptr, nullptr) == ERROR_SUCCESS;
}

bool Exists(const std::wstring& path, REGSAM view)
{
    RegKey key;
    return Open(path, KEY_QUERY_VALUE | view, key);
}

void SetText(HKEY key, const wchar_t* name, const std::wstring& value, const std::wstring& where)
{
    LSTATUS status = RegSetValueExW(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                                    static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t)));
    if (status != ERROR_SUCCESS) RegistryFailed(status, L"write " + where);
}

// The AppID whose DllSurrogate names the system's surrogate (an empty value),
// and the class's AppID value naming it.
void AddSurrogate()
{
    RegKey appId;
    LSTATUS status = RegCreateKeyExW(HKEY_CLASSES_ROOT, AppIdKey().c_str(), 0, nullptr, 0, KEY_SET_VALUE, nullptr,
                                     appId.out(), nullptr);
    if (status != ERROR_SUCCESS) RegistryFailed(status, L"create HKEY_CLASSES_ROOT\\" + AppIdKey());
    SetText(appId.get(), nullptr, kProgId, AppIdKey());
    SetText(appId.get(), L"DllSurrogate", L"", AppIdKey());
    RegKey classKey;
    if (!Open(ClassKey(), KEY_SET_VALUE, classKey))
        Fail(kCallFailed, L"Kavro.clsMachine's class is not registered: HKEY_CLASSES_ROOT\\" + ClassKey() + L" is missing");
    SetText(classKey.get(), L"AppID", GuidText(CLSID_clsMachine), ClassKey());
    Print(L"Surrogate: AppID " + GuidText(CLSID_clsMachine) +
          L" with DllSurrogate, so 64-bit hosts get Kavro.dll in a 32-bit dllhost.exe\n");
}

// A key 64-bit programs need: the ProgID, and the interfaces a call carries.
struct SixtyFourBitKey {
    std::wstring path;  // under HKEY_CLASSES_ROOT
    std::wstring kind;  // "ProgID", "interface"
    std::wstring name;
    std::wstring owner;
};

// Windows shares HKEY_CLASSES_ROOT's ProgIDs between the views, but Wine's
// msiexec writes a 32-bit package's ProgID into the 32-bit view only.
std::vector<SixtyFourBitKey> SixtyFourBitKeys()
{
    std::vector<SixtyFourBitKey> keys = {{kProgId, L"ProgID", kProgId, L"Kavro.dll"}};
    for (const CrossingInterface& crossing : CrossingInterfaces())
        keys.push_back({InterfaceKey(*crossing.iid), L"interface", crossing.name, crossing.owner});
    return keys;
}

std::wstring Titled(std::wstring kind)
{
    if (!kind.empty()) kind[0] = towupper(kind[0]);
    return kind;
}

// A key known in the 32-bit view only is copied into the 64-bit view.
// Answers a line for the output.
std::wstring AddTo64BitView(const SixtyFourBitKey& key)
{
    const std::wstring& path = key.path;
    const std::wstring name = Titled(key.kind) + L" " + key.name + L" (" + key.owner + L")";
    if (Exists(path, KEY_WOW64_64KEY)) return name + L": already known to 64-bit programs\n";
    RegKey source;
    if (!Open(path, KEY_READ | KEY_WOW64_32KEY, source))
        return name + L": NOT REGISTERED at all; 64-bit hosts cannot pass it until its owner's "
                      L"library is registered, then run this again\n";
    RegKey target;
    LSTATUS status = RegCreateKeyExW(HKEY_CLASSES_ROOT, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS | KEY_WOW64_64KEY,
                                     nullptr, target.out(), nullptr);
    if (status == ERROR_SUCCESS) status = RegCopyTreeW(source.get(), nullptr, target.get());
    if (status == ERROR_SUCCESS) status = RegSetValueExW(target.get(), kMark, 0, REG_SZ,
                                                         reinterpret_cast<const BYTE*>(kMarkText), sizeof kMarkText);
    if (status == ERROR_ACCESS_DENIED)
        Fail(kCallFailed, L"The registry refused to write HKEY_CLASSES_ROOT\\" + path + L" (64-bit view) for " + name +
                              L" although this runs as administrator: its owner protects that key. Register " +
                              key.owner + L"'s own library for 64-bit programs (its 64-bit setup), or have an "
                              L"administrator give Administrators full control of that key (regedit, Permissions), "
                              L"then run this again. Kavro's own registration was made; 64-bit hosts cannot use it yet");
    if (status != ERROR_SUCCESS) RegistryFailed(status, L"copy HKEY_CLASSES_ROOT\\" + path + L" into the 64-bit view");
    return name + L": copied into the 64-bit view\n";
}

// Removes what AddSurrogate and AddTo64BitView wrote; answers whether there was any.
bool RemoveSurrogate()
{
    bool removed = false;
    if (Exists(AppIdKey(), 0)) {
        LSTATUS status = RegDeleteTreeW(HKEY_CLASSES_ROOT, AppIdKey().c_str());
        if (status != ERROR_SUCCESS) RegistryFailed(status, L"remove HKEY_CLASSES_ROOT\\" + AppIdKey());
        status = RegDeleteKeyW(HKEY_CLASSES_ROOT, AppIdKey().c_str());
        if (status != ERROR_SUCCESS && status != ERROR_FILE_NOT_FOUND)
            RegistryFailed(status, L"remove HKEY_CLASSES_ROOT\\" + AppIdKey());
        Print(L"Removed the surrogate's AppID " + GuidText(CLSID_clsMachine) + L"\n");
        removed = true;
    }
    RegKey classKey;
    if (Open(ClassKey(), KEY_QUERY_VALUE | KEY_SET_VALUE, classKey)) {
        LSTATUS status = RegDeleteValueW(classKey.get(), L"AppID");
        if (status == ERROR_SUCCESS) removed = true;
        else if (status != ERROR_FILE_NOT_FOUND) RegistryFailed(status, L"remove the AppID value of " + ClassKey());
    }
    if (!HasSixtyFourBitSide()) return removed;
    for (const SixtyFourBitKey& copied : SixtyFourBitKeys()) {
        const std::wstring& path = copied.path;
        if (!Marked(path)) continue;
        // Delete rights only on a key of ours.
        RegKey key;
        if (!Open(path, DELETE | KEY_ENUMERATE_SUB_KEYS | KEY_QUERY_VALUE | KEY_SET_VALUE | KEY_WOW64_64KEY, key))
            continue;
        LSTATUS status = RegDeleteTreeW(key.get(), nullptr);
        if (status == ERROR_SUCCESS) status = RegDeleteKeyExW(HKEY_CLASSES_ROOT, path.c_str(), KEY_WOW64_64KEY, 0);
        if (status != ERROR_SUCCESS) RegistryFailed(status, L"remove HKEY_CLASSES_ROOT\\" + path + L" (64-bit view)");
        Print(L"Removed " + copied.kind + L" " + copied.name + L" from the 64-bit view\n");
        removed = true;
    }
    return removed;
}

bool FileThere(const std::wstring& path)
{
    DWORD attributes = GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY);
}

std::wstring BesideProgram()
{
    const std::wstring program = ModulePath();
    return program.substr(0, program.find_last_of(L"\\/") + 1) + L"Kavro.dll";
}

// Calls DllRegisterServer or DllUnregisterServer of the file.
void CallServer(const std::wstring& path, const char* entry, const wchar_t* doing)
{
    if (!FileThere(path)) Fail(kBadArguments, L"There is no file " + path + L" to " + doing);
    HMODULE module = LoadLibraryExW(path.c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
    if (!module)
        Fail(kCallFailed, path + L" does not load (" + HresultText(HRESULT_FROM_WIN32(GetLastError())) +
                              L"); kavro doctor --dll \"" + path + L"\" says why");
    auto call = reinterpret_cast<HRESULT(STDAPICALLTYPE*)()>(reinterpret_cast<void*>(GetProcAddress(module, entry)));
    HRESULT hr = call ? call() : HRESULT_FROM_WIN32(ERROR_PROC_NOT_FOUND);
    FreeLibrary(module);
    if (FAILED(hr)) {
        std::wstring text = L"Kavro.dll could not " + std::wstring(doing) + L" (" + std::wstring(entry, entry + strlen(entry)) +
                            L" answered " + HresultText(hr) + L")";
        if (hr == E_ACCESSDENIED || hr == HRESULT_FROM_WIN32(ERROR_ACCESS_DENIED) || hr == TYPE_E_REGISTRYACCESS)
            text += std::wstring(L": run it from ") + kElevatedPrompt;
        Fail(kCallFailed, text);
    }
}

// Whether this process may change what every program on the PC sees: its
// token is elevated ("Run as administrator", or an administrator where UAC is
// off). Where the system cannot say, the registry itself answers later.
bool Elevated()
{
    HANDLE token = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) return true;
    TOKEN_ELEVATION elevation{};
    DWORD size = 0;
    const bool known = GetTokenInformation(token, TokenElevation, &elevation, sizeof elevation, &size);
    CloseHandle(token);
    return !known || elevation.TokenIsElevated;
}

// Before anything is written: registration is for every program on the PC.
void RequireAdministrator(const wchar_t* command)
{
    if (Elevated()) return;
    Fail(kNotElevated, std::wstring(L"kavro ") + command +
                           L" changes the registration for every program on this PC and needs an administrator. "
                           L"Open " + kElevatedPrompt + L", go to this folder and run it again. Nothing was changed");
}

} // namespace

const std::vector<CrossingInterface>& CrossingInterfaces()
{
    static const std::vector<CrossingInterface> all = {
        {&IID__clsMachine, L"_clsMachine", L"Kavro.dll"},
        {&IID_IMachine, L"IMachine", L"the host application"},
        {&IID__Collection, L"_Collection", L"the Visual Basic runtime"},
        {&IID__Recordset, L"_Recordset", L"ADO"},
        {&IID_Fields, L"Fields", L"ADO"},
        {&IID_Field, L"Field", L"ADO"},
    };
    return all;
}

std::wstring InterfaceKey(REFIID iid) { return L"Interface\\" + GuidText(iid); }
std::wstring AppIdKey() { return L"AppID\\" + GuidText(CLSID_clsMachine); }

QuietChildren::QuietChildren()
    : nul_(CreateFileW(L"NUL", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                       OPEN_EXISTING, 0, nullptr))
{
    for (int i = 0; i < 3; ++i) {
        saved_[i] = GetStdHandle(kStreams[i]);
        if (nul_ != INVALID_HANDLE_VALUE) SetStdHandle(kStreams[i], nul_);
    }
}

QuietChildren::~QuietChildren()
{
    for (int i = 0; i < 3; ++i) SetStdHandle(kStreams[i], saved_[i]);
    if (nul_ != INVALID_HANDLE_VALUE) CloseHandle(nul_);
}

bool HasSixtyFourBitSide()
{
    BOOL wow64 = FALSE;
    return IsWow64Process(GetCurrentProcess(), &wow64) && wow64;
}

int Register(const std::wstring& dllPath, Registering what)
{
    RequireAdministrator(L"register");
    if (what != Registering::kComponent && !HasSixtyFourBitSide())
        Fail(kBadArguments, L"--x64-hosts: this Windows (or Wine prefix) is 32-bit and runs no 64-bit host; "
                            L"register without --x64-hosts. Nothing was registered");
    if (what != Registering::kX64HostsOnly) {
        const std::wstring path = dllPath.empty() ? BesideProgram() : FullPath(dllPath);
        CallServer(path, "DllRegisterServer", L"be registered");
        Print(L"Registered " + path + L": hosts on this PC can create Kavro.clsMachine\n");
    }
    if (what == Registering::kComponent) return kSuccess;
    AddSurrogate();
    bool missing = false;
    for (const SixtyFourBitKey& key : SixtyFourBitKeys()) {
        std::wstring line = AddTo64BitView(key);
        missing = missing || line.find(L"NOT REGISTERED") != std::wstring::npos;
        Print(line);
    }
    Print(missing ? L"64-bit hosts can create Kavro.clsMachine, but not every call will reach it: see above\n"
                  : L"64-bit hosts can now use Kavro.clsMachine. Check with: kavro doctor --x64\n");
    return missing ? kAnsweredFalse : kSuccess;
}

int Unregister(const std::wstring& dllPath, bool x64HostsOnly)
{
    RequireAdministrator(L"unregister");
    if (!RemoveSurrogate()) Print(L"There was no registration for 64-bit hosts\n");
    if (x64HostsOnly) return kSuccess;
    std::wstring path = dllPath.empty() ? std::wstring() : FullPath(dllPath);
    if (path.empty()) {
        wchar_t registered[MAX_PATH * 4];
        DWORD bytes = sizeof registered;
        if (RegGetValueW(HKEY_CLASSES_ROOT, (ClassKey() + L"\\InprocServer32").c_str(), nullptr, RRF_RT_REG_SZ, nullptr,
                         registered, &bytes) == ERROR_SUCCESS)
            path = registered;
        else path = BesideProgram();
    }
    CallServer(path, "DllUnregisterServer", L"be unregistered");
    Print(L"Unregistered " + path + L"\n");
    return kSuccess;
}

} // namespace kavro::tool
