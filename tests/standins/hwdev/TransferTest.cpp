// Sending employees, erasing punches, and what the log keeps of each call.
#include "SimTest.h"

namespace hwdev_test {
namespace {

using TransferTest = SimTest;

struct SentEmployee {
    SentEmployee(const char* no, std::vector<unsigned char> bytes) : tpl(std::move(bytes))
    {
        std::strcpy(record.EmployeeNo, no);
        std::strcpy(record.EmployeeText, "sent");
        record.RecordFlag = 1;
        record.TemplateLength = static_cast<short>(tpl.size());
        record.TemplatePtr = tpl.data();
    }
    EmployeeRecord record{};
    std::vector<unsigned char> tpl;
};

TEST_F(TransferTest, SendReplacesByNumberAndAppendsNewOnes)
{
    int t = HwSim_AddSerialTerminal(2, 1);
    ASSERT_TRUE(AddEmployee(t, "1001", Pattern(30, 1)));
    ASSERT_TRUE(AddEmployee(t, "1002", Pattern(30, 2)));
    SentEmployee replace("1002", Pattern(8, 3)), append("1003", Pattern(12, 4));
    EmployeeRecord records[] = {replace.record, append.record};
    unsigned char flag = 1;
    int stored = 0;

    EXPECT_EQ(HwDev_SendEmployeeToDev(SerialAddress(2, 1).get(), records, 2, &flag, &stored, nullptr, nullptr), 1);
    EXPECT_EQ(stored, 2);
    std::fill(replace.tpl.begin(), replace.tpl.end(), 0); // the terminal keeps its own copy

    ASSERT_EQ(HwSim_EmployeeCount(t), 3);
    unsigned char record[156];
    std::vector<unsigned char> tpl(64);
    EXPECT_EQ(HwSim_GetEmployee(t, 0, record, tpl.data(), 64), 30) << "1001 untouched";
    ASSERT_EQ(HwSim_GetEmployee(t, 1, record, tpl.data(), 64), 8);
    EXPECT_STREQ(reinterpret_cast<char*>(record), "1002");
    EXPECT_STREQ(reinterpret_cast<char*>(record + 12), "sent");
    EXPECT_EQ(Get<void*>(record, 72), nullptr) << "stored records carry no address";
    EXPECT_EQ(std::vector<unsigned char>(tpl.begin(), tpl.begin() + 8), Pattern(8, 3));
    EXPECT_EQ(HwSim_GetEmployee(t, 2, record, nullptr, 0), 12);
    EXPECT_STREQ(reinterpret_cast<char*>(record), "1003");
}

TEST_F(TransferTest, LogKeepsByteCopiesOfWhatWasSent)
{
    SentEmployee sent("77", Pattern(20, 9));
    sent.record.Reserved[79] = 0xAB;
    unsigned char flag = 1;
    int stored = -5;
    RawAddress address = SerialAddress(9, 1); // no terminal there: logged all the same
    address.bytes[4] = 0x5A;

    EXPECT_EQ(HwDev_SendEmployeeToDev(address.get(), &sent.record, 1, &flag, &stored, nullptr, nullptr), 0);
    HwSimCall call = LastCall();
    EXPECT_EQ(call.func, HWSIM_SendEmployeeToDev);
    EXPECT_EQ(std::memcmp(call.address, address.bytes, 52), 0);
    EXPECT_EQ(call.count, 1);
    EXPECT_EQ(call.flagByte, 1);
    EXPECT_EQ(call.outValueBefore, -5);
    EXPECT_EQ(call.result, 0);

    sent.tpl.assign(20, 0);
    unsigned char bytes[156];
    std::vector<unsigned char> tpl(20);
    int index = HwSim_CallCount() - 1;
    ASSERT_EQ(HwSim_GetSentRecord(index, 0, bytes, tpl.data(), 20), 20);
    EXPECT_EQ(std::memcmp(bytes, &sent.record, 156), 0) << "TemplatePtr and spare bytes as received";
    EXPECT_EQ(tpl, Pattern(20, 9)) << "template read at call time";
    EXPECT_EQ(HwSim_GetSentRecord(index, 1, bytes, nullptr, 0), -1);
}

TEST_F(TransferTest, TemplateWithoutAddressIsNotRead)
{
    int t = HwSim_AddSerialTerminal(2, 1);
    SentEmployee sent("5", {});
    sent.record.TemplateLength = 100; // claims bytes it has no address for
    unsigned char flag = 1;
    int stored = 0;
    EXPECT_EQ(HwDev_SendEmployeeToDev(SerialAddress(2, 1).get(), &sent.record, 1, &flag, &stored, nullptr, nullptr), 1);
    unsigned char tpl[4] = {0xEE, 0xEE, 0xEE, 0xEE};
    EXPECT_EQ(HwSim_GetSentRecord(HwSim_CallCount() - 1, 0, nullptr, tpl, 4), 100);
    EXPECT_EQ(tpl[0], 0xEE) << "nothing copied";
    EXPECT_EQ(HwSim_GetEmployee(t, 0, nullptr, nullptr, 0), 0) << "stored without a template";
}

TEST_F(TransferTest, DeleteErasesOneTerminalsPunches)
{
    int a = HwSim_AddSerialTerminal(1, 1);
    int b = HwSim_AddSerialTerminal(1, 2);
    for (int t : {a, a, b}) ASSERT_TRUE(HwSim_AddPunch(t, Number("1").bytes, 60));
    ASSERT_TRUE(AddEmployee(a, "1", Pattern(4, 0)));

    EXPECT_EQ(HwDev_DelAllRcdOnDev(SerialAddress(1, 1).get(), CountProgress, CountQuery), 1);
    EXPECT_EQ(HwSim_PunchCount(a), 0);
    EXPECT_EQ(HwSim_PunchCount(b), 1);
    EXPECT_EQ(HwSim_EmployeeCount(a), 1) << "employees stay";
    EXPECT_EQ(LastCall().count, 2) << "punches erased";
}

TEST_F(TransferTest, TransfersCallBothCallbacksAndTolerateNone)
{
    PunchTerminal(1);
    AttendanceRecord* list = nullptr;
    int count = 0;
    ReceivePunches(&list, &count, CountProgress, CountQuery);
    HwSimCall call = LastCall();
    EXPECT_GE(g_progressCalls, 1);
    EXPECT_GE(g_queryCalls, 1);
    EXPECT_EQ(call.progressCalls, g_progressCalls);
    EXPECT_EQ(call.queryCalls, g_queryCalls);
    EXPECT_EQ(call.list, list);
    EXPECT_EQ(call.count, 1);
    HwDev_FreeRcdList(&list, &count);

    EXPECT_EQ(HwDev_DelAllRcdOnDev(SerialAddress(1, 1).get(), nullptr, nullptr), 1);
    EXPECT_EQ(LastCall().progressCalls, 0);
    EXPECT_EQ(HwSim_CallbackFaults(), 0);
}

void CountProgressCdecl(int) { ++g_progressCalls; }
int __stdcall AnswerYes(int, int) { return 1; }

TEST_F(TransferTest, CallbacksOfTheWrongKindAreCounted)
{
    HwSim_AddSerialTerminal(1, 1);
    auto cdeclProgress = reinterpret_cast<DevProgress>(reinterpret_cast<void*>(&CountProgressCdecl));
    EXPECT_EQ(HwDev_DelAllRcdOnDev(SerialAddress(1, 1).get(), cdeclProgress, CountQuery), 1);
    EXPECT_EQ(HwSim_CallbackFaults(), LastCall().progressCalls) << "every call left its argument behind";
    EXPECT_GT(g_progressCalls, 0);

    HwSim_Reset();
    HwDev_DelAllRcdOnDev(SerialAddress(1, 1).get(), nullptr, AnswerYes);
    EXPECT_EQ(HwSim_CallbackFaults(), LastCall().queryCalls) << "DevQuery answers 0";
}

} // namespace
} // namespace hwdev_test
