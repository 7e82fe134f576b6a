#include "HostTest.h"

#include <objbase.h>

namespace hosttest {

HostTest::~HostTest()
{
    EXPECT_EQ(HostStub_LiveObjects(HOSTSTUB_MachineItem), 0) << "clsMachineItem objects left alive";
    EXPECT_EQ(HostStub_LiveObjects(HOSTSTUB_CardData), 0) << "clsCardData objects left alive";
    EXPECT_EQ(HostStub_LiveObjects(HOSTSTUB_Collection), 0) << "Collection objects left alive";
}

ComPtr<_Collection> NewCollection()
{
    CLSID clsid{};
    EXPECT_EQ(CLSIDFromProgID(L"ZebMachine.Collection", &clsid), S_OK) << "ProgID ZebMachine.Collection registered";
    return Create<_Collection>(clsid);
}

HRESULT Call(IDispatch* object, DISPID id, WORD flags, std::vector<VARIANT> args, VARIANT* result)
{
    return kavro::test::InvokeWith(object, id, flags, std::move(args), result);
}

DISPID IdOf(IDispatch* object, const wchar_t* name)
{
    DISPID id = DISPID_UNKNOWN;
    LPOLESTR names[] = {const_cast<LPOLESTR>(name)};
    object->GetIDsOfNames(IID_NULL, names, 1, LOCALE_USER_DEFAULT, &id);
    return id;
}

HRESULT PutByName(IDispatch* object, const wchar_t* name, VARIANT value)
{
    DISPID id = IdOf(object, name);
    if (id == DISPID_UNKNOWN) return DISP_E_UNKNOWNNAME;
    return Call(object, id, DISPATCH_PROPERTYPUT, {value});
}

std::wstring Shown(const VARIANT& value)
{
    const wchar_t* type = L"?";
    switch (V_VT(&value)) {
    case VT_EMPTY: return L"Empty";
    case VT_I2: type = L"I2"; break;
    case VT_I4: type = L"I4"; break;
    case VT_BSTR: type = L"BSTR"; break;
    case VT_DATE: type = L"DATE"; break;
    case VT_UNKNOWN: return L"Unknown";
    case VT_DISPATCH: return L"Dispatch";
    default: return L"VT " + std::to_wstring(V_VT(&value));
    }
    Variant text;
    if (FAILED(VariantChangeTypeEx(text.get(), const_cast<VARIANT*>(&value), LOCALE_INVARIANT, 0, VT_BSTR))) return type;
    return std::wstring(type) + L" " + V_BSTR(text.get());
}

std::wstring PutAt(IUnknown* object, LONG index)
{
    Bstr name;
    Variant value;
    if (!HostStub_GetPut(object, index, name.out(), value.out())) return L"(none)";
    return std::wstring(name.view()) + L" = " + Shown(*value.get());
}

} // namespace hosttest

// The stand-in registers itself into the test prefix, as the component's
// tests do, so that creation by CLSID and ProgID goes through COM.
int main(int argc, char** argv)
{
    ::testing::InitGoogleTest(&argc, argv);
    if (FAILED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED))) return 2;
    auto registerServer = reinterpret_cast<HRESULT(__stdcall*)()>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"ZebMachine.dll"), "DllRegisterServer")));
    HRESULT hr = registerServer ? registerServer() : HRESULT_FROM_WIN32(ERROR_PROC_NOT_FOUND);
    if (FAILED(hr)) {
        fprintf(stderr, "registering ZebMachine.dll failed: 0x%08lx\n", static_cast<unsigned long>(hr));
        return 2;
    }
    int result = RUN_ALL_TESTS();
    CoUninitialize();
    return result;
}
