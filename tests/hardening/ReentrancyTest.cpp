// The host's thread re-entering the component: a posted window message that
// calls the same object during the message pass of funcBackFingure, and
// during discovery's message box.
#include "Hardening.h"
#include "MessageBoxes.h"

namespace kavro::test {
namespace {

const wchar_t kSearchFailed[] = L"搜索考勤机失败，请重试！";

// A window of the host's thread; its WM_APP runs a call on the component.
class NestingWindow {
public:
    explicit NestingWindow(std::function<void()> call) : call_(std::move(call))
    {
        WNDCLASSW windowClass{};
        windowClass.lpfnWndProc = Procedure;
        windowClass.hInstance = GetModuleHandleW(nullptr);
        windowClass.lpszClassName = L"KavroNestingWindow";
        RegisterClassW(&windowClass);
        window_ = CreateWindowExW(0, windowClass.lpszClassName, L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                                  windowClass.hInstance, nullptr);
        SetWindowLongPtrW(window_, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
        PostMessageW(window_, WM_APP, 0, 0);
    }
    ~NestingWindow() { DestroyWindow(window_); }
    int Ran() const { return ran_; }

private:
    static LRESULT CALLBACK Procedure(HWND window, UINT msg, WPARAM wParam, LPARAM lParam)
    {
        if (msg != WM_APP) return DefWindowProcW(window, msg, wParam, lParam);
        auto* self = reinterpret_cast<NestingWindow*>(GetWindowLongPtrW(window, GWLP_USERDATA));
        ++self->ran_;
        self->call_();
        return 0;
    }

    std::function<void()> call_;
    HWND window_ = nullptr;
    int ran_ = 0;
};

class ReentrancyTest : public HardeningTest {
protected:
    void SetUp() override
    {
        HardeningTest::SetUp();
        terminal = HwSim_AddSerialTerminal(3, 7);
        AddEmployee(terminal, "1001", Template(40, 1));
        AddPunches(terminal, {{"1001", 0}, {"1002", 60}});
    }

    // The nested call: a download from the same terminal, on the same object.
    void Download()
    {
        ComPtr<_Collection> col = NewCollection();
        BSTR message = nullptr;
        VARIANT_BOOL result = 7;
        EXPECT_EQ(machine->DownloadCarddata(VARIANT_TRUE, nullptr, 3, 7, col.GetAddressOf(), &message, &result), S_OK);
        EXPECT_EQ(result, VARIANT_TRUE);
        long count = 0;
        col->Count(&count);
        EXPECT_EQ(count, 2) << "the nested download gets every punch";
        SysFreeString(message);
    }

    int terminal = 0;
};

TEST_F(ReentrancyTest, ACallFromTheBackupsMessagePassWorksAndSoDoesTheBackup)
{
    auto rs = std::make_optional(FingerprintRecordset());
    {
        NestingWindow window([this] { Download(); });
        Bstr person(L"1001");
        BSTR message = SysAllocString(L"host");
        VARIANT_BOOL result = 7;
        _Recordset* target = rs->get();
        ASSERT_EQ(machine->funcBackFingure(VARIANT_TRUE, nullptr, 3, 7, person.get(), &target, &message, &result), S_OK);
        EXPECT_EQ(window.Ran(), 1);
        EXPECT_EQ(result, VARIANT_TRUE);
        EXPECT_STREQ(message, L"host");
        EXPECT_EQ(rs->At(0, L"bFingerprint").AsBytes(), Template(40, 1));
        SysFreeString(message);
    }
    std::vector<int> order;
    for (const HwSimCall& call : AllCalls()) order.push_back(call.func);
    EXPECT_EQ(order, (std::vector<int>{HWSIM_RecvAllRcdFromDev, HWSIM_FreeRcdList, HWSIM_RecvEmployeeFromDev,
                                       HWSIM_FreeEmployeeList})) << "the nested call ran first, at the start";
    rs.reset();
    ExpectBalanced("nested in the backup");
}

TEST_F(ReentrancyTest, ACallFromDiscoverysMessageBoxWorksAndTheBoxNamesLongTextsShortly)
{
    ComPtr<_Collection> col = NewCollection();
    BSTR message = SysAllocString(L"host");
    VARIANT_BOOL result = 7;
    {
        NestingWindow window([this] { Download(); });
        Bstr noDot(L"nodot");
        MessageBoxWatch watch;
        ASSERT_EQ(machine->funcRegister(col.GetAddressOf(), VARIANT_FALSE, 0, 0, noDot.get(), noDot.get(), 1, 1,
                                        &message, &result), S_OK);
        EXPECT_EQ(watch.Stop().size(), 1u);
        EXPECT_EQ(window.Ran(), 1) << "the box's own loop dispatched the message";
        EXPECT_EQ(result, VARIANT_FALSE);
        EXPECT_STREQ(message, kSearchFailed);
    }
    EXPECT_EQ(Calls(HWSIM_RecvAllRcdFromDev).size(), 1u);

    const Bstr longAddress = LongText(100000);
    MessageBoxWatch watch;
    ASSERT_EQ(machine->funcRegister(col.GetAddressOf(), VARIANT_FALSE, 0, 0, longAddress.get(), longAddress.get(), 1,
                                    1, &message, &result), S_OK);
    auto boxes = watch.Stop();
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_LT(boxes[0].text.size(), 300u) << "a runaway address is cut short";
    EXPECT_NE(boxes[0].text.find(L"(100000 characters)"), std::wstring::npos) << std::wstring(boxes[0].text);
    EXPECT_EQ(result, VARIANT_FALSE);
    SysFreeString(message);
    col.Reset();
    ExpectBalanced("nested in the box");
}

} // namespace
} // namespace kavro::test
