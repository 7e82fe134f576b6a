// HwDev.dll as the component finds it: the vendor's library or the
// simulator, from which folder, and why one that is there does not load.
#include "DoctorChecks.h"

#include <algorithm>

#include "Component.h"
#include "Console.h"
#include "ImageFile.h"

namespace kavro::tool::doctor {
namespace {

// The entry points the component binds in the vendor's library.
const char* const kVendorEntryPoints[] = {
    "HwDev_IsDevExist",  "HwDev_RecvEmployeeFromDev", "HwDev_FreeEmployeeList", "HwDev_SendEmployeeToDev",
    "HwDev_RecvAllRcdFromDev", "HwDev_FreeRcdList", "HwDev_DelAllRcdOnDev",
};

// A folder the system names, with its backslash; empty when it gives none.
std::wstring SystemGiven(UINT (WINAPI* get)(LPWSTR, UINT))
{
    wchar_t path[MAX_PATH * 4];
    UINT n = get(path, MAX_PATH * 4);
    return n > 0 && n < MAX_PATH * 4 ? std::wstring(path, n) + L"\\" : std::wstring();
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

// Not loaded: not there, or there but unusable, and why.
void CheckUnloadableVendorLibrary(Findings& f, const std::wstring& beside)
{
    std::wstring file = FileExists(beside) ? beside : std::wstring();
    if (file.empty()) {
        wchar_t found[MAX_PATH * 4];
        DWORD n = SearchPathW(nullptr, L"HwDev.dll", nullptr, MAX_PATH * 4, found, nullptr);
        if (n > 0 && n < MAX_PATH * 4) file.assign(found, n);
    }
    if (file.empty()) {
        f.Problem(L"HwDev.dll",
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
    f.Problem(L"HwDev.dll", file + L" is there but does not load: " + WhyNotLoaded(file, error), fix);
}

} // namespace

// As the component finds it: the standard search, then beside the
// component. Named with the folder it came from, and whether a host
// finds it there too.
void CheckVendorLibrary(Findings& f, const std::wstring& componentFolder)
{
    const std::wstring beside = componentFolder.empty() ? std::wstring() : componentFolder + L"HwDev.dll";
    DWORD error = 0;
    HMODULE module = LoadLibraryW(L"HwDev.dll");
    if (!module && FileExists(beside)) module = LoadFile(beside, error);
    if (!module) {
        CheckUnloadableVendorLibrary(f, beside);
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
    f.Add(kind.level, L"HwDev.dll", path + L", " + where + L": " + kind.found, kind.fix);
}

} // namespace kavro::tool::doctor
