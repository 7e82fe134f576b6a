// A Windows program file as its headers describe it, read from the file
// rather than loaded: a DLL that cannot load (the other bitness, a DLL it
// needs missing) can still say why.
#pragma once
#include <windows.h>

#include <optional>
#include <string>
#include <vector>

namespace kavro::tool {

struct ImageFile {
    WORD machine = 0;      // IMAGE_FILE_HEADER.Machine
    bool dll = false;
    std::vector<std::wstring> imports;  // the DLLs its import table names
};

// nullopt: not a Windows program file (or unreadable; error says which).
std::optional<ImageFile> ReadImageFile(const std::wstring& path, std::wstring* error = nullptr);
// The same from a file's bytes; any bytes at all give an image or an error.
std::optional<ImageFile> ParseImage(const std::vector<char>& bytes, std::wstring* error = nullptr);

// "32-bit (x86)", "64-bit (x64)", ...
std::wstring Bitness(WORD machine);

// Why the DLL at path does not load, in words, for the error LoadLibrary gave.
std::wstring WhyNotLoaded(const std::wstring& path, DWORD error);

} // namespace kavro::tool
