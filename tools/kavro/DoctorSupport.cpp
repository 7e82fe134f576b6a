// What the doctor's checks share: the findings, fix texts and small helpers.
#include "DoctorChecks.h"

#include <objbase.h>

#include "Component.h"
#include "Console.h"
#include "Failure.h"

namespace kavro::tool::doctor {

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

std::optional<std::wstring> Key::Text(const wchar_t* name) const
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

std::optional<std::wstring> ClassesText(const std::wstring& key, const wchar_t* name)
{
    return Key(HKEY_CLASSES_ROOT, key).Text(name);
}

// A library loaded by its full path; error: why not, when it is not.
HMODULE LoadFile(const std::wstring& path, DWORD& error)
{
    HMODULE module = LoadLibraryExW(path.c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
    error = module ? 0 : GetLastError();
    return module;
}

std::wstring LoadedLibrary::Path() const { return ModulePath(module_); }

} // namespace kavro::tool::doctor
