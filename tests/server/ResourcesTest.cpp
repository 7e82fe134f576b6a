// The resources in Kavro.dll as installers, Explorer and the host read them:
// the version block, the IID of the default interface and the type library.
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "ServerSupport.h"
#include "frame/Identity.h"
#include "TestEnv.h"

namespace kavro::test {
namespace {

class VersionBlock : public ComTest {
protected:
    void SetUp() override
    {
        ComTest::SetUp();
        DWORD ignored = 0;
        DWORD size = GetFileVersionInfoSizeW(KavroPath().c_str(), &ignored);
        ASSERT_GT(size, 0u) << "Kavro.dll has a version block";
        block_.resize(size);
        ASSERT_TRUE(GetFileVersionInfoW(KavroPath().c_str(), 0, size, block_.data()));
    }

    // The value at path, or nullptr with length 0 when there is none.
    const void* Query(const std::wstring& path, UINT* length)
    {
        void* value = nullptr;
        *length = 0;
        if (!VerQueryValueW(block_.data(), path.c_str(), &value, length)) return nullptr;
        return value;
    }

    std::wstring Text(const wchar_t* name)
    {
        UINT length = 0;
        auto value = static_cast<const wchar_t*>(Query(std::wstring(L"\\StringFileInfo\\080404b0\\") + name, &length));
        return value ? std::wstring(value) : L"(missing)";
    }

    std::vector<std::uint8_t> block_;
};

TEST_F(VersionBlock, FixedPartNamesA32BitDllVersion8_70_0_4)
{
    UINT length = 0;
    auto fixed = static_cast<const VS_FIXEDFILEINFO*>(Query(L"\\", &length));
    ASSERT_NE(fixed, nullptr);
    ASSERT_EQ(length, sizeof(VS_FIXEDFILEINFO));
    EXPECT_EQ(fixed->dwSignature, 0xFEEF04BDu);
    EXPECT_EQ(fixed->dwFileVersionMS, MAKELONG(70, 8));
    EXPECT_EQ(fixed->dwFileVersionLS, MAKELONG(4, 0));
    EXPECT_EQ(fixed->dwProductVersionMS, MAKELONG(70, 8));
    EXPECT_EQ(fixed->dwProductVersionLS, MAKELONG(4, 0));
    EXPECT_EQ(fixed->dwFileFlags & fixed->dwFileFlagsMask, 0u) << "no file flags";
    EXPECT_EQ(fixed->dwFileOS, static_cast<DWORD>(VOS__WINDOWS32));
    EXPECT_EQ(fixed->dwFileType, static_cast<DWORD>(VFT_DLL));
}

TEST_F(VersionBlock, OneStringTableForChineseInUnicode)
{
    EXPECT_EQ(Text(L"ProductName"), L"Kavro");
    EXPECT_EQ(Text(L"FileVersion"), L"8.70.0004");
    EXPECT_EQ(Text(L"ProductVersion"), L"8.70.0004");
    EXPECT_EQ(Text(L"InternalName"), L"Kavro");
    EXPECT_EQ(Text(L"OriginalFilename"), L"Kavro.dll");
    EXPECT_NE(Text(L"CompanyName"), L"(missing)");

    UINT length = 0;
    EXPECT_EQ(Query(L"\\StringFileInfo\\040904b0\\ProductName", &length), nullptr) << "no English table";

    auto translation = static_cast<const WORD*>(Query(L"\\VarFileInfo\\Translation", &length));
    ASSERT_NE(translation, nullptr);
    ASSERT_EQ(length, 4u) << "one language and code page pair";
    EXPECT_EQ(translation[0], 0x0804);
    EXPECT_EQ(translation[1], 0x04B0);
}

TEST_F(VersionBlock, MarksTheDllAsSelfRegistering)
{
    UINT length = 0;
    auto value = static_cast<const wchar_t*>(Query(L"\\StringFileInfo\\080404b0\\OLESelfRegister", &length));
    ASSERT_NE(value, nullptr) << "OLESelfRegister is present";
    EXPECT_TRUE(length == 0 || value[0] == L'\0') << "and empty; length " << length;
}

BOOL CALLBACK CollectLanguage(HMODULE, LPCWSTR, LPCWSTR, WORD language, LONG_PTR list)
{
    reinterpret_cast<std::vector<WORD>*>(list)->push_back(language);
    return TRUE;
}

std::vector<WORD> LanguagesOf(const wchar_t* type, WORD id)
{
    std::vector<WORD> languages;
    EnumResourceLanguagesW(KavroModule(), type, MAKEINTRESOURCEW(id), CollectLanguage,
                           reinterpret_cast<LONG_PTR>(&languages));
    return languages;
}

// The bytes of a resource in Kavro.dll that exists in the neutral language only.
std::vector<std::uint8_t> NeutralResource(const wchar_t* type, WORD id)
{
    if (LanguagesOf(type, id) != std::vector<WORD>{MAKELANGID(LANG_NEUTRAL, SUBLANG_NEUTRAL)}) return {};
    HMODULE module = KavroModule();
    HRSRC found = FindResourceW(module, MAKEINTRESOURCEW(id), type);
    if (!found) return {};
    auto data = static_cast<const std::uint8_t*>(LockResource(LoadResource(module, found)));
    return std::vector<std::uint8_t>(data, data + SizeofResource(module, found));
}

template <typename T>
T At(const std::vector<std::uint8_t>& bytes, size_t offset)
{
    T value{};
    std::memcpy(&value, bytes.data() + offset, sizeof(T));
    return value;
}

class Resources : public ComTest {};

TEST_F(Resources, InterfaceIdResourceIsLengthThenTheGuid)
{
    ASSERT_NE(KavroModule(), nullptr);
    std::vector<std::uint8_t> bytes = NeutralResource(L"_IID_CLSMACHINE", 1);
    ASSERT_EQ(bytes.size(), 20u) << "_IID_CLSMACHINE 1, in the neutral language only";
    EXPECT_EQ(At<std::uint32_t>(bytes, 0), 16u);
    EXPECT_EQ(std::memcmp(bytes.data() + 4, &IID__clsMachine, 16), 0) << "the IID of _clsMachine";
    const std::uint8_t layout[16] = {0x74, 0xCF, 0x19, 0x80, 0x56, 0x64, 0x75, 0x4B,
                                     0xA9, 0xC3, 0x26, 0x21, 0x9B, 0x35, 0x85, 0x18};
    EXPECT_EQ(std::memcmp(bytes.data() + 4, layout, 16), 0) << "in the standard GUID byte layout";
}

TEST_F(Resources, TypeLibraryHeaderCarriesLocale0409)
{
    ASSERT_NE(KavroModule(), nullptr);
    std::vector<std::uint8_t> bytes = NeutralResource(L"TYPELIB", 1);
    ASSERT_GE(bytes.size(), 20u) << "TYPELIB 1, in the neutral language only";
    EXPECT_EQ(std::memcmp(bytes.data(), "MSFT", 4), 0);
    EXPECT_EQ(At<std::uint32_t>(bytes, 12), 0x0409u) << "the header's locale";
    EXPECT_EQ(At<std::uint32_t>(bytes, 16), 0u) << "the locale the library is registered under";
}

TEST_F(Resources, TypeLibraryNamesTheLibrariesItRefersToByFileNameOnly)
{
    std::vector<std::uint8_t> bytes = NeutralResource(L"TYPELIB", 1);
    const std::string text(bytes.begin(), bytes.end());
    for (const std::string name : {"stdole2.tlb", "StdCollection.tlb", "Ado26.tlb", "ZebMachine.tlb"}) {
        size_t at = text.find(name);
        ASSERT_NE(at, std::string::npos) << name;
        EXPECT_NE(text[at - 1], '\\') << name << " is stored with a folder, so a build path ships";
    }
}

} // namespace
} // namespace kavro::test
