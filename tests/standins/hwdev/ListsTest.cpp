// Lists the library hands out: their layout, and how they must come back.
#include "SimTest.h"

namespace hwdev_test {
namespace {

using ListsTest = SimTest;

TEST_F(ListsTest, EmployeeRecordsLie156BytesApartWithTemplatesOutside)
{
    int t = HwSim_AddSerialTerminal(3, 1);
    const std::vector<unsigned char> tpls[] = {Pattern(400, 1), Pattern(5, 2), {}};
    const char* numbers[] = {"1001", "12345678901", "7"};
    for (int i = 0; i < 3; ++i) ASSERT_TRUE(AddEmployee(t, numbers[i], tpls[i]));

    EmployeeRecord* list = nullptr;
    int count = 0;
    ASSERT_EQ(HwDev_RecvEmployeeFromDev(SerialAddress(3, 1).get(), &list, &count, nullptr, nullptr), 1);
    ASSERT_EQ(count, 3);
    auto base = reinterpret_cast<const unsigned char*>(list);
    for (int i = 0; i < 3; ++i) {
        const unsigned char* record = base + i * 156;
        EXPECT_STREQ(reinterpret_cast<const char*>(record), numbers[i]);
        EXPECT_STREQ(reinterpret_cast<const char*>(record + 12), "name");
        EXPECT_EQ(Get<short>(record, 68), 1) << "RecordFlag";
        ASSERT_EQ(Get<short>(record, 70), static_cast<short>(tpls[i].size())) << "record " << i;
        auto tpl = Get<const unsigned char*>(record, 72);
        if (tpls[i].empty()) continue;
        EXPECT_TRUE(tpl < base || tpl >= base + 3 * 156) << "template outside the records";
        EXPECT_EQ(std::vector<unsigned char>(tpl, tpl + tpls[i].size()), tpls[i]);
    }
    EXPECT_EQ(HwDev_FreeEmployeeList(&list, &count), 1);
}

TEST_F(ListsTest, PunchRecordsLie36BytesApartWithTheRestFilled)
{
    int t = HwSim_AddNetTerminal("10.1.1.1", 2);
    ASSERT_TRUE(HwSim_AddPunch(t, Number("00123").bytes, -28800));
    unsigned char full[12];
    std::memset(full, '9', sizeof full);
    ASSERT_TRUE(HwSim_AddPunch(t, full, 2147483647));

    AttendanceRecord* list = nullptr;
    int count = 0;
    ASSERT_EQ(HwDev_RecvAllRcdFromDev(NetAddress("10.1.1.1", 2).get(), &list, &count, nullptr, nullptr), 1);
    ASSERT_EQ(count, 2);
    auto base = reinterpret_cast<const unsigned char*>(list);
    EXPECT_STREQ(reinterpret_cast<const char*>(base), "00123");
    EXPECT_EQ(Get<int>(base, 12), -28800);
    EXPECT_EQ(std::memcmp(base + 36, full, 12), 0) << "all twelve bytes kept, no terminator added";
    EXPECT_EQ(Get<int>(base + 36, 12), 2147483647);
    for (int i = 0; i < 2; ++i) {
        const unsigned char* rest = base + i * 36 + 16;
        EXPECT_TRUE(std::any_of(rest, rest + 20, [](unsigned char b) { return b != 0; }))
            << "record " << i << " carries data a reader must ignore";
    }
    EXPECT_EQ(HwDev_FreeRcdList(&list, &count), 1);
}

TEST_F(ListsTest, BalancedFreeClearsTheCallersVariables)
{
    PunchTerminal(1);
    AttendanceRecord* list = nullptr;
    int count = 0;
    ReceivePunches(&list, &count);
    EXPECT_EQ(HwSim_OutstandingLists(), 1);

    EXPECT_EQ(HwDev_FreeRcdList(&list, &count), 1);
    EXPECT_EQ(list, nullptr);
    EXPECT_EQ(count, 0);
    EXPECT_EQ(HwSim_OutstandingLists(), 0);
    EXPECT_EQ(HwSim_BadFrees(), 0);
}

TEST_F(ListsTest, EmptyTerminalHandsOutNothingToFree)
{
    HwSim_AddSerialTerminal(1, 1);
    EmployeeRecord* list = reinterpret_cast<EmployeeRecord*>(0x1000);
    int count = 5;
    EXPECT_EQ(HwDev_RecvEmployeeFromDev(SerialAddress(1, 1).get(), &list, &count, nullptr, nullptr), 1);
    EXPECT_EQ(list, nullptr);
    EXPECT_EQ(count, 0);
    EXPECT_EQ(HwSim_OutstandingLists(), 0);
    EXPECT_EQ(HwDev_FreeEmployeeList(&list, &count), 1);
    EXPECT_EQ(HwSim_BadFrees(), 0);
}

TEST_F(ListsTest, WrongFreesAreCountedAndReleaseNothing)
{
    int t = HwSim_AddSerialTerminal(1, 1);
    ASSERT_TRUE(AddEmployee(t, "1", Pattern(10, 0)));
    ASSERT_TRUE(AddEmployee(t, "2", Pattern(10, 0)));
    EmployeeRecord* list = nullptr;
    int count = 0;
    HwDev_RecvEmployeeFromDev(SerialAddress(1, 1).get(), &list, &count, nullptr, nullptr);

    int wrongCount = count - 1;
    EmployeeRecord* same = list;
    EXPECT_EQ(HwDev_FreeEmployeeList(&same, &wrongCount), 0);
    EXPECT_EQ(same, list) << "a refused free leaves the variables alone";
    auto asPunches = reinterpret_cast<AttendanceRecord*>(list);
    int sameCount = count;
    EXPECT_EQ(HwDev_FreeRcdList(&asPunches, &sameCount), 0) << "the other kind's free";
    EXPECT_EQ(HwDev_FreeEmployeeList(nullptr, &count), 0);
    EXPECT_EQ(HwSim_BadFrees(), 3);
    EXPECT_EQ(HwSim_OutstandingLists(), 1);

    EmployeeRecord* copy = list;
    int copyCount = count;
    EXPECT_EQ(HwDev_FreeEmployeeList(&list, &count), 1);
    EXPECT_EQ(HwDev_FreeEmployeeList(&copy, &copyCount), 0) << "second free of the same list";
    EXPECT_EQ(HwSim_BadFrees(), 4);
    EXPECT_EQ(HwSim_OutstandingLists(), 0);
}

TEST_F(ListsTest, ResetForgetsListsStillOut)
{
    PunchTerminal(1);
    AttendanceRecord* list = nullptr;
    int count = 0;
    ReceivePunches(&list, &count);
    HwSim_Reset();
    EXPECT_EQ(HwSim_OutstandingLists(), 0);
    EXPECT_EQ(HwDev_FreeRcdList(&list, &count), 0) << "a forgotten list is unknown";
    EXPECT_EQ(HwSim_BadFrees(), 1);
}

} // namespace
} // namespace hwdev_test
