// What the host pays for the component itself: a creation by ProgID, one call
// and the release; and the DLL's size and imports.
#include "Bench.h"

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

template <class T>
const T* At(HMODULE module, DWORD rva)
{
    return reinterpret_cast<const T*>(reinterpret_cast<const BYTE*>(module) + rva);
}

} // namespace

Figure CreateCallRelease(const Sizes& sizes)
{
    std::vector<double> perCycle;
    for (int r = 0; r < sizes.repetitions; ++r) perCycle.push_back(RunCycles(sizes.cycles));
    return {"create_call_release_us", "create by ProgID, funcWriteCard, release", Median(perCycle), 0, 0, true};
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
