// Answers a test forces on the library, and that what it hands out then can
// still be handed back.
#include "SimTest.h"

namespace hwdev_test {
namespace {

class ForcingTest : public SimTest {
protected:
    void SetUp() override
    {
        SimTest::SetUp();
        terminal_ = PunchTerminal(2);
    }

    int Receive() { return ReceivePunches(&list_, &count_); }

    int terminal_ = 0;
    AttendanceRecord* list_ = nullptr;
    int count_ = 0;
};

TEST_F(ForcingTest, ResultIsForcedForOneFunctionUntilCleared)
{
    HwSim_ForceResult(HWSIM_IsDevExist, 7);
    EXPECT_EQ(HwDev_IsDevExist(SerialAddress(9, 9).get()), 7);
    EXPECT_EQ(LastCall().result, 7);
    EXPECT_EQ(HwDev_DelAllRcdOnDev(SerialAddress(9, 9).get(), nullptr, nullptr), 0);
    HwSim_ClearForcing();
    EXPECT_EQ(HwDev_IsDevExist(SerialAddress(9, 9).get()), 0);
}

TEST_F(ForcingTest, LargerCountIsPaddedWithZeroRecords)
{
    HwSim_ForceCount(HWSIM_RecvAllRcdFromDev, 5);
    Receive();
    ASSERT_EQ(count_, 5);
    auto base = reinterpret_cast<const unsigned char*>(list_);
    EXPECT_EQ(Get<int>(base + 36, 12), 200) << "real records first";
    EXPECT_TRUE(std::all_of(base + 72, base + 180, [](unsigned char b) { return b == 0; }));
    EXPECT_EQ(HwDev_FreeRcdList(&list_, &count_), 1);
    EXPECT_EQ(HwSim_OutstandingLists(), 0);
}

TEST_F(ForcingTest, CountBeyondPaddingOrNegativeComesWithTheRealBlock)
{
    for (int forced : {16 * 1024 * 1024 / 36 + 1, -3}) {
        HwSim_ForceCount(HWSIM_RecvAllRcdFromDev, forced);
        Receive();
        EXPECT_EQ(count_, forced);
        ASSERT_NE(list_, nullptr);
        EXPECT_EQ(Get<int>(list_, 12), 100);
        EXPECT_EQ(HwDev_FreeRcdList(&list_, &count_), 1) << "count " << forced;
    }
    EXPECT_EQ(HwSim_BadFrees(), 0);
}

TEST_F(ForcingTest, NullListWithCountMustStillBeHandedBack)
{
    HwSim_ForceNullList(HWSIM_RecvAllRcdFromDev);
    Receive();
    EXPECT_EQ(list_, nullptr);
    EXPECT_EQ(count_, 2);
    EXPECT_EQ(HwSim_OutstandingLists(), 1);
    EXPECT_EQ(HwDev_FreeRcdList(&list_, &count_), 1);
    EXPECT_EQ(HwSim_OutstandingLists(), 0);
    EXPECT_EQ(HwSim_BadFrees(), 0);
}

TEST_F(ForcingTest, NoOutputLeavesTheVariablesAlone)
{
    HwSim_ForceNoOutput(HWSIM_RecvAllRcdFromDev);
    list_ = reinterpret_cast<AttendanceRecord*>(0x4000);
    count_ = 77;
    EXPECT_EQ(Receive(), 1);
    EXPECT_EQ(list_, reinterpret_cast<AttendanceRecord*>(0x4000));
    EXPECT_EQ(count_, 77);
    EXPECT_EQ(HwSim_OutstandingLists(), 0);
}

TEST_F(ForcingTest, DelayHoldsTheAnswerBack)
{
    HwSim_SetDelay(HWSIM_DelAllRcdOnDev, 150);
    LARGE_INTEGER frequency, before, after;
    QueryPerformanceFrequency(&frequency);
    QueryPerformanceCounter(&before);
    HwDev_DelAllRcdOnDev(SerialAddress(1, 1).get(), nullptr, nullptr);
    QueryPerformanceCounter(&after);
    double ms = 1000.0 * (after.QuadPart - before.QuadPart) / frequency.QuadPart;
    EXPECT_GE(ms, 140.0);
    EXPECT_LE(LastCall().qpcTime - before.QuadPart, frequency.QuadPart / 50) << "entry logged before the wait";
    EXPECT_EQ(HwSim_PunchCount(terminal_), 0) << "the work is still done";
}

} // namespace
} // namespace hwdev_test
