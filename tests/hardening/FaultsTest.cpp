// Every operation driven through the faults that can reach it: odd answers of
// the terminal library, failing host calls, missing objects, long texts.
// Each case checks the answer its frame gives and that nothing is left behind.
#include <optional>

#include "Hardening.h"
#include "frame/Errors.h"

namespace kavro::test {
namespace {

constexpr HRESULT kOverflow = ToHresult(RunTimeError::Overflow);
constexpr HRESULT kOutOfMemory = ToHresult(RunTimeError::OutOfMemory);
constexpr HRESULT kObjectRequired = ToHresult(RunTimeError::ObjectRequired);
constexpr HRESULT kSubscript = ToHresult(RunTimeError::SubscriptOutOfRange);
constexpr int kMoreThanALibraryHolds = 20'000'000;  // the simulator cannot back this many records

using FaultsTest = HardeningTest;

TEST_F(FaultsTest, DownloadFailsWithItsErrorAndKeepsWhatWasAdded)
{
    struct Case {
        const char* what;
        std::function<void()> arrange;
        HRESULT hr;
        long added;
        std::wstring ip = L"10.0.0.9";
        bool noCollection = false;
    };
    const std::wstring tooLong(100000, L'1');
    const Case cases[] = {
        {"count 0 with records", [] { HwSim_ForceCount(HWSIM_RecvAllRcdFromDev, 0); }, S_OK, 0},
        {"outputs left alone", [] { HwSim_ForceNoOutput(HWSIM_RecvAllRcdFromDev); }, S_OK, 0},
        {"receive and free answer failures",
         [] { HwSim_ForceResult(HWSIM_RecvAllRcdFromDev, -1); HwSim_ForceResult(HWSIM_FreeRcdList, 0); }, S_OK, 3},
        {"negative count", [] { HwSim_ForceCount(HWSIM_RecvAllRcdFromDev, -1); }, kOverflow, 0},
        {"count beyond memory", [] { HwSim_ForceCount(HWSIM_RecvAllRcdFromDev, 0x7FFFFFFF); }, kOutOfMemory, 0},
        {"count beyond the list",
         [] { HwSim_ForceCount(HWSIM_RecvAllRcdFromDev, kMoreThanALibraryHolds); }, E_POINTER, 0},
        {"NULL list with records", [] { HwSim_ForceNullList(HWSIM_RecvAllRcdFromDev); }, E_POINTER, 0},
        {"second clsCardData not created", [] { HostStub_FailCreate(HOSTSTUB_CardData, 2, E_OUTOFMEMORY); },
         E_OUTOFMEMORY, 1},
        {"first vCardNo put fails", [] { HostStub_FailPut(L"vCardNo", 1, E_FAIL); }, E_FAIL, 0},
        {"third vCardTime put fails", [] { HostStub_FailPut(L"vCardTime", 3, DISP_E_OVERFLOW); }, DISP_E_OVERFLOW, 2},
        {"third Add fails", [] { HostStub_FailAdd(3, E_INVALIDARG); }, E_INVALIDARG, 2},
        {"no collection", [] {}, kObjectRequired, 0, L"10.0.0.9", true},
        {"an address of 100000 characters", [] {}, kSubscript, 0, tooLong},
    };
    for (const Case& c : cases) {
        int terminal = HwSim_AddNetTerminal("10.0.0.9", 1);
        AddPunches(terminal, {{"1", 0}, {"2", 60}, {"3", 120}});
        c.arrange();
        ComPtr<_Collection> collection = NewCollection();
        _Collection* given = c.noCollection ? nullptr : collection.Get();
        BSTR message = SysAllocString(L"before");
        VARIANT_BOOL result = 7;
        SetErrorInfo(0, nullptr);
        Bstr ip(c.ip);
        HRESULT hr = machine->DownloadCarddata(VARIANT_FALSE, ip.get(), 0, 1, &given, &message, &result);
        EXPECT_EQ(hr, c.hr) << c.what;
        EXPECT_EQ(result, SUCCEEDED(c.hr) ? VARIANT_TRUE : VARIANT_FALSE) << c.what;
        if (FAILED(c.hr)) {
            EXPECT_FALSE(ErrorDescription().empty()) << c.what << ": error information";
        }
        EXPECT_STREQ(message, c.ip == tooLong ? L"before" : L"") << c.what;
        long count = -1;
        collection->Count(&count);
        EXPECT_EQ(count, c.added) << c.what << ": objects added before the failure stay";
        EXPECT_EQ(HostStub_LiveObjects(HOSTSTUB_CardData), c.added) << c.what << ": only what the collection holds";
        SysFreeString(message);
        collection.Reset();
        ExpectBalanced(c.what);
        HwSim_Reset();
    }
    BSTR* noMessage = nullptr;
    ComPtr<_Collection> collection = NewCollection();
    VARIANT_BOOL result = 7;
    EXPECT_EQ(machine->DownloadCarddata(VARIANT_TRUE, nullptr, 1, 1, collection.GetAddressOf(), noMessage, &result),
              E_POINTER) << "no strMsg to set";
    EXPECT_EQ(result, VARIANT_FALSE);
    collection.Reset();
    ExpectBalanced("no strMsg");
}

// A record the library hands out with this number, template length and address.
std::array<unsigned char, 156> EmployeeAt(const std::string& number, short length, std::uint32_t address)
{
    auto record = RawEmployee(number, length);
    std::memcpy(record.data() + 72, &address, sizeof address);
    return record;
}

TEST_F(FaultsTest, BackupAnswersFalseWithoutReadingWhatTheLibraryCannotHold)
{
    const std::wstring noMatch = L"卡号为1001的员工没有登记指纹数据";
    struct Case {
        const char* what;
        std::function<void(memrs::MemoryRecordset&)> arrange;
        bool result;
        std::wstring message;  // strMsg afterwards
        const wchar_t* person = L"1001";
    };
    // One readable page with nothing readable after it.
    auto* page = static_cast<std::uint8_t*>(VirtualAlloc(nullptr, 0x20000, MEM_RESERVE, PAGE_NOACCESS));
    ASSERT_TRUE(page && VirtualAlloc(page, 0x1000, MEM_COMMIT, PAGE_READWRITE));
    const auto pageEnd = static_cast<std::uint32_t>(reinterpret_cast<std::uintptr_t>(page) + 0x1000);
    auto forceRecord = [](const std::array<unsigned char, 156>& record) {
        HwSim_ForceListRecord(HWSIM_RecvEmployeeFromDev, 0, record.data(), 156, nullptr, 0);
    };
    auto failing = [](const wchar_t* member, int nth = 1) {
        return [=](memrs::MemoryRecordset& rs) { rs.FailCall(member, E_FAIL, nth); };
    };
    const Case cases[] = {
        {"a match", [](auto&) {}, true, L"host"},
        {"the library answers failures", [](auto&) {
             HwSim_ForceResult(HWSIM_RecvEmployeeFromDev, -1); HwSim_ForceResult(HWSIM_FreeEmployeeList, 0); },
         true, L"host"},
        {"count 0", [](auto&) { HwSim_ForceCount(HWSIM_RecvEmployeeFromDev, 0); }, false, noMatch},
        {"outputs left alone", [](auto&) { HwSim_ForceNoOutput(HWSIM_RecvEmployeeFromDev); }, false, noMatch},
        {"negative count", [](auto&) { HwSim_ForceCount(HWSIM_RecvEmployeeFromDev, -3); }, false, L"host"},
        {"count beyond memory", [](auto&) { HwSim_ForceCount(HWSIM_RecvEmployeeFromDev, 0x7FFFFFFF); }, false, L"host"},
        {"count beyond the list",
         [](auto&) { HwSim_ForceCount(HWSIM_RecvEmployeeFromDev, kMoreThanALibraryHolds); }, false, L"host"},
        {"NULL list with records", [](auto&) { HwSim_ForceNullList(HWSIM_RecvEmployeeFromDev); }, false, L"host"},
        {"template bytes without an address", [=](auto&) { forceRecord(EmployeeAt("1001", 20, 0)); }, false, L"host"},
        {"negative template length", [=](auto&) { forceRecord(EmployeeAt("1001", -5, 0)); }, false, L"host"},
        {"template at an unreadable address", [=](auto&) { forceRecord(EmployeeAt("1001", 300, 0x10)); }, false,
         L"host"},
        {"template running past readable memory", [=](auto&) { forceRecord(EmployeeAt("1001", 300, pageEnd - 10)); },
         false, L"host"},
        {"a garbage template nobody matches", [=](auto&) { forceRecord(EmployeeAt("9", 300, 0x10)); }, false, noMatch},
        {"RecordCount fails", failing(L"get_RecordCount"), false, L"host"},
        {"AddNew fails", failing(L"AddNew"), false, L"host"},
        {"first Collect fails", failing(L"put_Collect"), false, L"host"},
        {"third Collect fails", failing(L"put_Collect", 3), false, L"host"},
        {"Fields fails", failing(L"get_Fields"), false, L"host"},
        {"Fields.Item fails", failing(L"Fields.get_Item"), false, L"host"},
        {"AppendChunk fails", failing(L"Field.AppendChunk"), false, L"host"},
        {"npassword Collect fails", failing(L"put_Collect", 4), false, L"host", L"1002"},
        {"a person number of 100000 characters", [](auto&) {}, false,
         L"卡号为" + std::wstring(100000, L'7') + L"的员工没有登记指纹数据", nullptr},
    };
    const Bstr longPerson = LongText(100000, L'7');
    for (const Case& c : cases) {
        int terminal = HwSim_AddSerialTerminal(3, 7);
        AddEmployee(terminal, "1001", Template(40, 1));
        AddEmployee(terminal, "1002", Template(4, 2));
        auto rs = std::make_optional(FingerprintRecordset());
        c.arrange(*rs);
        Bstr person(c.person ? c.person : L"");
        BSTR message = SysAllocString(L"host");
        VARIANT_BOOL result = 7;
        _Recordset* target = rs->get();
        EXPECT_EQ(machine->funcBackFingure(VARIANT_TRUE, nullptr, 3, 7, c.person ? person.get() : longPerson.get(),
                                           &target, &message, &result), S_OK) << c.what;
        EXPECT_EQ(result, c.result ? VARIANT_TRUE : VARIANT_FALSE) << c.what;
        EXPECT_EQ(std::wstring(ViewOf(message)), c.message) << c.what;
        SysFreeString(message);
        rs.reset();
        ExpectBalanced(c.what);
        HwSim_Reset();
    }

    // Missing objects: no recordset behind the reference, no reference, no strMsg to set.
    int terminal = HwSim_AddSerialTerminal(3, 7);
    AddEmployee(terminal, "1001", Template(40, 1));
    BSTR message = SysAllocString(L"host");
    VARIANT_BOOL result = 7;
    _Recordset* none = nullptr;
    EXPECT_EQ(machine->funcBackFingure(VARIANT_TRUE, nullptr, 3, 7, nullptr, &none, nullptr, &result), S_OK);
    EXPECT_EQ(result, VARIANT_FALSE) << "no match and no strMsg";
    Bstr person(L"1001");
    for (_Recordset** rsData : {&none, static_cast<_Recordset**>(nullptr)}) {
        result = 7;
        EXPECT_EQ(machine->funcBackFingure(VARIANT_TRUE, nullptr, 3, 7, person.get(), rsData, &message, &result), S_OK);
        EXPECT_EQ(result, VARIANT_FALSE) << "a match and no recordset";
        EXPECT_STREQ(message, L"host");
    }
    SysFreeString(message);
    VirtualFree(page, 0, MEM_RELEASE);
    ExpectBalanced("missing objects");
}

TEST_F(FaultsTest, ReWriteAnswersFalseOnEveryFailingRecordsetCallAndSendsNothing)
{
    struct Case {
        const char* what;
        const wchar_t* member;  // the failing call; none: the send is made
        int nth;
        bool sent;
    };
    const Case cases[] = {
        {"MoveFirst", L"MoveFirst", 1, false},
        {"first EOF", L"get_EOF", 1, false},
        {"last EOF", L"get_EOF", 2, false},
        {"Fields", L"get_Fields", 1, false},
        {"Fields.Item", L"Fields.get_Item", 1, false},
        {"Value", L"Field.get_Value", 1, false},
        {"ActualSize", L"Field.get_ActualSize", 1, false},
        {"GetChunk", L"Field.GetChunk", 1, false},
        {"MoveNext", L"MoveNext", 1, false},
        {"the send answers a failure", nullptr, 0, true},
    };
    for (const Case& c : cases) {
        HwSim_AddNetTerminal("10.0.0.3", 2);
        if (c.sent) HwSim_ForceResult(HWSIM_SendEmployeeToDev, -1);
        auto rs = std::make_optional(FingerprintRecordset());
        rs->AddRow({memrs::Value::Text(L"5"), {}, {}, {}, memrs::Value::Bytes(Template(30, 1))});
        if (c.member) rs->FailCall(c.member, E_FAIL, c.nth);
        Bstr ip(L"10.0.0.3");
        BSTR message = SysAllocString(L"text");
        VARIANT_BOOL result = 7;
        EXPECT_EQ(machine->funcReWrite(VARIANT_FALSE, ip.get(), 0, 2, nullptr, rs->get(), &message, &result), S_OK)
            << c.what;
        EXPECT_EQ(result, c.sent ? VARIANT_TRUE : VARIANT_FALSE) << c.what;
        EXPECT_EQ(Calls(HWSIM_SendEmployeeToDev).size(), c.sent ? 1u : 0u) << c.what;
        SysFreeString(message);
        rs.reset();
        ExpectBalanced(c.what);
        HwSim_Reset();
    }
    auto rs = std::make_optional(FingerprintRecordset());
    rs->AddRow({memrs::Value::Text(L"5"), {}, {}, {}, memrs::Value::Bytes(Template(30, 1))});
    VARIANT_BOOL result = 7;
    EXPECT_EQ(machine->funcReWrite(VARIANT_TRUE, nullptr, 1, 1, nullptr, rs->get(), nullptr, &result), S_OK);
    EXPECT_EQ(result, VARIANT_FALSE) << "no strMsg to read";
    EXPECT_TRUE(Calls(HWSIM_SendEmployeeToDev).empty());
    rs.reset();
    ExpectBalanced("no strMsg");
}

TEST_F(FaultsTest, ClearingAndOddProbeAnswersNeedNoMessage)
{
    struct Case {
        const char* what;
        BSTR ip;
        bool result;
        size_t erases;
    };
    const Bstr tooLong = LongText(100000), ip(L"10.0.0.4");
    const Case clearing[] = {
        {"the erase answers a failure", ip.get(), true, 1},
        {"no address text", nullptr, true, 1},
        {"an address of 100000 characters", tooLong.get(), false, 0},
    };
    HwSim_ForceResult(HWSIM_DelAllRcdOnDev, -1);
    for (const Case& c : clearing) {
        HwSim_ClearLog();
        VARIANT_BOOL result = 7;
        EXPECT_EQ(machine->delCardData(VARIANT_FALSE, c.ip, 0, 1, &result), S_OK) << c.what;
        EXPECT_EQ(result, c.result ? VARIANT_TRUE : VARIANT_FALSE) << c.what;
        EXPECT_EQ(Calls(HWSIM_DelAllRcdOnDev).size(), c.erases) << c.what;
    }
    ExpectBalanced("clearing");

    // Answers other than exactly 1 within 16 bits mean no terminal, and the search succeeds.
    for (int answer : {0, 2, -1, 32767, -32768, 257}) {
        int terminal = HwSim_AddSerialTerminal(4, 1);
        HwSim_SetExistAnswer(terminal, answer);
        ComPtr<_Collection> col = NewCollection();
        BSTR message = SysAllocString(L"kept");
        VARIANT_BOOL result = 7;
        EXPECT_EQ(machine->funcRegister(col.GetAddressOf(), VARIANT_TRUE, 3, 5, nullptr, nullptr, 1, 2, &message,
                                        &result), S_OK);
        EXPECT_EQ(result, VARIANT_TRUE) << answer;
        EXPECT_STREQ(message, L"kept") << answer;
        EXPECT_EQ(HostStub_CreatedObjects(HOSTSTUB_MachineItem), 0) << answer;
        EXPECT_EQ(Calls(HWSIM_IsDevExist).size(), 6u) << answer;
        SysFreeString(message);
        col.Reset();
        ExpectBalanced("probe answer " + std::to_string(answer));
        HwSim_Reset();
    }
}

} // namespace
} // namespace kavro::test
