// The terminal address record: what the library receives for each kind of
// connection, read back byte by byte from the simulator's call log.
#include <cstring>

#include "Scenario.h"
#include "frame/Errors.h"
#include "frame/clsMachine.h"

namespace kavro::test {
namespace {

class DevAddressTest : public ComTest {
protected:
    // Downloads from the given connection (the download makes no pause) and
    // returns the address the library received.
    HRESULT Download(VARIANT_BOOL serial, const wchar_t* ip, short port, short machineNo)
    {
        auto machine = NewMachine();
        auto collection = NewCollection();
        Bstr text(ip ? ip : L""), message(L"before");
        VARIANT_BOOL result = VARIANT_FALSE;
        return machine->DownloadCarddata(serial, ip ? text.get() : nullptr, port, machineNo,
                                         collection.GetAddressOf(), message.out(), &result);
    }

    AddressBytes Received()
    {
        auto calls = Calls(HWSIM_RecvAllRcdFromDev);
        EXPECT_EQ(calls.size(), 1u) << "one receive";
        return calls.empty() ? AddressBytes{} : AddressOf(calls.front());
    }

    static void ExpectCommonBytes(const AddressBytes& bytes)
    {
        for (int i = 4; i < 24; ++i) EXPECT_EQ(bytes[i], 0) << "reserved byte " << i;
        EXPECT_EQ(bytes[24], 0x0A);
        EXPECT_EQ(bytes[25], 0x00);
    }

    static std::int32_t Int32At(const AddressBytes& bytes, int offset)
    {
        std::int32_t value;
        std::memcpy(&value, bytes.data() + offset, sizeof(value));
        return value;
    }
};

TEST_F(DevAddressTest, NetworkAddressOfFifteenBytesFillsTheField)
{
    ASSERT_EQ(Download(VARIANT_FALSE, L"255.255.255.255", 7, 1), S_OK);
    AddressBytes bytes = Received();
    ExpectCommonBytes(bytes);
    EXPECT_EQ(std::memcmp(bytes.data() + 26, "255.255.255.255", 15), 0);
    EXPECT_EQ(bytes[41], 0) << "the zero byte lands on the field's last byte";
    EXPECT_EQ(bytes[42], 0) << "IsSerial";
    EXPECT_EQ(Int32At(bytes, 44), 0) << "ComPort is not written on a network link";
    EXPECT_EQ(Int32At(bytes, 48), 0) << "BaudRate is not written on a network link";
}

TEST_F(DevAddressTest, NetworkAddressOfSixteenOrMoreBytesFailsBeforeTheLibrary)
{
    for (const wchar_t* ip : {L"255.255.255.2555", L"255.255.255.25555"}) {
        HwSim_ClearLog();
        HRESULT hr = Download(VARIANT_FALSE, ip, 0, 1);
        EXPECT_EQ(hr, ToHresult(RunTimeError::SubscriptOutOfRange)) << "address " << ip;
        EXPECT_EQ(HwSim_CallCount(), 0) << "the library is not reached with an incomplete record";
    }
}

TEST_F(DevAddressTest, EmptyOrMissingAddressTextGivesAnEmptyField)
{
    for (const wchar_t* ip : {L"", static_cast<const wchar_t*>(nullptr)}) {
        HwSim_ClearLog();
        ASSERT_EQ(Download(VARIANT_FALSE, ip, 0, 3), S_OK);
        AddressBytes bytes = Received();
        ExpectCommonBytes(bytes);
        for (int i = 26; i < 42; ++i) EXPECT_EQ(bytes[i], 0) << "IpAddress byte " << i;
        EXPECT_EQ(bytes[42], 0);
    }
}

TEST_F(DevAddressTest, SerialLinkWritesPortAndBaudRateAndLeavesTheAddressTextZero)
{
    for (VARIANT_BOOL serial : {VARIANT_TRUE, VARIANT_BOOL(1), VARIANT_BOOL(2)}) {
        HwSim_ClearLog();
        ASSERT_EQ(Download(serial, L"10.0.0.1", 3, 1), S_OK);
        AddressBytes bytes = Received();
        ExpectCommonBytes(bytes);
        EXPECT_EQ(bytes[42], 1) << "IsSerial for flag " << serial;
        EXPECT_EQ(bytes[43], 0);
        EXPECT_EQ(Int32At(bytes, 44), 3);
        EXPECT_EQ(Int32At(bytes, 48), 38400);
        for (int i = 26; i < 42; ++i) EXPECT_EQ(bytes[i], 0) << "IpAddress byte " << i;
    }
}

TEST_F(DevAddressTest, TerminalNumberIsSignExtended)
{
    ASSERT_EQ(Download(VARIANT_TRUE, nullptr, 1, -1), S_OK);
    AddressBytes minusOne = Received();
    HwSim_ClearLog();
    ASSERT_EQ(Download(VARIANT_TRUE, nullptr, 1, 1), S_OK);
    AddressBytes one = Received();
    EXPECT_EQ((std::array<int, 4>{minusOne[0], minusOne[1], minusOne[2], minusOne[3]}),
              (std::array<int, 4>{0xFF, 0xFF, 0xFF, 0xFF}));
    EXPECT_EQ((std::array<int, 4>{one[0], one[1], one[2], one[3]}), (std::array<int, 4>{1, 0, 0, 0}));
}

// The port given as text (as the search gives it) is read as a number. These
// forms are only reachable through the private fill, so it is called directly.
class FillDevAddressTest : public ::testing::Test {
protected:
    static DevAddress Fill(VARIANT_BOOL serial, const VARIANT& value, short machineNo = 1)
    {
        DevAddress record;
        std::memset(&record, 0, sizeof(record));
        clsMachine::FillDevAddress(record, serial, value, machineNo);
        return record;
    }
    static DevAddress FillText(VARIANT_BOOL serial, const wchar_t* text, DevAddress* into = nullptr)
    {
        Variant value;
        V_VT(value.get()) = VT_BSTR;
        V_BSTR(value.get()) = SysAllocString(text);
        if (into) {
            clsMachine::FillDevAddress(*into, serial, *value.get(), 1);
            return *into;
        }
        return Fill(serial, *value.get());
    }
};

TEST_F(FillDevAddressTest, PortAsIntegerAndAsTextGiveTheSameRecord)
{
    VARIANT number;
    V_VT(&number) = VT_I2;
    V_I2(&number) = 3;
    DevAddress fromNumber = Fill(VARIANT_TRUE, number);
    DevAddress fromText = FillText(VARIANT_TRUE, L"3");
    EXPECT_EQ(std::memcmp(&fromNumber, &fromText, sizeof(DevAddress)), 0);
    EXPECT_EQ(fromText.ComPort, 3);
}

TEST_F(FillDevAddressTest, PortTextIsReadAsALeadingNumberRoundedHalfToEven)
{
    struct Case { const wchar_t* text; std::int32_t port; };
    for (Case c : {Case{L"-2", -2}, Case{L"  7", 7}, Case{L"1 2", 12}, Case{L"4abc", 4}, Case{L"abc", 0},
                   Case{L"", 0}, Case{L"2.5", 2}, Case{L"3.5", 4}, Case{L"-2.5", -2}, Case{L"2.51", 3},
                   Case{L"1e3", 1000}, Case{L"2147483647", 2147483647}}) {
        EXPECT_EQ(FillText(VARIANT_TRUE, c.text).ComPort, c.port) << "text '" << c.text << "'";
    }
    try {
        FillText(VARIANT_TRUE, L"2147483648");
        ADD_FAILURE() << "a port beyond 32 bits must overflow";
    } catch (const ComError& error) {
        EXPECT_EQ(error.hr, ToHresult(RunTimeError::Overflow));
    }
}

TEST_F(FillDevAddressTest, RefillingLeavesBytesAfterTheNewZero)
{
    DevAddress record;
    std::memset(&record, 0, sizeof(record));
    FillText(VARIANT_FALSE, L"192.168.1.100", &record);
    FillText(VARIANT_FALSE, L"192.168.1.9", &record);
    EXPECT_EQ(std::memcmp(record.IpAddress, "192.168.1.9", 11), 0);
    EXPECT_EQ(record.IpAddress[11], 0);
    EXPECT_EQ(record.IpAddress[12], '0') << "the last digit of the earlier address stays";
    EXPECT_STREQ(reinterpret_cast<const char*>(record.IpAddress), "192.168.1.9");
}

TEST_F(FillDevAddressTest, SixteenBytesAreWrittenBeforeTheSubscriptFails)
{
    DevAddress record;
    std::memset(&record, 0, sizeof(record));
    try {
        FillText(VARIANT_FALSE, L"1234567890123456789", &record);
        ADD_FAILURE() << "17 bytes and more must fail";
    } catch (const ComError& error) {
        EXPECT_EQ(error.hr, ToHresult(RunTimeError::SubscriptOutOfRange));
    }
    EXPECT_EQ(std::memcmp(record.IpAddress, "1234567890123456", 16), 0);
    EXPECT_EQ(record.IsSerial, 0);
    EXPECT_EQ(record.ComPort, 0) << "nothing past the address text is touched";
}

} // namespace
} // namespace kavro::test
