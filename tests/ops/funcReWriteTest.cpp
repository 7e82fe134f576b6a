// Fingerprint re-write: the rows of the host's recordset fill one employee
// record, sent once after the last row, with bytes exactly as laid out.
#include "Fingerprint.h"

#include <functional>

#include "Arguments.h"
#include "frame/DefaultInterface.h"

namespace kavro::test {
namespace {

struct Sent {
    std::array<unsigned char, 156> record{};
    Bytes tpl;
};

class ReWriteTest : public ComTest {
protected:
    void SetUp() override
    {
        ComTest::SetUp();
        machine = NewMachine();
        ASSERT_TRUE(machine);
        terminal = HwSim_AddNetTerminal("10.1.1.5", 2);
    }
    void TearDown() override
    {
        SysFreeString(message);
        ComTest::TearDown();
    }

    static void AddRow(memrs::MemoryRecordset& rs, const std::wstring& number, const Bytes& tpl)
    {
        rs.AddRow({memrs::Value::Text(number), memrs::Value::Int16(1), memrs::Value::Int16(2), {},
                   memrs::Value::Bytes(tpl)});
    }

    void ReWrite(const memrs::MemoryRecordset& rs, const wchar_t* text, const wchar_t* person = L"")
    {
        SysReAllocString(&message, text);
        Bstr ip(L"10.1.1.5"), number(person);
        ASSERT_EQ(machine->funcReWrite(VARIANT_FALSE, ip.get(), 0, 2, number.get(), rs.get(), &message, &result),
                  S_OK);
    }

    // What each send received.
    std::vector<Sent> Sends()
    {
        std::vector<Sent> sends;
        auto calls = AllCalls();
        for (size_t i = 0; i < calls.size(); ++i) {
            if (calls[i].func != HWSIM_SendEmployeeToDev) continue;
            EXPECT_EQ(calls[i].count, 1);
            EXPECT_EQ(calls[i].flagByte, 1);
            EXPECT_EQ(calls[i].outValueBefore, 0) << "the out value is zeroed first";
            Sent sent;
            sent.tpl.resize(40000);
            int n = HwSim_GetSentRecord(static_cast<int>(i), 0, sent.record.data(), sent.tpl.data(), 40000);
            sent.tpl.resize(n > 0 ? static_cast<size_t>(n) : 0);
            sends.push_back(sent);
        }
        return sends;
    }

    std::wstring Message() const { return std::wstring(ViewOf(message)); }

    ComPtr<IMachine> machine;
    int terminal = 0;
    BSTR message = SysAllocString(L"");
    VARIANT_BOOL result = 7;
};

std::string TextAt(const std::array<unsigned char, 156>& record, size_t offset, size_t size)
{
    const char* start = reinterpret_cast<const char*>(record.data() + offset);
    return std::string(start, strnlen(start, size));
}

bool ZeroFrom(const std::array<unsigned char, 156>& record, size_t from, size_t to)
{
    for (size_t i = from; i < to; ++i)
        if (record[i] != 0) return false;
    return true;
}

TEST_F(ReWriteTest, OneRowBecomesTheRecordTheLibraryReceives)
{
    auto rs = FingerprintRecordset();
    const Bytes tpl = Template(300, 7);
    AddRow(rs, L"12345678901", tpl);
    const std::wstring text(49, L'n');

    ReWrite(rs, text.c_str(), L"nobody");
    EXPECT_EQ(result, VARIANT_TRUE);
    EXPECT_EQ(Message(), L"") << "strMsg is consumed";
    auto sends = Sends();
    ASSERT_EQ(sends.size(), 1u);
    const auto& record = sends[0].record;
    EXPECT_EQ(TextAt(record, 0, 12), "12345678901") << "sPersonNum has no effect";
    EXPECT_EQ(record[11], 0) << "11 bytes and their NUL";
    EXPECT_EQ(TextAt(record, 12, 50), std::string(49, 'n'));
    EXPECT_EQ(record[61], 0) << "49 bytes and their NUL";
    EXPECT_TRUE(ZeroFrom(record, 62, 68)) << "unnamed bytes stay zero";
    EXPECT_EQ(record[68] | record[69] << 8, 1) << "RecordFlag";
    EXPECT_EQ(record[70] | record[71] << 8, 300) << "TemplateLength";
    EXPECT_TRUE(ZeroFrom(record, 76, 156)) << "unnamed bytes stay zero";
    EXPECT_EQ(sends[0].tpl, tpl);
    EXPECT_EQ(HwSim_EmployeeCount(terminal), 1);

    EXPECT_EQ(rs.CallTexts(), (std::vector<std::wstring>{
                                  L"MoveFirst", L"get_EOF", L"get_Fields", L"Fields.get_Item(cpsn_num)",
                                  L"Field.get_Value(cpsn_num)", L"get_Fields", L"Fields.get_Item(bfingerprint)",
                                  L"Field.get_ActualSize(bfingerprint)", L"Field.GetChunk(bfingerprint)",
                                  L"MoveNext", L"get_EOF"}));
    EXPECT_EQ(rs.Position(), 1) << "the recordset stands at its end";
}

TEST_F(ReWriteTest, EveryRowOverwritesTheRecordAndTheLastOneIsSentOnce)
{
    auto rs = FingerprintRecordset();
    AddRow(rs, L"1", Template(900, 1));
    AddRow(rs, L"22", Template(500, 2));
    AddRow(rs, L"3", Template(20, 3));
    ReWrite(rs, L"first row only");
    EXPECT_EQ(result, VARIANT_TRUE);
    auto sends = Sends();
    ASSERT_EQ(sends.size(), 1u);
    EXPECT_EQ(TextAt(sends[0].record, 0, 12), "3");
    EXPECT_EQ(TextAt(sends[0].record, 12, 50), "") << "strMsg went into the first row; later rows get it empty";
    EXPECT_EQ(sends[0].tpl, Template(20, 3));
}

TEST_F(ReWriteTest, FailuresAnswerFalseAndSendNothing)
{
    struct Case {
        const char* what;
        std::function<void(memrs::MemoryRecordset&)> arrange;
        const wchar_t* text;
        const wchar_t* messageAfter;
    };
    const Case cases[] = {
        {"no rows", [](memrs::MemoryRecordset&) {}, L"kept", L"kept"},
        {"a 12-byte number", [](auto& rs) { AddRow(rs, L"123456789012", Template(20, 1)); }, L"kept", L"kept"},
        {"a Null number",
         [](auto& rs) { AddRow(rs, L"1", Template(20, 1)); rs.Set(0, L"cpsn_num", memrs::Value()); }, L"kept", L"kept"},
        {"a 50-byte message", [](auto& rs) { AddRow(rs, L"1", Template(20, 1)); },
         L"12345678901234567890123456789012345678901234567890", L""},
        {"a template longer than 32767 bytes", [](auto& rs) { AddRow(rs, L"1", Template(32768, 1)); }, L"x", L""},
        {"a template without bytes", [](auto& rs) { AddRow(rs, L"1", {}); }, L"x", L""},
        {"GetChunk gives fewer bytes than ActualSize",
         [](auto& rs) { AddRow(rs, L"1", Template(20, 1)); rs.ForceChunk(memrs::Value::Bytes(Template(19, 1))); },
         L"x", L""},
        {"GetChunk gives text",
         [](auto& rs) { AddRow(rs, L"1", Template(20, 1)); rs.ForceChunk(memrs::Value::Text(L"01234567890123456789")); },
         L"x", L""},
        {"no template column", [](auto& rs) { AddRow(rs, L"1", Template(20, 1)); rs.RemoveColumn(L"bFingerprint"); },
         L"x", L""},
        {"a failing MoveNext",
         [](auto& rs) { AddRow(rs, L"1", Template(20, 1)); rs.FailCall(L"MoveNext", E_FAIL); }, L"x", L""},
    };
    for (const Case& c : cases) {
        auto rs = FingerprintRecordset();
        c.arrange(rs);
        ReWrite(rs, c.text);
        EXPECT_EQ(result, VARIANT_FALSE) << c.what;
        EXPECT_EQ(Message(), c.messageAfter) << c.what;
    }
    ASSERT_EQ(machine->funcReWrite(VARIANT_FALSE, nullptr, 0, 2, nullptr, nullptr, &message, &result), S_OK);
    EXPECT_EQ(result, VARIANT_FALSE) << "no recordset";
    EXPECT_TRUE(Sends().empty());
}

// By DISPID on IMachine (rsData by value, strMsg as a script's variant) and
// through the default interface's vtable.
TEST_F(ReWriteTest, LateBoundAndDefaultInterfaceCallsSendTheSameRecord)
{
    auto rs = FingerprintRecordset();
    AddRow(rs, L"4242", Template(64, 4));
    ComPtr<IDispatch> rsDispatch;
    ASSERT_EQ(rs.get()->QueryInterface(IID_IDispatch, reinterpret_cast<void**>(rsDispatch.GetAddressOf())), S_OK);
    Bstr ip(L"10.1.1.5"), empty(L""), text(L"by name");
    VARIANT messageHolder = Text(SysAllocString(L"by name"));
    VARIANT answer;
    VariantInit(&answer);
    ASSERT_EQ(InvokeWith(machine.Get(), 0x60030002, DISPATCH_METHOD,
                         {Bool(VARIANT_FALSE), Text(ip), I2(0), I2(2), Text(empty), Dispatch(rsDispatch.Get()),
                          Ref(&messageHolder)},
                         &answer),
              S_OK);
    EXPECT_EQ(V_BOOL(&answer), VARIANT_TRUE);
    EXPECT_EQ(SysStringLen(V_BSTR(&messageHolder)), 0u) << "the script's variable is emptied";
    VariantClear(&messageHolder);

    ComPtr<_clsMachine> byDefault;
    ASSERT_EQ(machine->QueryInterface(IID__clsMachine, reinterpret_cast<void**>(byDefault.GetAddressOf())), S_OK);
    ASSERT_EQ(byDefault->IMachine_funcReWrite(VARIANT_FALSE, ip.get(), 0, 2, empty.get(), rs.get(), &message, &result),
              S_OK);
    EXPECT_EQ(result, VARIANT_TRUE);
    auto sends = Sends();
    ASSERT_EQ(sends.size(), 2u);
    EXPECT_EQ(TextAt(sends[0].record, 12, 50), "by name");
    for (const Sent& sent : sends) {
        EXPECT_EQ(TextAt(sent.record, 0, 12), "4242");
        EXPECT_EQ(sent.tpl, Template(64, 4));
    }
}

// Run with a Chinese ANSI code page (the test_ops_cp936 entry): limits count
// bytes, two for each Chinese character.
TEST_F(ReWriteTest, DoubleByteTextFillsTheFieldsSooner)
{
    if (GetACP() != 936) GTEST_SKIP() << "needs code page 936 (LC_ALL=zh_CN.UTF-8)";
    const std::wstring five = L"张三李四王";
    auto rs = FingerprintRecordset();
    AddRow(rs, five, Template(20, 1));
    ReWrite(rs, (std::wstring(24, L'中') + L"x").c_str());
    EXPECT_EQ(result, VARIANT_TRUE) << "five characters are 10 bytes; 24 and one more are 49";
    auto sends = Sends();
    ASSERT_EQ(sends.size(), 1u);
    EXPECT_EQ(TextAt(sends[0].record, 0, 12), "\xD5\xC5\xC8\xFD\xC0\xEE\xCB\xC4\xCD\xF5");
    EXPECT_EQ(sends[0].record[61], 0);

    auto six = FingerprintRecordset();
    AddRow(six, five + L"赵", Template(20, 1));
    ReWrite(six, L"kept");
    EXPECT_EQ(result, VARIANT_FALSE) << "six characters are 12 bytes";
    EXPECT_EQ(Message(), L"kept");
    ReWrite(rs, std::wstring(25, L'中').c_str());
    EXPECT_EQ(result, VARIANT_FALSE) << "25 characters are 50 bytes";
    EXPECT_EQ(Sends().size(), 1u);
}

} // namespace
} // namespace kavro::test
