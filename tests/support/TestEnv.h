// What every test program shares: COM initialised on the main thread (a
// single-threaded apartment, as in the host), the stand-in host library and
// Kavro.dll registered in the prefix, and a clean simulator for each test.
#pragma once
#include <gtest/gtest.h>
#include <string>
#include <windows.h>

#include "HwSim.h"
#include "HostStub.h"
#include "Process.h" // BinDir

namespace kavro::test {

// Loads dll (a path) and calls one of its parameterless stdcall exports, such
// as DllRegisterServer. The library stays loaded.
HRESULT CallExport(const std::wstring& dll, const char* exportName);

// Every scenario starts with no terminals, no forcing and no injected failures.
class ComTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;
};

} // namespace kavro::test
