// kavro doctor's checks, a file for each group: the registration
// (DoctorRegistration.cpp), use without registration through Kavro.manifest
// (DoctorManifest.cpp), the vendor's library (DoctorVendor.cpp), the system
// around them (DoctorSystem.cpp) and the registration for 64-bit hosts
// (DoctorX64.cpp). Each check adds what it found to the findings; Doctor.cpp
// runs them and assembles the report.
#pragma once
#include <windows.h>

#include <initializer_list>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "X64Hosts.h"

namespace kavro::tool::doctor {

enum class Level { kOk, kWarning, kProblem, kNotChecked };

const wchar_t* LevelName(Level level);

struct Finding {
    std::wstring check;
    Level level;
    std::wstring found;
    std::wstring fix;  // one sentence; empty when ok or not checked
};

// What the checks found, in the order they found it.
class Findings {
public:
    void Add(Level level, const wchar_t* check, std::wstring found, std::wstring fix = {})
    {
        all_.push_back({check, level, std::move(found), std::move(fix)});
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
    const std::vector<Finding>& all() const { return all_; }

private:
    std::vector<Finding> all_;
};

// The fix texts that send someone to register.
extern const std::wstring kRegister, kRegisterAgain, kRegisterX64;
inline constexpr wchar_t kReplaceComponent[] = L"Replace it with the Kavro.dll of the release package.";

std::wstring GuidText(REFGUID guid);
bool SameText(const std::wstring& a, const std::wstring& b);
bool SamePath(const std::wstring& a, const std::wstring& b);
bool FileExists(const std::wstring& path);
std::wstring FolderOf(const std::wstring& path);  // with its backslash; empty for a bare name
std::wstring NameOf(const std::wstring& path);
// What a few HRESULTs a host meets mean, in words.
std::wstring Explained(HRESULT hr);

// A registry key opened for reading values, closed with this.
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
    std::optional<std::wstring> Text(const wchar_t* name) const;

private:
    HKEY key_ = nullptr;
};

std::optional<std::wstring> ClassesText(const std::wstring& key, const wchar_t* name = nullptr);

// A library loaded by its full path; error: why not, when it is not.
HMODULE LoadFile(const std::wstring& path, DWORD& error);

// A library loaded for a look at its exports, and let go again.
class LoadedLibrary {
public:
    explicit LoadedLibrary(HMODULE module) : module_(module) {}
    LoadedLibrary(const LoadedLibrary&) = delete;
    LoadedLibrary& operator=(const LoadedLibrary&) = delete;
    ~LoadedLibrary() { if (module_) FreeLibrary(module_); }
    HMODULE get() const { return module_; }
    FARPROC Export(const char* name) const { return GetProcAddress(module_, name); }
    std::wstring Path() const;

private:
    HMODULE module_;
};

// The Windows it runs on; the host's classes; on 64-bit Windows, the registry view.
void CheckWindows(Findings& f);
void CheckHostClasses(Findings& f);
void CheckRegistryView(Findings& f);

// The ProgID, the class's server entry and threading model, the file and the
// type library, and creation; answers the component's file: the one given
// (--dll), else the registered one.
std::wstring CheckRegistration(Findings& f, const std::wstring& given);
// Nothing registered: with Kavro.manifest beside the DLL, an installation for
// use without registration; answers the component's file, if any.
std::wstring CheckUnregistered(Findings& f, const std::wstring& given);
// Shared by both: false when the file is no 32-bit DLL.
bool CheckFile(Findings& f, const std::wstring& file);
void CheckCreation(Findings& f, const std::wstring& file, const std::wstring& how);

// An installation by Kavro's MSI, and whether the registration is still the
// one it wrote (Installer.cpp).
void CheckInstaller(Findings& f);

// HwDev.dll as the component finds it beside componentFolder.
void CheckVendorLibrary(Findings& f, const std::wstring& componentFolder);

// The registration for 64-bit hosts, as a 64-bit host meets it.
void CheckX64(Findings& f);

} // namespace kavro::tool::doctor
