// Self-registration as an installer does it: regsvr32 in a child process, then
// the registry as COM and the host read it.
#include <algorithm>
#include <iterator>
#include <optional>
#include <set>
#include <string>

#include "ServerSupport.h"
#include "frame/Identity.h"
#include "TestEnv.h"

namespace kavro::test {
namespace {

const std::wstring kProgIdKey = L"Kavro.clsMachine";
const std::wstring kClassKey = L"CLSID\\{DB425C72-B048-4AF3-9725-AC921FE68FBF}";
const std::wstring kTypeLibKey = L"TypeLib\\{50D19EF4-52E5-4F52-8ECF-84F4FA6F66E1}";
const std::wstring kDefaultInterfaceKey = L"Interface\\{8019CF74-6456-4B75-A9C3-26219B358518}";
const std::wstring kLibid = L"{50D19EF4-52E5-4F52-8ECF-84F4FA6F66E1}";

// What the host's own library registered; Kavro.dll must leave it alone.
const std::wstring kHostTypeLibKey = L"TypeLib\\{8412B200-C9E2-4F23-9D1B-BC7C17B52E5A}";
const std::wstring kHostLibid = L"{8412B200-C9E2-4F23-9D1B-BC7C17B52E5A}";
const std::wstring kMachineItemKey = L"CLSID\\{DFA98BB6-7074-4DA5-94CB-7AF25B268D3F}";
const std::wstring kIMachineKey = L"Interface\\{B210B900-D7C7-4EC8-BE54-F8BC903B799D}";

using Keys = std::set<std::wstring>;

// Key names under HKEY_CLASSES_ROOT and under its CLSID, Interface and TypeLib keys.
Keys ClassesKeys()
{
    Keys keys;
    for (const std::wstring parent : {L"", L"CLSID", L"Interface", L"TypeLib"}) {
        HKEY key;
        if (RegOpenKeyExW(HKEY_CLASSES_ROOT, parent.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) continue;
        wchar_t name[256];
        DWORD length = 256;
        for (DWORD i = 0; RegEnumKeyExW(key, i, name, &length, nullptr, nullptr, nullptr, nullptr) == ERROR_SUCCESS;
             ++i, length = 256)
            keys.insert(parent.empty() ? std::wstring(name) : parent + L"\\" + name);
        RegCloseKey(key);
    }
    return keys;
}

Keys Minus(const Keys& a, const Keys& b)
{
    Keys rest;
    std::set_difference(a.begin(), a.end(), b.begin(), b.end(), std::inserter(rest, rest.end()));
    return rest;
}

bool KeyExists(const std::wstring& path)
{
    HKEY key;
    if (RegOpenKeyExW(HKEY_CLASSES_ROOT, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) return false;
    RegCloseKey(key);
    return true;
}

// Those of the keys registration adds that exist now.
Keys OursPresent()
{
    Keys present;
    for (const std::wstring& key : {kProgIdKey, kClassKey, kDefaultInterfaceKey, kTypeLibKey})
        if (KeyExists(key)) present.insert(key);
    return present;
}

std::optional<std::wstring> Value(const std::wstring& path, const wchar_t* name = nullptr)
{
    wchar_t data[1024];
    DWORD size = sizeof(data);
    if (RegGetValueW(HKEY_CLASSES_ROOT, path.c_str(), name, RRF_RT_REG_SZ, nullptr, data, &size) != ERROR_SUCCESS)
        return std::nullopt;
    return std::wstring(data);
}

std::wstring Lower(std::wstring text)
{
    CharLowerBuffW(text.data(), static_cast<DWORD>(text.size()));
    return text;
}

DWORD Regsvr32(const wchar_t* switches)
{
    std::wstring line = L"\"" + SystemProgram(L"regsvr32.exe") + L"\" " + switches + L" \"" + KavroPath() + L"\"";
    return RunProcess(line, BinDir()).exitCode;
}

// Every test starts unregistered and leaves Kavro.dll registered for the tests after it.
class Registration : public ComTest {
protected:
    void SetUp() override
    {
        ComTest::SetUp();
        ASSERT_EQ(Regsvr32(L"/u /s"), 0u) << "regsvr32 /u exit code";
        ASSERT_EQ(OursPresent(), Keys{}) << "left after unregistering";
        unregistered_ = ClassesKeys();
    }
    void TearDown() override
    {
        EXPECT_EQ(Regsvr32(L"/s"), 0u) << "registering again for the tests that follow";
        ComTest::TearDown();
    }

    Keys unregistered_;
};

TEST_F(Registration, AddsExactlyTheProgIdTheClassTheTypeLibraryAndTheDefaultInterface)
{
    ASSERT_EQ(Regsvr32(L"/s"), 0u) << "regsvr32 exit code";
    Keys registered = ClassesKeys();

    EXPECT_EQ(Minus(registered, unregistered_),
              (Keys{kProgIdKey, kClassKey, kDefaultInterfaceKey, kTypeLibKey}));
    EXPECT_EQ(Minus(unregistered_, registered), Keys{}) << "registering removes nothing";
}

TEST_F(Registration, ClassEntriesNameTheDllItsApartmentModelAndTypeLibrary)
{
    ASSERT_EQ(Regsvr32(L"/s"), 0u);

    EXPECT_EQ(Value(kProgIdKey + L"\\CLSID"), L"{DB425C72-B048-4AF3-9725-AC921FE68FBF}");
    EXPECT_EQ(Value(kClassKey + L"\\ProgID"), L"Kavro.clsMachine");
    EXPECT_EQ(Lower(Value(kClassKey + L"\\InprocServer32").value_or(L"")), Lower(KavroPath()))
        << "the full path of the DLL that was registered";
    EXPECT_EQ(Value(kClassKey + L"\\InprocServer32", L"ThreadingModel"), L"Apartment");
    EXPECT_EQ(Value(kClassKey + L"\\TypeLib"), kLibid);
    EXPECT_EQ(Value(kClassKey + L"\\VERSION"), L"1.0");

    CLSID clsid{};
    EXPECT_EQ(Hr{CLSIDFromProgID(L"Kavro.clsMachine", &clsid)}, Hr{S_OK});
    EXPECT_TRUE(IsEqualCLSID(clsid, CLSID_clsMachine)) << "the ProgID resolves to clsMachine";
}

TEST_F(Registration, TypeLibraryIsTheDllItselfUnderLocaleZero)
{
    ASSERT_EQ(Regsvr32(L"/s"), 0u);

    EXPECT_EQ(Value(kTypeLibKey + L"\\1.0"), L"Kavro");
    EXPECT_EQ(Lower(Value(kTypeLibKey + L"\\1.0\\0\\win32").value_or(L"")), Lower(KavroPath()));
    EXPECT_FALSE(KeyExists(kTypeLibKey + L"\\1.0\\409")) << "the header's locale is not the registered one";

    // Registering the library registers _clsMachine for Automation marshalling.
    EXPECT_EQ(Value(kDefaultInterfaceKey), L"_clsMachine");
    EXPECT_EQ(Value(kDefaultInterfaceKey + L"\\ProxyStubClsid32"), L"{00020424-0000-0000-C000-000000000046}");
    EXPECT_EQ(Value(kDefaultInterfaceKey + L"\\TypeLib"), kLibid);
    EXPECT_EQ(Value(kDefaultInterfaceKey + L"\\TypeLib", L"Version"), L"1.0");

    BSTR path = nullptr;
    EXPECT_EQ(Hr{QueryPathOfRegTypeLib(LIBID_Kavro, 1, 0, 0, &path)}, Hr{S_OK});
    SysFreeString(path);
}

TEST_F(Registration, LeavesTheHostsInterfaceToTheHost)
{
    ASSERT_EQ(Regsvr32(L"/s"), 0u);
    EXPECT_EQ(Value(kIMachineKey + L"\\TypeLib"), kHostLibid) << "IMachine stays registered by ZebMachine";

    ASSERT_EQ(Regsvr32(L"/u /s"), 0u);
    EXPECT_EQ(Value(kIMachineKey + L"\\TypeLib"), kHostLibid);
    EXPECT_TRUE(KeyExists(kHostTypeLibKey + L"\\1.1")) << "unregistering Kavro keeps ZebMachine's library";
    EXPECT_TRUE(KeyExists(kMachineItemKey + L"\\InprocServer32")) << "and the host's classes";
}

TEST_F(Registration, UnregisterRemovesAllItWroteAndNothingElse)
{
    ASSERT_EQ(Regsvr32(L"/s"), 0u);
    ASSERT_EQ(Regsvr32(L"/u /s"), 0u) << "regsvr32 /u exit code";

    EXPECT_EQ(OursPresent(), Keys{}) << "left behind";
    Keys after = ClassesKeys();
    EXPECT_EQ(Minus(after, unregistered_), Keys{}) << "left behind";
    EXPECT_EQ(Minus(unregistered_, after), Keys{}) << "removed though not ours";
    BSTR path = nullptr;
    EXPECT_EQ(Hr{QueryPathOfRegTypeLib(LIBID_Kavro, 1, 0, 0, &path)}, Hr{TYPE_E_LIBNOTREGISTERED});
    SysFreeString(path);
}

TEST_F(Registration, UnregisteringWhatIsAbsentSucceeds)
{
    EXPECT_EQ(Regsvr32(L"/u /s"), 0u) << "a second unregistration in a row";
    EXPECT_EQ(Hr{CallExport(KavroPath(), "DllUnregisterServer")}, Hr{S_OK});
}

TEST_F(Registration, UnregisterKeepsWhatOthersPutUnderTheClassKey)
{
    ASSERT_EQ(Regsvr32(L"/s"), 0u);
    const std::wstring foreign = kClassKey + L"\\Implemented Categories\\{40FC6ED5-2438-11CF-A3DB-080036F12502}";
    HKEY key;
    ASSERT_EQ(RegCreateKeyExW(HKEY_CLASSES_ROOT, foreign.c_str(), 0, nullptr, 0, KEY_WRITE, nullptr, &key, nullptr),
              ERROR_SUCCESS);
    RegCloseKey(key);

    ASSERT_EQ(Regsvr32(L"/u /s"), 0u);
    EXPECT_TRUE(KeyExists(foreign)) << "another's entry under the class key stays";
    EXPECT_FALSE(KeyExists(kClassKey + L"\\InprocServer32"));
    EXPECT_FALSE(KeyExists(kClassKey + L"\\ProgID"));
    EXPECT_EQ(Value(kClassKey), std::nullopt) << "the class key's own value goes";
    EXPECT_FALSE(KeyExists(kProgIdKey));

    RegDeleteTreeW(HKEY_CLASSES_ROOT, kClassKey.c_str());
}

} // namespace
} // namespace kavro::test
