// Which terminal an address record reaches.
#include "SimTest.h"

namespace hwdev_test {
namespace {

using LookupTest = SimTest;

TEST_F(LookupTest, SerialTerminalAnswersOnItsPortAndNumberOnly)
{
    ASSERT_NE(HwSim_AddSerialTerminal(3, 1), 0);
    EXPECT_EQ(HwDev_IsDevExist(SerialAddress(3, 1).get()), 1);
    EXPECT_EQ(HwDev_IsDevExist(SerialAddress(4, 1).get()), 0) << "other port";
    EXPECT_EQ(HwDev_IsDevExist(SerialAddress(3, 2).get()), 0) << "other terminal number";
    EXPECT_EQ(HwDev_IsDevExist(NetAddress("3", 1).get()), 0) << "network link";
}

TEST_F(LookupTest, NetworkTerminalIsFoundByTextUpToTheFirstZeroByte)
{
    ASSERT_NE(HwSim_AddNetTerminal("192.168.1.9", 7), 0);
    EXPECT_EQ(HwDev_IsDevExist(NetAddress("192.168.1.9", 7).get()), 1);
    EXPECT_EQ(HwDev_IsDevExist(NetAddress("192.168.1.9", 8).get()), 0);
    EXPECT_EQ(HwDev_IsDevExist(NetAddress("192.168.1.90", 7).get()), 0);

    // A refilled record keeps stale bytes behind the terminator.
    RawAddress refilled = NetAddress("192.168.1.100", 7);
    std::memcpy(refilled.bytes + 26, "192.168.1.9", 12);
    EXPECT_EQ(HwDev_IsDevExist(refilled.get()), 1);
}

TEST_F(LookupTest, SerialFlagChoosesTheField)
{
    ASSERT_NE(HwSim_AddSerialTerminal(5, 1), 0);
    ASSERT_NE(HwSim_AddNetTerminal("10.0.0.5", 1), 0);

    RawAddress serialWithIp = SerialAddress(5, 1);
    std::memcpy(serialWithIp.bytes + 26, "10.0.0.6", 9);
    EXPECT_EQ(HwDev_IsDevExist(serialWithIp.get()), 1) << "IsSerial 1 reads ComPort only";

    RawAddress netWithPort = NetAddress("10.0.0.5", 1);
    Put<int>(netWithPort.bytes + 44, 6);
    EXPECT_EQ(HwDev_IsDevExist(netWithPort.get()), 1) << "IsSerial 0 reads IpAddress only";

    Put<short>(netWithPort.bytes + 42, 2);
    EXPECT_EQ(HwDev_IsDevExist(netWithPort.get()), 1) << "any IsSerial but 1 is a network link";
}

TEST_F(LookupTest, UnterminatedAddressTextReachesNothing)
{
    ASSERT_NE(HwSim_AddNetTerminal("255.255.255.255", 1), 0);
    EXPECT_EQ(HwDev_IsDevExist(NetAddress("255.255.255.255", 1).get()), 1) << "15 bytes and the zero fit";
    EXPECT_EQ(HwDev_IsDevExist(NetAddress("255.255.255.2551", 1).get()), 0);
    EXPECT_EQ(HwSim_AddNetTerminal("255.255.255.2551", 2), 0) << "16 bytes cannot be an address";
}

TEST_F(LookupTest, TerminalNumberIsSigned32Bits)
{
    ASSERT_NE(HwSim_AddSerialTerminal(1, -1), 0);
    RawAddress a = SerialAddress(1, 0);
    std::memset(a.bytes, 0xFF, 4);
    EXPECT_EQ(HwDev_IsDevExist(a.get()), 1);
}

TEST_F(LookupTest, NoTerminalGivesNoListAndChangesNothing)
{
    int t = HwSim_AddSerialTerminal(1, 1);
    ASSERT_TRUE(HwSim_AddPunch(t, Number("42").bytes, 0));
    RawAddress elsewhere = SerialAddress(2, 1);

    AttendanceRecord* punches = reinterpret_cast<AttendanceRecord*>(0x1234);
    int count = 99;
    EXPECT_EQ(HwDev_RecvAllRcdFromDev(elsewhere.get(), &punches, &count, nullptr, nullptr), 0);
    EXPECT_EQ(punches, nullptr);
    EXPECT_EQ(count, 0);
    EXPECT_EQ(HwDev_DelAllRcdOnDev(elsewhere.get(), nullptr, nullptr), 0);
    EXPECT_EQ(HwSim_PunchCount(t), 1);
    EXPECT_EQ(HwSim_OutstandingLists(), 0);
}

} // namespace
} // namespace hwdev_test
