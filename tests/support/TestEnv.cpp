#include "TestEnv.h"

#include <objbase.h>

namespace kavro::test {

HRESULT CallExport(const std::wstring& dll, const char* exportName)
{
    HMODULE module = LoadLibraryW(dll.c_str());
    if (!module) return HRESULT_FROM_WIN32(GetLastError());
    auto fn = reinterpret_cast<HRESULT(__stdcall*)()>(
        reinterpret_cast<void*>(GetProcAddress(module, exportName)));
    if (!fn) return HRESULT_FROM_WIN32(ERROR_PROC_NOT_FOUND);
    return fn();
}

void ComTest::SetUp()
{
    HwSim_Reset();
    HostStub_Reset();
}

void ComTest::TearDown()
{
    EXPECT_EQ(HwSim_OutstandingLists(), 0) << "every list the library handed out goes back";
    EXPECT_EQ(HwSim_BadFrees(), 0) << "no list is freed twice or with a wrong pointer or count";
    EXPECT_EQ(HwSim_CallbackFaults(), 0) << "the callbacks are stdcall, and DevQuery answers 0";
}

} // namespace kavro::test

int main(int argc, char** argv)
{
    ::testing::InitGoogleTest(&argc, argv);
    if (FAILED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED))) return 2;
    using kavro::test::BinDir;
    using kavro::test::CallExport;
    for (const wchar_t* dll : {L"ZebMachine.dll", L"Kavro.dll"}) {
        HRESULT hr = CallExport(BinDir() + dll, "DllRegisterServer");
        if (FAILED(hr)) {
            fwprintf(stderr, L"registering %ls failed: 0x%08lx\n", dll, static_cast<unsigned long>(hr));
            return 2;
        }
    }
    int result = RUN_ALL_TESTS();
    CoUninitialize();
    return result;
}
