// Helpers for the tests of ZebMachine.dll: creating its objects, building
// arguments as a host or a script would, and reading back what was recorded.
#pragma once
#include <gtest/gtest.h>
#include <string>
#include <vector>
#include <windows.h>

#include "Arguments.h"
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

using kavro::test::I2;
using kavro::test::I4;
using kavro::test::Missing;
using kavro::test::Object;
using kavro::test::Ref;
using kavro::test::Text;

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
