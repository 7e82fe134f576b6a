// Helpers for the tests of ZebMachine.dll: creating its objects, building
// arguments as a host or a script would, and reading back what was recorded.
#pragma once
#include <gtest/gtest.h>
#include <string>
#include <vector>
#include <windows.h>

#include "HostStub.h"
#include "frame/Owners.h"
#include <StdCollection.h>
#include <ZebMachine.h>

namespace hosttest {

using kavro::Bstr;
using kavro::ComPtr;
using kavro::Variant;

// Every test starts with no injected failures and ends with no object alive
// (checked once the fixture's own members are gone).
class HostTest : public ::testing::Test {
protected:
    HostTest() { HostStub_Reset(); }
    ~HostTest() override;
};

template <class I>
ComPtr<I> Create(REFCLSID clsid)
{
    ComPtr<I> object;
    HRESULT hr = CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, __uuidof(I),
                                  reinterpret_cast<void**>(object.GetAddressOf()));
    EXPECT_EQ(hr, S_OK) << "creating an object";
    return object;
}
ComPtr<_Collection> NewCollection(); // by ProgID ZebMachine.Collection

// Arguments that borrow what they hold: the caller keeps the owner alive.
VARIANT I2(SHORT value);
VARIANT I4(LONG value);
VARIANT Text(const Bstr& text);
VARIANT Object(IUnknown* object);
VARIANT Missing();        // an optional argument left out
VARIANT Ref(VARIANT* target); // VT_BYREF|VT_VARIANT, as a script passes its variables

// IDispatch::Invoke with positional arguments given first to last.
HRESULT Call(IDispatch* object, DISPID id, WORD flags, std::vector<VARIANT> args, VARIANT* result = nullptr);
// A put by name, as the component and scripts make it.
HRESULT PutByName(IDispatch* object, const wchar_t* name, VARIANT value);
DISPID IdOf(IDispatch* object, const wchar_t* name);

// A value as "type text", e.g. "I2 2" or "BSTR 192.168.1.10", for readable checks.
std::wstring Shown(const VARIANT& value);
// The index-th recorded put as "name = type text", or "(none)".
std::wstring PutAt(IUnknown* object, LONG index);

} // namespace hosttest
