// What the host pays for the component itself: a creation by ProgID, one call
// and the release; and the DLL's size and imports.
#include "Bench.h"

#include <Ado26.h>

#include "frame/Identity.h"

namespace bench {
namespace {

double RunCycles(int cycles)
{
    Bstr ip(L"10.0.0.1");
    double start = Now();
    for (int i = 0; i < cycles; ++i) {
        ComPtr<IMachine> machine = CreateMachine();
        BSTR message = nullptr;
        VARIANT_BOOL result = VARIANT_TRUE;
        HRESULT hr = machine->funcWriteCard(VARIANT_FALSE, ip.get(), 0, 1, nullptr, &message, &result);
        if (FAILED(hr) || result != VARIANT_FALSE) Fail("funcWriteCard did not answer false", hr);
    }
    return (Now() - start) / cycles;
}

// The same cycle on a class of another in-process server: the host's
// Collection, created by its ProgID and asked for its count.
double RunHostCycles(int cycles)
{
    double start = Now();
    for (int i = 0; i < cycles; ++i) {
        ComPtr<_Collection> collection = CreateCollection();
        LONG count = -1;
        if (FAILED(collection->Count(&count)) || count != 0) Fail("a new Collection is not empty");
    }
    return (Now() - start) / cycles;
}

// funcWriteCard calls (no terminal is involved) per second on one object.
double RunCalls(IMachine& machine, int calls)
{
    Bstr ip(L"10.0.0.1");
    double start = Now();
    for (int i = 0; i < calls; ++i) {
        BSTR message = nullptr;
        VARIANT_BOOL result = VARIANT_TRUE;
        HRESULT hr = machine.funcWriteCard(VARIANT_FALSE, ip.get(), 0, 1, nullptr, &message, &result);
        SysFreeString(message);
        if (FAILED(hr) || result != VARIANT_FALSE) Fail("funcWriteCard did not answer false", hr);
    }
    return (Now() - start) / calls;
}

// The class runs in the system's surrogate while this lives: its AppID with
// DllSurrogate, as kavro register --x64-hosts writes it, taken away again
// unless it was there before.
class SurrogateRegistration {
public:
    SurrogateRegistration()
    {
        wchar_t clsid[39];
        StringFromGUID2(kavro::CLSID_clsMachine, clsid, 39);
        appIdKey_ = std::wstring(L"AppID\\") + clsid;
        classKey_ = std::wstring(L"CLSID\\") + clsid;
        wchar_t value[64];
        DWORD bytes = sizeof value;
        had_ = RegGetValueW(HKEY_CLASSES_ROOT, classKey_.c_str(), L"AppID", RRF_RT_REG_SZ, nullptr, value, &bytes) ==
               ERROR_SUCCESS;
        if (had_) return;
        const DWORD clsidBytes = static_cast<DWORD>(sizeof clsid);
        if (RegSetKeyValueW(HKEY_CLASSES_ROOT, appIdKey_.c_str(), L"DllSurrogate", REG_SZ, L"", sizeof(wchar_t)) ||
            RegSetKeyValueW(HKEY_CLASSES_ROOT, classKey_.c_str(), L"AppID", REG_SZ, clsid, clsidBytes))
            Fail("the surrogate's AppID cannot be written");
    }
    SurrogateRegistration(const SurrogateRegistration&) = delete;
    SurrogateRegistration& operator=(const SurrogateRegistration&) = delete;
    ~SurrogateRegistration()
    {
        if (had_) return;
        RegDeleteKeyValueW(HKEY_CLASSES_ROOT, classKey_.c_str(), L"AppID");
        RegDeleteTreeW(HKEY_CLASSES_ROOT, appIdKey_.c_str());
        RegDeleteKeyW(HKEY_CLASSES_ROOT, appIdKey_.c_str());
    }

private:
    std::wstring appIdKey_, classKey_;
    bool had_ = false;
};

// The type libraries the surrogate marshals IMachine's calls from, registered
// as on a Windows PC: the host's by its installation, the platform's
// (Collection, ADO) by Windows itself. Where a test run left the platform's
// unregistered, they are registered from the stand-ins beside this program;
// anything still missing is named.
void RequireMarshalingLibraries()
{
    struct Library {
        const GUID* libid;
        WORD major, minor;
        const char* name;
        const wchar_t* standIn;  // beside this program; none for the host's
    };
    const Library libraries[] = {
        {&LIBID_ZebMachine, 1, 1, "the host's ZebMachine 1.1 (regsvr32 ZebMachine.dll)", nullptr},
        {&LIBID_VBA, 6, 0, "the Collection library VBA 6.0 (StdCollection.tlb)", L"StdCollection.tlb"},
        {&LIBID_ADODB, 2, 6, "ADO 2.6 (Ado26.tlb)", L"Ado26.tlb"},
    };
    const std::wstring folder = ProgramFolder();
    std::string missing;
    for (const Library& library : libraries) {
        ComPtr<ITypeLib> loaded;
        if (SUCCEEDED(LoadRegTypeLib(*library.libid, library.major, library.minor, LOCALE_NEUTRAL, &loaded))) continue;
        if (library.standIn &&
            SUCCEEDED(LoadTypeLibEx((folder + library.standIn).c_str(), REGKIND_REGISTER, loaded.ReleaseAndGetAddressOf())))
            continue;
        missing += (missing.empty() ? "" : "; ") + std::string(library.name);
    }
    if (!missing.empty())
        Fail("the surrogate cannot marshal IMachine, since these type libraries are not registered: " + missing);
}

template <class T>
const T* At(HMODULE module, DWORD rva)
{
    return reinterpret_cast<const T*>(reinterpret_cast<const BYTE*>(module) + rva);
}

} // namespace

Figure CreateCallRelease(const Sizes& sizes)
{
    Figure f = Compare("create_call_release_us", "create by ProgID, funcWriteCard, release", sizes.repetitions,
                       [&] { return RunCycles(sizes.cycles); }, [&] { return RunHostCycles(sizes.cycles); });
    f.perCall = true;
    return f;
}

Figure SurrogateCall(const Sizes& sizes)
{
    RequireMarshalingLibraries();
    const SurrogateRegistration registration;
    ComPtr<IMachine> inProcess = CreateMachine();
    ComPtr<IMachine> outOfProcess;
    // Wine waits a bounded time for a surrogate to come up, which a loaded
    // emulated machine can exceed (0x800703E6): tried three times.
    HRESULT hr = E_FAIL;
    for (int attempt = 0; attempt < 3 && FAILED(hr); ++attempt)
        hr = CoCreateInstance(kavro::CLSID_clsMachine, nullptr, CLSCTX_LOCAL_SERVER, IID_IMachine,
                              reinterpret_cast<void**>(outOfProcess.ReleaseAndGetAddressOf()));
    if (FAILED(hr)) Fail("Kavro.clsMachine cannot be created in a surrogate process", hr);
    Figure f = Compare("surrogate_call_us", "funcWriteCard through the surrogate", sizes.repetitions,
                       [&] { return RunCalls(*outOfProcess.Get(), sizes.surrogateCalls); },
                       [&] { return RunCalls(*inProcess.Get(), sizes.surrogateCalls); });
    f.perCall = true;
    f.ratioInJson = true;
    return f;
}

// Read from the image the process loaded, so the figures are of the DLL the
// host would get through the registry.
ModuleFacts ReadModuleFacts()
{
    ComPtr<IMachine> keepLoaded = CreateMachine();
    HMODULE module = GetModuleHandleW(L"Kavro.dll");
    if (!module) Fail("Kavro.dll is not loaded");
    wchar_t path[MAX_PATH];
    DWORD length = GetModuleFileNameW(module, path, MAX_PATH);
    WIN32_FILE_ATTRIBUTE_DATA file;
    if (!length || length == MAX_PATH || !GetFileAttributesExW(path, GetFileExInfoStandard, &file))
        Fail("Kavro.dll cannot be found on disk");

    ModuleFacts facts;
    facts.bytes = (static_cast<long long>(file.nFileSizeHigh) << 32) | file.nFileSizeLow;
    const auto* dos = At<IMAGE_DOS_HEADER>(module, 0);
    const auto* nt = At<IMAGE_NT_HEADERS32>(module, dos->e_lfanew);
    const IMAGE_DATA_DIRECTORY& imports = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
    if (imports.VirtualAddress == 0) return facts;
    for (const auto* entry = At<IMAGE_IMPORT_DESCRIPTOR>(module, imports.VirtualAddress); entry->Name; ++entry)
        facts.imports.emplace_back(At<char>(module, entry->Name));
    return facts;
}

} // namespace bench
