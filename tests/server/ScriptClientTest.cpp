// Real late-bound clients: VBScript that creates Kavro.clsMachine by ProgID
// and calls it by name through IDispatch, with its variables passed by
// reference.
//
// LateBoundClient.vbs runs in the platform's console script host, a process
// of its own with its own HwDev.dll and so no terminals. To reach this
// process's simulator, the same script engine is also hosted here, through
// the platform's ScriptControl.
#include <cwchar>
#include <string>

#include "MessageBoxes.h"
#include "Scenario.h"
#include "ServerSupport.h"
#include "TestEnv.h"
#include "frame/Owners.h"

namespace kavro::test {
namespace {

constexpr DWORD kAllPassed = 100;  // LateBoundClient.vbs's exit code for success

class ScriptClient : public ComTest {};

TEST_F(ScriptClient, ConsoleScriptHostCreatesByProgIdAndCallsByName)
{
    const std::wstring line =
        L"\"" + SystemProgram(L"cscript.exe") + L"\" //Nologo \"" + BinDir() + L"LateBoundClient.vbs\"";
    MessageBoxWatch boxes;  // the failing search's box, in the script's process
    ProcessOutcome run = RunProcess(line, BinDir());
    auto seen = boxes.Stop();

    EXPECT_EQ(run.exitCode, kAllPassed) << "script output:\n" << run.output;
    EXPECT_NE(run.output.find("ok 17:"), std::string::npos) << "every check ran:\n" << run.output;
    ASSERT_EQ(seen.size(), 1u) << "one box, for the failing search";
    EXPECT_NE(seen[0].text.find(L"\"nodots\" has no fourth"), std::wstring::npos);
}

// The ScriptControl, driven by name as a script host would be.
class HostedVBScript {
public:
    HostedVBScript()
    {
        CLSID clsid;
        if (FAILED(CLSIDFromProgID(L"MSScriptControl.ScriptControl", &clsid))) return;
        CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IID_IDispatch,
                         reinterpret_cast<void**>(control_.GetAddressOf()));
        Bstr language(L"VBScript");
        if (control_ && FAILED(Call(L"Language", DISPATCH_PROPERTYPUT, language.get(), nullptr))) control_.Reset();
    }

    bool Ready() const { return control_ != nullptr; }

    HRESULT AddCode(const wchar_t* code) { return Call(L"AddCode", DISPATCH_METHOD, Bstr(code).get(), nullptr); }

    // The value of a script expression as text, or why it failed.
    std::wstring Eval(const wchar_t* expression)
    {
        Variant result;
        EXCEPINFO failure{};
        HRESULT hr = Call(L"Eval", DISPATCH_METHOD, Bstr(expression).get(), result.get(), &failure);
        Bstr description = Bstr::Attach(failure.bstrDescription);
        SysFreeString(failure.bstrSource);
        SysFreeString(failure.bstrHelpFile);
        if (FAILED(hr)) {
            wchar_t code[16];
            swprintf(code, 16, L"0x%08lX", static_cast<unsigned long>(hr == DISP_E_EXCEPTION ? failure.scode : hr));
            return L"(failed " + std::wstring(code) + L": " + std::wstring(description.view()) + L")";
        }
        if (FAILED(VariantChangeType(result.get(), result.get(), 0, VT_BSTR))) return L"(not text)";
        return V_BSTR(result.get());
    }

private:
    HRESULT Call(const wchar_t* member, WORD flags, BSTR text, VARIANT* result, EXCEPINFO* failure = nullptr)
    {
        DISPID id = 0;
        LPOLESTR name = const_cast<LPOLESTR>(member);
        HRESULT hr = control_->GetIDsOfNames(IID_NULL, &name, 1, LOCALE_USER_DEFAULT, &id);
        if (FAILED(hr)) return hr;
        return InvokeWith(control_.Get(), id, flags, {Text(text)}, result, failure);
    }

    ComPtr<IDispatch> control_;
};

// What a host's download code does, summed up as text: the answer, strMsg,
// the count, then each card's number and its punch time in seconds.
constexpr wchar_t kDownloadScript[] = LR"(
Function Download(ip, machineNo)
    Dim m, c, msg, r, card, text
    Set m = CreateObject("Kavro.clsMachine")
    Set c = CreateObject("ZebMachine.Collection")
    msg = "as passed"
    r = m.IMachine_DownloadCarddata(False, ip, 0, machineNo, c, msg)
    text = CInt(r) & "|" & msg & "|" & c.Count
    For Each card In c
        ' 25569 is 1970-01-01 as an Automation date; the punch clock counts from 08:00.
        text = text & "|" & card.vCardNo & "@" & Round((CDbl(card.vCardTime) - 25569) * 86400 - 28800)
    Next
    Download = text
End Function
)";

TEST_F(ScriptClient, HostedScriptDownloadsATerminalsPunches)
{
    HostedVBScript script;
    ASSERT_TRUE(script.Ready()) << "the platform's ScriptControl with VBScript";
    ASSERT_EQ(Hr{script.AddCode(kDownloadScript)}, Hr{S_OK});
    int terminal = HwSim_AddNetTerminal("10.1.2.3", 1);
    AddPunches(terminal, {{"1001", 0}, {"  00123 ", 3600}});

    EXPECT_EQ(script.Eval(L"Download(\"10.1.2.3\", 1)"), L"-1||2|1001@0|00123@3600");
    EXPECT_EQ(Calls(HWSIM_RecvAllRcdFromDev).size(), 1u);
    EXPECT_EQ(Calls(HWSIM_FreeRcdList).size(), 1u);
}

} // namespace
} // namespace kavro::test
