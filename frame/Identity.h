// The component's COM identity.
#pragma once
#include <windows.h>

namespace kavro {

inline constexpr wchar_t kProgId[] = L"Kavro.clsMachine";
inline constexpr wchar_t kClassName[] = L"clsMachine";
inline constexpr wchar_t kComponentName[] = L"Kavro";  // also the message box caption

// {DB425C72-B048-4AF3-9725-AC921FE68FBF}
inline constexpr CLSID CLSID_clsMachine =
    {0xDB425C72, 0xB048, 0x4AF3, {0x97, 0x25, 0xAC, 0x92, 0x1F, 0xE6, 0x8F, 0xBF}};
// {8019CF74-6456-4B75-A9C3-26219B358518}
inline constexpr IID IID__clsMachine =
    {0x8019CF74, 0x6456, 0x4B75, {0xA9, 0xC3, 0x26, 0x21, 0x9B, 0x35, 0x85, 0x18}};
// {50D19EF4-52E5-4F52-8ECF-84F4FA6F66E1}, version 1.0
inline constexpr GUID LIBID_Kavro =
    {0x50D19EF4, 0x52E5, 0x4F52, {0x8E, 0xCF, 0x84, 0xF4, 0xFA, 0x6F, 0x66, 0xE1}};
inline constexpr WORD kTypeLibMajor = 1;
inline constexpr WORD kTypeLibMinor = 0;

} // namespace kavro
