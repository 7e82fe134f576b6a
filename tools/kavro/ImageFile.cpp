#include "ImageFile.h"

#include <cstring>

#include "Console.h"
#include "Failure.h"
#include "Handle.h"

namespace kavro::tool {
namespace {

// Larger files are not DLLs a host would load; the limit keeps a stray file from filling memory.
constexpr DWORD kMaxBytes = 256u << 20;

std::optional<std::vector<char>> ReadWhole(const std::wstring& path, std::wstring* error)
{
    Handle file(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING, 0,
                            nullptr));
    LARGE_INTEGER size{};
    if (!file || !GetFileSizeEx(file.get(), &size)) {
        if (error) *error = L"cannot be read (" + HresultText(HRESULT_FROM_WIN32(GetLastError())) + L")";
        return std::nullopt;
    }
    if (size.QuadPart > kMaxBytes) {
        if (error) *error = L"is too large for a DLL";
        return std::nullopt;
    }
    std::vector<char> bytes(static_cast<size_t>(size.QuadPart));
    DWORD read = 0;
    if (!bytes.empty() && (!ReadFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &read, nullptr) ||
                           read != bytes.size())) {
        if (error) *error = L"cannot be read (" + HresultText(HRESULT_FROM_WIN32(GetLastError())) + L")";
        return std::nullopt;
    }
    return bytes;
}

// Bounds-checked reads out of the file's bytes.
class Bytes {
public:
    explicit Bytes(const std::vector<char>& bytes) : bytes_(bytes) {}
    template <typename T> bool Read(size_t offset, T& out) const
    {
        if (offset > bytes_.size() || bytes_.size() - offset < sizeof(T)) return false;
        std::memcpy(&out, bytes_.data() + offset, sizeof(T));
        return true;
    }
    std::optional<std::string> Text(size_t offset) const
    {
        if (offset >= bytes_.size()) return std::nullopt;
        size_t end = offset;
        while (end < bytes_.size() && end - offset < MAX_PATH && bytes_[end]) ++end;
        if (end == bytes_.size() || bytes_[end]) return std::nullopt;
        return std::string(bytes_.data() + offset, end - offset);
    }

private:
    const std::vector<char>& bytes_;
};

// The import table's DLL names; an image too damaged to say gives none.
std::vector<std::wstring> Imports(const Bytes& file, size_t ntOffset, const IMAGE_FILE_HEADER& header)
{
    size_t optional = ntOffset + 4 + sizeof(IMAGE_FILE_HEADER);
    WORD magic = 0;
    IMAGE_DATA_DIRECTORY imports{};
    if (!file.Read(optional, magic)) return {};
    if (magic == IMAGE_NT_OPTIONAL_HDR32_MAGIC) {
        IMAGE_OPTIONAL_HEADER32 h;
        if (!file.Read(optional, h) || h.NumberOfRvaAndSizes <= IMAGE_DIRECTORY_ENTRY_IMPORT) return {};
        imports = h.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
    } else if (magic == IMAGE_NT_OPTIONAL_HDR64_MAGIC) {
        IMAGE_OPTIONAL_HEADER64 h;
        if (!file.Read(optional, h) || h.NumberOfRvaAndSizes <= IMAGE_DIRECTORY_ENTRY_IMPORT) return {};
        imports = h.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
    } else return {};
    if (imports.VirtualAddress == 0) return {};

    std::vector<IMAGE_SECTION_HEADER> sections;
    size_t at = optional + header.SizeOfOptionalHeader;
    for (WORD i = 0; i < header.NumberOfSections; ++i, at += sizeof(IMAGE_SECTION_HEADER)) {
        IMAGE_SECTION_HEADER s;
        if (!file.Read(at, s)) return {};
        sections.push_back(s);
    }
    auto offsetOf = [&](DWORD rva) -> std::optional<size_t> {
        for (const IMAGE_SECTION_HEADER& s : sections) {
            DWORD size = s.SizeOfRawData > s.Misc.VirtualSize && s.Misc.VirtualSize ? s.Misc.VirtualSize : s.SizeOfRawData;
            if (rva >= s.VirtualAddress && rva - s.VirtualAddress < size)
                return static_cast<size_t>(s.PointerToRawData) + (rva - s.VirtualAddress);
        }
        return std::nullopt;
    };

    std::vector<std::wstring> names;
    std::optional<size_t> descriptor = offsetOf(imports.VirtualAddress);
    for (int i = 0; descriptor && i < 4096; ++i, *descriptor += sizeof(IMAGE_IMPORT_DESCRIPTOR)) {
        IMAGE_IMPORT_DESCRIPTOR d;
        if (!file.Read(*descriptor, d) || d.Name == 0) break;
        std::optional<size_t> name = offsetOf(d.Name);
        std::optional<std::string> text = name ? file.Text(*name) : std::nullopt;
        if (text) names.push_back(FromUtf8(*text));
    }
    return names;
}

// A DLL the loader would find for an importer in folder: there, or by the standard search.
bool Findable(const std::wstring& folder, const std::wstring& name)
{
    // API sets are resolved by the loader itself, not found as files.
    if (_wcsnicmp(name.c_str(), L"api-ms-", 7) == 0 || _wcsnicmp(name.c_str(), L"ext-ms-", 7) == 0) return true;
    DWORD attributes = GetFileAttributesW((folder + name).c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY)) return true;
    HMODULE module = LoadLibraryExW(name.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
    if (!module) return false;
    FreeLibrary(module);
    return true;
}

std::wstring SystemMessage(DWORD error)
{
    wchar_t* text = nullptr;
    DWORD n = FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                             nullptr, error, 0, reinterpret_cast<wchar_t*>(&text), 0, nullptr);
    std::wstring message = n && text ? std::wstring(text, n) : std::wstring();
    LocalFree(text);
    while (!message.empty() && (message.back() == L'\n' || message.back() == L'\r' || message.back() == L'.'))
        message.pop_back();
    return message;
}

} // namespace

std::optional<ImageFile> ReadImageFile(const std::wstring& path, std::wstring* error)
{
    std::optional<std::vector<char>> bytes = ReadWhole(path, error);
    if (!bytes) return std::nullopt;
    return ParseImage(*bytes, error);
}

std::optional<ImageFile> ParseImage(const std::vector<char>& bytes, std::wstring* error)
{
    Bytes file(bytes);
    IMAGE_DOS_HEADER dos;
    DWORD signature = 0;
    IMAGE_FILE_HEADER header;
    if (!file.Read(0, dos) || dos.e_magic != IMAGE_DOS_SIGNATURE || dos.e_lfanew <= 0 ||
        !file.Read(dos.e_lfanew, signature) || signature != IMAGE_NT_SIGNATURE ||
        !file.Read(dos.e_lfanew + 4, header)) {
        if (error) *error = L"is not a Windows program file";
        return std::nullopt;
    }
    ImageFile image;
    image.machine = header.Machine;
    image.dll = (header.Characteristics & IMAGE_FILE_DLL) != 0;
    image.imports = Imports(file, static_cast<size_t>(dos.e_lfanew), header);
    return image;
}

std::wstring Bitness(WORD machine)
{
    switch (machine) {
    case IMAGE_FILE_MACHINE_I386: return L"32-bit (x86)";
    case IMAGE_FILE_MACHINE_AMD64: return L"64-bit (x64)";
    case IMAGE_FILE_MACHINE_ARM64: return L"64-bit (ARM64)";
    case IMAGE_FILE_MACHINE_IA64: return L"64-bit (Itanium)";
    default: return L"non-x86 (machine " + std::to_wstring(machine) + L")";
    }
}

std::wstring WhyNotLoaded(const std::wstring& path, DWORD error)
{
    std::wstring unreadable;
    std::optional<ImageFile> image = ReadImageFile(path, &unreadable);
    if (!image) return L"it " + unreadable;
    if (image->machine != IMAGE_FILE_MACHINE_I386)
        return L"it is a " + Bitness(image->machine) + L" file, and only a 32-bit (x86) DLL loads into Kavro.dll's "
               L"32-bit process (error " + std::to_wstring(error) + L")";
    if (!image->dll) return L"it is a program, not a DLL";
    if (error == ERROR_MOD_NOT_FOUND) {
        const std::wstring folder = path.substr(0, path.find_last_of(L"\\/") + 1);
        std::wstring missing;
        for (const std::wstring& name : image->imports)
            if (!Findable(folder, name)) missing += (missing.empty() ? L"" : L", ") + name;
        return missing.empty() ? std::wstring(L"a DLL it depends on (or one of theirs) cannot be found (error 126)")
                               : L"it depends on " + missing + L", which cannot be found beside it, in the system "
                                 L"folders or on PATH (error 126)";
    }
    std::wstring message = SystemMessage(error);
    return L"loading it fails with error " + std::to_wstring(error) + (message.empty() ? L"" : L": " + message);
}

} // namespace kavro::tool
