// Fingerprint backup: the employee whose number matches is copied into the
// current row of the host's recordset, in the host's order of calls, and the
// employee list goes back to the library exactly once on every path.
#include "Fingerprint.h"

#include "Arguments.h"

namespace kavro::test {
namespace {

const wchar_t kNoMatchStart[] = L"卡号为";
const wchar_t kNoMatchEnd[] = L"的员工没有登记指纹数据";

class BackupTest : public ComTest {
protected:
    void SetUp() override
    {
        ComTest::SetUp();
        machine = NewMachine();
        ASSERT_TRUE(machine);
        terminal = HwSim_AddSerialTerminal(3, 7);
    }
    void TearDown() override
    {
        EXPECT_EQ(Calls(HWSIM_FreeEmployeeList).size(), Calls(HWSIM_RecvEmployeeFromDev).size())
            << "one free for each receive";
        SysFreeString(message);
        ComTest::TearDown();
    }

    // blnPort 1 selects the serial link exactly as -1 does.
    void Backup(const wchar_t* person, const memrs::MemoryRecordset& rs)
    {
        Backup(person ? std::optional<std::wstring_view>(person) : std::nullopt, rs);
    }
    // The person number as the host passes it, NULs and all; nullopt is a NULL BSTR.
    void Backup(std::optional<std::wstring_view> person, const memrs::MemoryRecordset& rs)
    {
        Bstr number(person.value_or(L""));
        _Recordset* target = rs.get();
        ASSERT_EQ(machine->funcBackFingure(1, nullptr, 3, 7, person ? number.get() : nullptr, &target, &message,
                                           &result), S_OK);
        EXPECT_EQ(target, rs.get()) << "the host's reference is never replaced";
    }

    std::wstring Message() const { return std::wstring(ViewOf(message)); }

    ComPtr<IMachine> machine;
    int terminal = 0;
    BSTR message = SysAllocString(L"host text");
    VARIANT_BOOL result = 7;
};

TEST_F(BackupTest, TheFirstMatchGoesIntoANewPendingRowInTheHostsOrderOfCalls)
{
    const Bytes wanted = Template(11, 0x40);
    AddEmployee(terminal, "01001", Template(20, 1));
    AddEmployee(terminal, "A12", Template(20, 2));
    AddEmployee(terminal, " 1001  ", wanted);  // the same number as the next, once trimmed
    AddEmployee(terminal, "1001", Template(30, 3));
    auto rs = FingerprintRecordset();
    BSTR before = message;

    Backup(L" 1001 ", rs);
    EXPECT_EQ(result, VARIANT_TRUE);
    EXPECT_EQ(message, before) << "strMsg is left as the host passed it";
    EXPECT_EQ(rs.CallTexts(), (std::vector<std::wstring>{
                                  L"get_RecordCount", L"AddNew", L"put_Collect(cpsn_num)",
                                  L"put_Collect(iFingerprintNO)", L"put_Collect(imachineno)", L"get_Fields",
                                  L"Fields.get_Item(bFingerprint)", L"Field.AppendChunk(bFingerprint)"}))
        << "no Update: the host commits the row";
    ASSERT_EQ(rs.RowCount(), 1u);
    EXPECT_EQ(rs.PendingRow(), std::optional<size_t>(0));
    EXPECT_EQ(rs.At(0, L"cpsn_num").type(), VT_BSTR);
    EXPECT_EQ(rs.At(0, L"cpsn_num").AsText(), L" 1001 ") << "the person number exactly as passed";
    EXPECT_EQ(rs.At(0, L"iFingerprintNO").type(), VT_I2);
    EXPECT_EQ(rs.At(0, L"iFingerprintNO").AsText(), L"1");
    EXPECT_EQ(rs.At(0, L"imachineno").type(), VT_I2);
    EXPECT_EQ(rs.At(0, L"imachineno").AsText(), L"7");
    EXPECT_EQ(rs.At(0, L"bFingerprint").AsBytes(), wanted) << "an 11-byte template is stored whole";
    EXPECT_EQ(rs.At(0, L"npassword").type(), VT_NULL);

    auto calls = AllCalls();
    ASSERT_EQ(calls.size(), 2u);
    EXPECT_EQ(calls[0].func, HWSIM_RecvEmployeeFromDev);
    EXPECT_EQ(calls[1].func, HWSIM_FreeEmployeeList);
    AddressBytes address = AddressOf(calls[0]);
    EXPECT_EQ(address[42], 1) << "serial link";
    EXPECT_EQ(address[44], 3) << "port";
    EXPECT_EQ(address[0], 7) << "terminal number";
}

TEST_F(BackupTest, ShortTemplatesSetThePasswordAndACurrentRowIsOverwritten)
{
    AddEmployee(terminal, "10", Template(10, 1));
    AddEmployee(terminal, "0", {});
    struct Case { const wchar_t* person; std::optional<long> reported; size_t rowsBefore; };
    for (Case c : {Case{L"10", std::nullopt, 2}, Case{L"0", std::nullopt, 2}, Case{L"10", -1L, 2}}) {
        auto rs = FingerprintRecordset();
        for (size_t i = 0; i < c.rowsBefore; ++i)
            rs.AddRow({memrs::Value::Text(L"old"), {}, {}, memrs::Value::Int32(99), memrs::Value::Bytes({1, 2})});
        rs.MoveTo(1);
        rs.ReportRecordCount(c.reported);
        Backup(c.person, rs);
        EXPECT_EQ(result, VARIANT_TRUE) << c.person;
        size_t row = c.reported ? 2 : 1;
        ASSERT_EQ(rs.RowCount(), c.reported ? 3u : 2u) << "RecordCount -1 adds a row; otherwise none is added";
        EXPECT_EQ(rs.At(row, L"cpsn_num").AsText(), c.person);
        EXPECT_EQ(rs.At(row, L"npassword").type(), VT_I4) << "a 32-bit zero";
        EXPECT_EQ(rs.At(row, L"npassword").AsText(), L"0");
        EXPECT_EQ(rs.At(0, L"cpsn_num").AsText(), L"old") << "other rows stay";
        if (!c.reported) {
            EXPECT_EQ(rs.At(row, L"bFingerprint").AsBytes(), (Bytes{1, 2})) << "left alone";
        }
        EXPECT_EQ(rs.CallTexts().back(), L"put_Collect(npassword)");
    }
}

TEST_F(BackupTest, NoMatchSetsTheMessageAndLeavesTheRecordsetUntouched)
{
    AddEmployee(terminal, "01001", Template(20, 1));
    AddEmployee(terminal, "a12", Template(20, 2));
    auto rs = FingerprintRecordset();
    using Person = std::optional<std::wstring>;
    for (const Person& person : {Person(L" 1001 "), Person(L"A12"), Person(L"a1"), Person(L"a123"),
                                 Person(std::wstring(L"9\0" L"9", 3)), Person()}) {
        Backup(person ? std::optional<std::wstring_view>(*person) : std::nullopt, rs);
        EXPECT_EQ(result, VARIANT_FALSE);
        EXPECT_EQ(Message(), kNoMatchStart + person.value_or(L"") + kNoMatchEnd)
            << "the number as passed, embedded NULs too; a NULL one is the empty string";
    }
    HwSim_ForceNoOutput(HWSIM_RecvEmployeeFromDev);
    Backup(L"a12", rs);
    EXPECT_EQ(result, VARIANT_FALSE) << "a receive that fills in nothing is an empty list";
    EXPECT_EQ(Message(), std::wstring(kNoMatchStart) + L"a12" + kNoMatchEnd);
    EXPECT_TRUE(rs.Calls().empty());
    EXPECT_EQ(rs.RowCount(), 0u);
}

TEST_F(BackupTest, TrappedFailuresAnswerFalseAndKeepWhatWasWritten)
{
    AddEmployee(terminal, "5", Template(4, 1));
    auto rs = FingerprintRecordset();
    rs.RemoveColumn(L"npassword");
    Backup(L"5", rs);
    EXPECT_EQ(result, VARIANT_FALSE);
    EXPECT_EQ(Message(), L"host text") << "the trap sets no message";
    ASSERT_EQ(rs.RowCount(), 1u);
    EXPECT_EQ(rs.PendingRow(), std::optional<size_t>(0)) << "the added row stays pending";
    EXPECT_EQ(rs.At(0, L"imachineno").AsText(), L"7") << "columns written before the failure stay";

    auto failing = FingerprintRecordset();
    failing.FailCall(L"AddNew", E_ACCESSDENIED);
    Backup(L"5", failing);
    EXPECT_EQ(result, VARIANT_FALSE);
    EXPECT_EQ(failing.CallTexts(), (std::vector<std::wstring>{L"get_RecordCount", L"AddNew"}));

    _Recordset* none = nullptr;
    Bstr person(L"5");
    ASSERT_EQ(machine->funcBackFingure(VARIANT_TRUE, nullptr, 3, 7, person.get(), &none, &message, &result), S_OK);
    EXPECT_EQ(result, VARIANT_FALSE) << "no recordset";
}

TEST_F(BackupTest, ImpossibleListsAndTemplatesAnswerFalseWithoutReadingMemory)
{
    AddEmployee(terminal, "5", Template(40, 1));
    auto rs = FingerprintRecordset();
    struct Case { const char* what; int count; bool nullList; short templateLength; };
    for (Case c : {Case{"records without a list", 3, true, 0}, Case{"a negative count", -1, false, 0},
                   Case{"a count too large for memory", 0x7FFFFFFF, false, 0},
                   Case{"template bytes without an address", 0, false, 100},
                   Case{"a negative template length", 0, false, -5}}) {
        HwSim_ClearForcing();
        if (c.count) HwSim_ForceCount(HWSIM_RecvEmployeeFromDev, c.count);
        if (c.nullList) HwSim_ForceNullList(HWSIM_RecvEmployeeFromDev);
        if (c.templateLength) {
            auto raw = RawEmployee("5", c.templateLength);
            HwSim_ForceListRecord(HWSIM_RecvEmployeeFromDev, 0, raw.data(), 156, nullptr, 0);
        }
        Backup(L"5", rs);
        EXPECT_EQ(result, VARIANT_FALSE) << c.what;
        EXPECT_EQ(Message(), L"host text") << c.what;
    }
    EXPECT_TRUE(rs.Calls().empty());
}

TEST_F(BackupTest, TheSearchIsNotLimitedTo32768Records)
{
    // Zero records pad the list; the match is the last of 40001.
    const Bytes wanted = Template(1024, 9);
    auto raw = RawEmployee("77", 1024);
    HwSim_ForceCount(HWSIM_RecvEmployeeFromDev, 40001);
    HwSim_ForceListRecord(HWSIM_RecvEmployeeFromDev, 40000, raw.data(), 156, wanted.data(),
                          static_cast<int>(wanted.size()));
    auto rs = FingerprintRecordset();
    Backup(L"77", rs);
    EXPECT_EQ(result, VARIANT_TRUE);
    ASSERT_EQ(rs.RowCount(), 1u);
    EXPECT_EQ(rs.At(0, L"bFingerprint").AsBytes(), wanted);

    HwSim_ClearForcing();
    HwSim_ForceCount(HWSIM_RecvEmployeeFromDev, 32768);
    Backup(L"x", rs);
    EXPECT_EQ(result, VARIANT_FALSE) << "no match in 32768 records is the ordinary no-match path";
    EXPECT_EQ(Message(), std::wstring(kNoMatchStart) + L"x" + kNoMatchEnd);
}

// A window of the host's thread that counts what it is sent.
LRESULT CALLBACK CountingWindow(HWND window, UINT msg, WPARAM wParam, LPARAM lParam)
{
    if (msg == WM_APP) ++*reinterpret_cast<int*>(GetWindowLongPtrW(window, GWLP_USERDATA));
    return DefWindowProcW(window, msg, wParam, lParam);
}

TEST_F(BackupTest, PendingWindowMessagesAreDispatchedOnceAtTheStart)
{
    WNDCLASSW windowClass{};
    windowClass.lpfnWndProc = CountingWindow;
    windowClass.hInstance = GetModuleHandleW(nullptr);
    windowClass.lpszClassName = L"KavroBackupTest";
    RegisterClassW(&windowClass);
    HWND window = CreateWindowExW(0, windowClass.lpszClassName, L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                                  windowClass.hInstance, nullptr);
    ASSERT_TRUE(window);
    int dispatched = 0;
    SetWindowLongPtrW(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(&dispatched));
    PostMessageW(window, WM_APP, 0, 0);
    PostMessageW(window, WM_APP, 0, 0);
    auto rs = FingerprintRecordset();
    Backup(L"nobody", rs);
    EXPECT_EQ(dispatched, 2);
    EXPECT_EQ(result, VARIANT_FALSE);
    DestroyWindow(window);
}

// By name through IDispatch on both interfaces: rsData by reference as a
// typed caller and as a script passes it.
TEST_F(BackupTest, LateBoundCallsWorkOnBothInterfaces)
{
    AddEmployee(terminal, "1001", Template(12, 5));
    for (const wchar_t* name : {L"funcBackFingure", L"IMachine_funcBackFingure"}) {
        // IMachine's own IDispatch half, or the object's IDispatch (the default interface).
        ComPtr<IDispatch> dispatch = machine.Get();
        if (name[0] == L'I') {
            ASSERT_EQ(machine->QueryInterface(IID_IDispatch, reinterpret_cast<void**>(dispatch.ReleaseAndGetAddressOf())), S_OK);
        }
        DISPID id = 0;
        LPOLESTR names[] = {const_cast<LPOLESTR>(name)};
        ASSERT_EQ(dispatch->GetIDsOfNames(IID_NULL, names, 1, LOCALE_USER_DEFAULT, &id), S_OK) << name;
        for (bool script : {false, true}) {
            auto rs = FingerprintRecordset();
            ComPtr<IDispatch> rsDispatch;
            ASSERT_EQ(rs.get()->QueryInterface(IID_IDispatch, reinterpret_cast<void**>(rsDispatch.GetAddressOf())), S_OK);
            IDispatch* slot = rsDispatch.Get();
            VARIANT holder = Dispatch(rsDispatch.Get());
            VARIANT messageHolder = Text(message);
            Bstr person(L"1001");
            VARIANT answer;
            VariantInit(&answer);
            HRESULT hr = InvokeWith(dispatch.Get(), id, DISPATCH_METHOD,
                                    {Bool(VARIANT_TRUE), Text(nullptr), I2(3), I2(7), Text(person),
                                     script ? Ref(&holder) : DispatchRef(&slot),
                                     script ? Ref(&messageHolder) : TextRef(&message)},
                                    &answer);
            ASSERT_EQ(hr, S_OK) << name << (script ? " as a script" : "");
            EXPECT_EQ(V_VT(&answer), VT_BOOL);
            EXPECT_EQ(V_BOOL(&answer), VARIANT_TRUE) << name;
            ASSERT_EQ(rs.RowCount(), 1u) << name;
            EXPECT_EQ(rs.At(0, L"bFingerprint").AsBytes(), Template(12, 5)) << name;
        }
    }
}

} // namespace
} // namespace kavro::test
