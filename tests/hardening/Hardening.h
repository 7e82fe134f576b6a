// What the hardening scenarios share: the invariants every case must keep
// (lists back exactly once, no host object alive that no collection holds,
// no recordset object left) and the component's own unload answer.
#pragma once
#include <functional>
#include <string>

#include "../ops/Fingerprint.h"

namespace kavro::test {

class HardeningTest : public ComTest {
protected:
    void SetUp() override
    {
        ComTest::SetUp();
        machine = NewMachine();
        ASSERT_TRUE(machine);
    }
    void TearDown() override
    {
        machine.Reset();
        ExpectComponentCanUnload();
        ComTest::TearDown();
    }

    // After a case whose host objects are released: every list back once,
    // nothing of the host's left alive. Starts the next case clean.
    static void ExpectBalanced(const std::string& what)
    {
        EXPECT_EQ(HwSim_OutstandingLists(), 0) << what;
        EXPECT_EQ(HwSim_BadFrees(), 0) << what;
        EXPECT_EQ(HwSim_CallbackFaults(), 0) << what;
        EXPECT_EQ(Calls(HWSIM_FreeRcdList).size(), Calls(HWSIM_RecvAllRcdFromDev).size()) << what;
        EXPECT_EQ(Calls(HWSIM_FreeEmployeeList).size(), Calls(HWSIM_RecvEmployeeFromDev).size()) << what;
        for (int kind : {HOSTSTUB_MachineItem, HOSTSTUB_CardData, HOSTSTUB_Collection})
            EXPECT_EQ(HostStub_LiveObjects(kind), 0) << what << ": host objects of kind " << kind << " alive";
        EXPECT_EQ(memrs::LiveObjects(), 0) << what << ": recordset objects alive";
        HwSim_ClearForcing();
        HwSim_ClearLog();
        HostStub_Reset();
    }

    static void ExpectComponentCanUnload()
    {
        auto canUnload = reinterpret_cast<HRESULT(__stdcall*)()>(
            reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"Kavro.dll"), "DllCanUnloadNow")));
        ASSERT_TRUE(canUnload);
        EXPECT_EQ(canUnload(), S_OK) << "no object or lock of the component is left";
    }

    ComPtr<IMachine> machine;
};

// A text of n copies of c, as a host might pass by mistake.
inline Bstr LongText(size_t n, wchar_t c = L'1') { return Bstr(std::wstring(n, c)); }

} // namespace kavro::test
