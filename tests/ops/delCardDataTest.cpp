// Record clearing, and the card-writing entry that does nothing.
#include <algorithm>

#include "Scenario.h"

namespace kavro::test {
namespace {

class ClearingTest : public ComTest {
protected:
    void SetUp() override
    {
        ComTest::SetUp();
        machine = NewMachine();
        ASSERT_TRUE(machine);
    }
    ComPtr<IMachine> machine;
};

TEST_F(ClearingTest, ErasesThePunchesAfterAPause)
{
    int terminal = HwSim_AddSerialTerminal(3, 5);
    AddPunches(terminal, {{"1", 0}, {"2", 0}});
    VARIANT_BOOL result = VARIANT_FALSE;
    LONGLONG start = Now();
    ASSERT_EQ(machine->delCardData(VARIANT_TRUE, nullptr, 3, 5, &result), S_OK);
    EXPECT_EQ(result, VARIANT_TRUE);
    EXPECT_EQ(HwSim_PunchCount(terminal), 0);

    auto calls = Calls(HWSIM_DelAllRcdOnDev);
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_GE(Milliseconds(start, calls[0].qpcTime), 90.0) << "the library is called after about 100 ms";
    EXPECT_GT(calls[0].progressCalls + calls[0].queryCalls, 0) << "the callbacks were handed over";
}

TEST_F(ClearingTest, NoTerminalOrARefusedEraseStillAnswersTrue)
{
    VARIANT_BOOL result = VARIANT_FALSE;
    Bstr ip(L"10.0.0.99");
    ASSERT_EQ(machine->delCardData(VARIANT_FALSE, ip.get(), 0, 1, &result), S_OK);
    EXPECT_EQ(result, VARIANT_TRUE);

    HwSim_AddNetTerminal("10.0.0.99", 1);
    HwSim_ForceResult(HWSIM_DelAllRcdOnDev, 0);
    ASSERT_EQ(machine->delCardData(VARIANT_FALSE, ip.get(), 0, 1, &result), S_OK);
    EXPECT_EQ(result, VARIANT_TRUE);
}

TEST_F(ClearingTest, AnAddressThatCannotBeBuiltAnswersFalseAtOnce)
{
    Bstr tooLong(L"1234567890123456");
    // The quickest of five calls: a pause makes every call last 100 ms, a
    // loaded machine only some.
    double quickest = 1e9;
    for (int call = 0; call < 5; ++call) {
        VARIANT_BOOL result = VARIANT_TRUE;
        LONGLONG start = Now();
        ASSERT_EQ(machine->delCardData(VARIANT_FALSE, tooLong.get(), 0, 1, &result), S_OK);
        quickest = std::min(quickest, Milliseconds(start, Now()));
        EXPECT_EQ(result, VARIANT_FALSE);
    }
    EXPECT_EQ(HwSim_CallCount(), 0);
    EXPECT_LT(quickest, 100.0) << "no pause when the address cannot be built";
}

TEST_F(ClearingTest, WriteCardTouchesNothingAndAnswersFalse)
{
    int terminal = HwSim_AddSerialTerminal(1, 1);
    AddPunches(terminal, {{"1", 0}});
    auto collection = NewCollection();
    Bstr ip(L"10.0.0.1");
    BSTR message = SysAllocString(L"host text");
    BSTR before = message;
    VARIANT_BOOL result = VARIANT_TRUE;
    ASSERT_EQ(machine->funcWriteCard(VARIANT_TRUE, ip.get(), 1, 1, collection.Get(), &message, &result), S_OK);
    EXPECT_EQ(result, VARIANT_FALSE);
    EXPECT_EQ(message, before) << "the very same string stays";
    EXPECT_EQ(HwSim_CallCount(), 0);
    EXPECT_EQ(HostStub_AddCount(collection.Get()), 0);
    ASSERT_EQ(machine->funcWriteCard(VARIANT_FALSE, nullptr, 0, 0, nullptr, nullptr, &result), S_OK)
        << "even with nothing passed";
    EXPECT_EQ(result, VARIANT_FALSE);
    SysFreeString(message);
}

} // namespace
} // namespace kavro::test
