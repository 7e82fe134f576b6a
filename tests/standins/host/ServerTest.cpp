// The server: creation by CLSID and ProgID, the class factory, unloading,
// live and created counts, and registration.
#include "HostTest.h"

namespace hosttest {
namespace {

HMODULE Module() { return GetModuleHandleW(L"ZebMachine.dll"); }

HRESULT CallExport(const char* name)
{
    auto fn = reinterpret_cast<HRESULT(__stdcall*)()>(reinterpret_cast<void*>(GetProcAddress(Module(), name)));
    return fn ? fn() : HRESULT_FROM_WIN32(ERROR_PROC_NOT_FOUND);
}

std::wstring RegistryText(const std::wstring& key, const wchar_t* name = nullptr)
{
    wchar_t value[MAX_PATH * 2];
    DWORD size = sizeof(value);
    if (RegGetValueW(HKEY_CLASSES_ROOT, key.c_str(), name, RRF_RT_REG_SZ, nullptr, value, &size) != ERROR_SUCCESS)
        return L"(missing)";
    return value;
}

bool KeyExists(const std::wstring& key)
{
    HKEY handle;
    if (RegOpenKeyExW(HKEY_CLASSES_ROOT, key.c_str(), 0, KEY_READ, &handle) != ERROR_SUCCESS) return false;
    RegCloseKey(handle);
    return true;
}

std::wstring GuidText(const GUID& guid)
{
    wchar_t text[40];
    StringFromGUID2(guid, text, 40);
    return text;
}

struct Served {
    const wchar_t* progId;
    const IID* iid;
    int kind;
};
const Served kServed[] = {
    {L"ZebMachine.clsMachineItem", &IID__clsMachineItem, HOSTSTUB_MachineItem},
    {L"ZebMachine.clsCardData", &IID__clsCardData, HOSTSTUB_CardData},
    {L"ZebMachine.Collection", &IID__Collection, HOSTSTUB_Collection},
};

CLSID ClsidOf(const wchar_t* progId)
{
    CLSID clsid{};
    EXPECT_EQ(CLSIDFromProgID(progId, &clsid), S_OK) << "ProgID registered";
    return clsid;
}

using ServerTest = HostTest;

TEST_F(ServerTest, EachClassIsCreatedByClsidAndByProgIdAndCounted)
{
    EXPECT_TRUE(IsEqualCLSID(ClsidOf(L"ZebMachine.clsMachineItem"), CLSID_clsMachineItem));
    EXPECT_TRUE(IsEqualCLSID(ClsidOf(L"ZebMachine.clsCardData"), CLSID_clsCardData));
    for (const Served& served : kServed) {
        ComPtr<IUnknown> first, second;
        ASSERT_EQ(CoCreateInstance(ClsidOf(served.progId), nullptr, CLSCTX_INPROC_SERVER, *served.iid,
                                   reinterpret_cast<void**>(first.GetAddressOf())), S_OK) << served.progId;
        ASSERT_EQ(CoCreateInstance(ClsidOf(served.progId), nullptr, CLSCTX_INPROC_SERVER, IID_IDispatch,
                                   reinterpret_cast<void**>(second.GetAddressOf())), S_OK) << served.progId;
        EXPECT_NE(first.Get(), second.Get()) << "one new object per creation";
        EXPECT_EQ(HostStub_CreatedObjects(served.kind), 2) << served.progId;
        EXPECT_EQ(HostStub_LiveObjects(served.kind), 2) << served.progId;
        first.Reset();
        EXPECT_EQ(HostStub_LiveObjects(served.kind), 1) << served.progId;
    }
    HostStub_Reset();
    EXPECT_EQ(HostStub_CreatedObjects(HOSTSTUB_CardData), 0) << "Reset clears the created counts";
}

TEST_F(ServerTest, FactoryRefusesAggregationAndUnknownInterfaces)
{
    ComPtr<IClassFactory> factory;
    ASSERT_EQ(CoGetClassObject(CLSID_clsCardData, CLSCTX_INPROC_SERVER, nullptr, IID_PPV_ARGS(&factory)), S_OK);
    ComPtr<IUnknown> object;
    EXPECT_EQ(factory->CreateInstance(factory.Get(), IID_IUnknown, reinterpret_cast<void**>(object.GetAddressOf())),
              CLASS_E_NOAGGREGATION);
    EXPECT_EQ(factory->CreateInstance(nullptr, IID__clsMachineItem, reinterpret_cast<void**>(object.GetAddressOf())),
              E_NOINTERFACE) << "a card is no machine item";
    EXPECT_EQ(object.Get(), nullptr);
    EXPECT_EQ(HostStub_LiveObjects(HOSTSTUB_CardData), 0) << "the refused object is gone";
}

TEST_F(ServerTest, AnInjectedCreationFailureHitsTheNthCreationOfThatKindOnce)
{
    HostStub_FailCreate(HOSTSTUB_CardData, 2, E_OUTOFMEMORY);
    ComPtr<IUnknown> object;
    auto create = [&](REFCLSID clsid) {
        return CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IID_IUnknown,
                                reinterpret_cast<void**>(object.ReleaseAndGetAddressOf()));
    };
    EXPECT_EQ(create(CLSID_clsMachineItem), S_OK) << "another kind does not count";
    EXPECT_EQ(create(CLSID_clsCardData), S_OK);
    EXPECT_EQ(create(CLSID_clsCardData), E_OUTOFMEMORY);
    EXPECT_EQ(create(CLSID_clsCardData), S_OK);
    EXPECT_EQ(HostStub_CreatedObjects(HOSTSTUB_CardData), 2) << "the failed creation made no object";
}

TEST_F(ServerTest, UnloadsOnlyWithoutLiveObjectsAndLocks)
{
    EXPECT_EQ(CallExport("DllCanUnloadNow"), S_OK);
    {
        ComPtr<_Collection> col = NewCollection();
        EXPECT_EQ(CallExport("DllCanUnloadNow"), S_FALSE) << "a live object";
    }
    ComPtr<IClassFactory> factory;
    ASSERT_EQ(CoGetClassObject(CLSID_clsMachineItem, CLSCTX_INPROC_SERVER, nullptr, IID_PPV_ARGS(&factory)), S_OK);
    ASSERT_EQ(factory->LockServer(TRUE), S_OK);
    factory.Reset();
    EXPECT_EQ(CallExport("DllCanUnloadNow"), S_FALSE) << "a lock";
    ASSERT_EQ(CoGetClassObject(CLSID_clsMachineItem, CLSCTX_INPROC_SERVER, nullptr, IID_PPV_ARGS(&factory)), S_OK);
    ASSERT_EQ(factory->LockServer(FALSE), S_OK);
    EXPECT_EQ(CallExport("DllCanUnloadNow"), S_FALSE) << "a factory held";
    factory.Reset();
    EXPECT_EQ(CallExport("DllCanUnloadNow"), S_OK);
}

TEST_F(ServerTest, RegistrationWritesTheClassesAndTypeLibraryAndUnregistrationRemovesThem)
{
    wchar_t path[MAX_PATH];
    GetModuleFileNameW(Module(), path, MAX_PATH);
    const CLSID collection = ClsidOf(L"ZebMachine.Collection");
    const CLSID classes[] = {CLSID_clsMachineItem, CLSID_clsCardData, collection};
    const wchar_t* names[] = {L"clsMachineItem", L"clsCardData", L"Collection"};
    const std::wstring typeLib = L"TypeLib\\" + GuidText(LIBID_ZebMachine) + L"\\1.1";
    const std::wstring machine = L"Interface\\" + GuidText(IID_IMachine);

    ASSERT_EQ(CallExport("DllRegisterServer"), S_OK);
    for (int i = 0; i < 3; ++i) {
        const std::wstring key = L"CLSID\\" + GuidText(classes[i]);
        const std::wstring progId = std::wstring(L"ZebMachine.") + names[i];
        EXPECT_EQ(CompareStringOrdinal(RegistryText(key + L"\\InprocServer32").c_str(), -1, path, -1, TRUE), CSTR_EQUAL)
            << "InprocServer32 of " << names[i] << " is the DLL's full path";
        EXPECT_EQ(RegistryText(key + L"\\InprocServer32", L"ThreadingModel"), L"Apartment");
        EXPECT_EQ(RegistryText(key + L"\\ProgID"), progId);
        EXPECT_EQ(RegistryText(progId + L"\\CLSID"), GuidText(classes[i]));
    }
    EXPECT_TRUE(KeyExists(typeLib)) << "the type library is registered";
    EXPECT_TRUE(KeyExists(machine)) << "IMachine is registered by the host's library";

    ASSERT_EQ(CallExport("DllUnregisterServer"), S_OK);
    for (int i = 0; i < 3; ++i) {
        EXPECT_FALSE(KeyExists(L"CLSID\\" + GuidText(classes[i]))) << names[i];
        EXPECT_FALSE(KeyExists(std::wstring(L"ZebMachine.") + names[i])) << names[i];
    }
    EXPECT_FALSE(KeyExists(typeLib));
    EXPECT_FALSE(KeyExists(machine));

    ASSERT_EQ(CallExport("DllRegisterServer"), S_OK) << "registered again for the other tests";
}

} // namespace
} // namespace hosttest
