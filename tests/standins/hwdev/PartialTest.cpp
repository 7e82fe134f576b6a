// The cut-down library that lacks every entry point but HwDev_IsDevExist.
#include "SimTest.h"

namespace hwdev_test {
namespace {

TEST(PartialLibrary, HasOnlyTheProbe)
{
    wchar_t path[MAX_PATH];
    DWORD n = GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring dir(path, n);
    dir.resize(dir.find_last_of(L"\\/") + 1);
    HMODULE partial = LoadLibraryW((dir + L"..\\isolated\\partial\\HwDev.dll").c_str());
    ASSERT_NE(partial, nullptr) << "error " << GetLastError();
    EXPECT_NE(partial, GetModuleHandleW(L"HwDev.dll")) << "a second library, not the simulator";

    auto probe = reinterpret_cast<int(__stdcall*)(DevAddress*)>(
        reinterpret_cast<void*>(GetProcAddress(partial, "HwDev_IsDevExist")));
    ASSERT_NE(probe, nullptr);
    HwSim_AddSerialTerminal(1, 1);
    EXPECT_EQ(probe(SerialAddress(1, 1).get()), 0);
    EXPECT_EQ(GetProcAddress(partial, "HwDev_RecvAllRcdFromDev"), nullptr);
    FreeLibrary(partial);
}

} // namespace
} // namespace hwdev_test
