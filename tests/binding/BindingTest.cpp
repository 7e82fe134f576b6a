// Kavro.dll loads HwDev.dll by name on the first call into it, never from
// DllMain; when the standard search fails it tries its own folder. A missing
// library or entry point is a clean failure of the calling operation.
//
// Each case runs in a child process ("--probe <folder>") so that one case's
// HwDev.dll cannot answer for another's.
#include <gtest/gtest.h>
#include <windows.h>

#include <string>

#include "MessageBoxes.h"
#include "MemoryRecordset.h"
#include "Process.h"
#include "frame/Identity.h"
#include "frame/Owners.h"
#include "ZebMachine.h"

namespace {

using kavro::Bstr;
using kavro::ComPtr;

std::wstring ExeFolder()
{
    wchar_t path[MAX_PATH];
    DWORD n = GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring folder(path, n);
    return folder.substr(0, folder.find_last_of(L"\\/") + 1);
}

std::wstring LoadedHwDev()
{
    HMODULE module = GetModuleHandleW(L"HwDev.dll");
    if (!module) return L"none";
    wchar_t path[MAX_PATH];
    DWORD n = GetModuleFileNameW(module, path, MAX_PATH);
    return std::wstring(path, n);
}

std::wstring Description()
{
    ComPtr<IErrorInfo> info;
    if (GetErrorInfo(0, &info) != S_OK || !info) return L"";
    Bstr text;
    info->GetDescription(text.out());
    return std::wstring(text.view());
}

// The child: one copy of Kavro.dll, as a host would load it, and two calls.
int Probe(const std::wstring& folder)
{
    if (FAILED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED))) return 2;
    HMODULE kavro = LoadLibraryW((folder + L"\\Kavro.dll").c_str());
    if (!kavro) return 3;
    wprintf(L"after load: %ls\n", LoadedHwDev().c_str());

    using GetClassObject = HRESULT(__stdcall*)(REFCLSID, REFIID, void**);
    auto getClassObject = reinterpret_cast<GetClassObject>(
        reinterpret_cast<void*>(GetProcAddress(kavro, "DllGetClassObject")));
    ComPtr<IClassFactory> factory;
    ComPtr<IMachine> machine;
    if (!getClassObject ||
        FAILED(getClassObject(kavro::CLSID_clsMachine, IID_IClassFactory,
                              reinterpret_cast<void**>(factory.GetAddressOf()))) ||
        FAILED(factory->CreateInstance(nullptr, IID_IMachine, reinterpret_cast<void**>(machine.GetAddressOf()))))
        return 4;

    VARIANT_BOOL result = 7;
    HRESULT hr = machine->delCardData(VARIANT_TRUE, nullptr, 1, 1, &result);
    wprintf(L"delCardData: hr=%08lx result=%d\n", static_cast<unsigned long>(hr), result);

    Bstr ip(L"10.0.0.1");
    BSTR message = SysAllocString(L"x");
    _Collection* none = nullptr;
    result = 7;
    hr = machine->DownloadCarddata(VARIANT_FALSE, ip.get(), 0, 1, &none, &message, &result);
    wprintf(L"DownloadCarddata: hr=%08lx result=%d description=%ls\n", static_cast<unsigned long>(hr), result,
            FAILED(hr) ? Description().c_str() : L"");

    // The two fingerprint operations trap the failure: false, and a successful call.
    memrs::MemoryRecordset rs({L"cpsn_num", L"bFingerprint"});
    rs.AddRow({memrs::Value::Text(L"1"), memrs::Value::Bytes({1, 2, 3})});
    _Recordset* rsData = rs.get();
    Bstr person(L"1");
    SysReAllocString(&message, L"x");
    result = 7;
    hr = machine->funcBackFingure(VARIANT_FALSE, ip.get(), 0, 1, person.get(), &rsData, &message, &result);
    wprintf(L"funcBackFingure: hr=%08lx result=%d message=%ls\n", static_cast<unsigned long>(hr), result, message);
    result = 7;
    hr = machine->funcReWrite(VARIANT_FALSE, ip.get(), 0, 1, person.get(), rsData, &message, &result);
    wprintf(L"funcReWrite: hr=%08lx result=%d message=[%ls]\n", static_cast<unsigned long>(hr), result, message);
    wprintf(L"loaded: %ls\n", LoadedHwDev().c_str());

    // Discovery traps the failure: one box, false, the fixed message.
    SysFreeString(message);
    message = SysAllocString(L"x");
    Bstr none4(L"");
    result = 7;
    kavro::test::MessageBoxWatch watch;
    hr = machine->funcRegister(&none, VARIANT_TRUE, 1, 1, none4.get(), none4.get(), 1, 1, &message, &result);
    auto boxes = watch.Stop();
    wprintf(L"funcRegister: hr=%08lx result=%d message=%ls boxes=%u", static_cast<unsigned long>(hr), result,
            lstrcmpW(message, L"搜索考勤机失败，请重试！") == 0 ? L"fixed" : L"other", static_cast<unsigned>(boxes.size()));
    for (const auto& box : boxes)
        wprintf(L" buttons=%u ok=%d text=%ls", static_cast<unsigned>(box.buttons.size()),
                box.buttons.size() == 1 && box.buttons[0] == IDOK, box.text.c_str());
    wprintf(L"\n");
    SysFreeString(message);
    machine.Reset();
    factory.Reset();
    CoUninitialize();
    fflush(stdout);
    return 0;
}

// Runs this program with --probe <folder> and returns what it printed.
std::string RunProbe(const std::wstring& folder)
{
    wchar_t self[MAX_PATH];
    GetModuleFileNameW(nullptr, self, MAX_PATH);
    auto outcome = kavro::test::RunProcess(L"\"" + std::wstring(self) + L"\" --probe \"" + folder + L"\"", ExeFolder());
    return outcome.output + "exit=" + std::to_string(outcome.exitCode) + "\n";
}

bool Contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

TEST(Binding, MissingLibraryIsARunTimeErrorOfTheCallingOperation)
{
    std::string out = RunProbe(ExeFolder() + L"nolib");
    EXPECT_TRUE(Contains(out, "exit=0")) << out;
    EXPECT_TRUE(Contains(out, "delCardData: hr=00000000 result=0")) << "trapped: false, S_OK\n" << out;
    EXPECT_TRUE(Contains(out, "DownloadCarddata: hr=800a0035 result=0 description=File not found: HwDev.dll"))
        << "untrapped: the failure with its description\n" << out;
    EXPECT_TRUE(Contains(out, "funcRegister: hr=00000000 result=0 message=fixed boxes=1 buttons=1 ok=1 text=Searching "
                              "serial port 1, terminal number 1: File not found: HwDev.dll")) << out;
    EXPECT_TRUE(Contains(out, "funcBackFingure: hr=00000000 result=0 message=x")) << out;
    EXPECT_TRUE(Contains(out, "funcReWrite: hr=00000000 result=0 message=[]"))
        << "the library is first needed for the send, after the rows were read\n" << out;
}

TEST(Binding, MissingEntryPointIsARunTimeErrorOfTheCallingOperation)
{
    std::string out = RunProbe(ExeFolder() + L"partial");
    EXPECT_TRUE(Contains(out, "exit=0")) << out;
    EXPECT_TRUE(Contains(out, "delCardData: hr=00000000 result=0")) << out;
    EXPECT_TRUE(Contains(out, "DownloadCarddata: hr=800a01c5 result=0 description=Can't find DLL entry point "
                              "HwDev_FreeRcdList in HwDev.dll")) << out;
    EXPECT_TRUE(Contains(out, "funcBackFingure: hr=00000000 result=0 message=x")) << out;
    EXPECT_TRUE(Contains(out, "funcReWrite: hr=00000000 result=0 message=[]")) << out;
    EXPECT_TRUE(Contains(out, "funcRegister: hr=00000000 result=-1 message=other boxes=0"))
        << "discovery needs HwDev_IsDevExist only\n" << out;
}

TEST(Binding, MissingProbeEntryPointFailsTheSearchWithTheBox)
{
    std::string out = RunProbe(ExeFolder() + L"bare");
    EXPECT_TRUE(Contains(out, "exit=0")) << out;
    EXPECT_TRUE(Contains(out, "funcRegister: hr=00000000 result=0 message=fixed boxes=1 buttons=1 ok=1 text=Searching "
                              "serial port 1, terminal number 1: Can't find DLL entry point HwDev_IsDevExist in "
                              "HwDev.dll")) << out;
}

TEST(Binding, LibraryBesideTheComponentIsFoundOnFirstUseOnly)
{
    std::string out = RunProbe(ExeFolder() + L"side");
    EXPECT_TRUE(Contains(out, "exit=0")) << out;
    EXPECT_TRUE(Contains(out, "after load: none")) << "nothing is loaded before the first call\n" << out;
    EXPECT_TRUE(Contains(out, "delCardData: hr=00000000 result=-1")) << out;
    EXPECT_TRUE(Contains(out, "DownloadCarddata: hr=00000000 result=-1")) << out;
    EXPECT_TRUE(Contains(out, "side\\HwDev.dll")) << out;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc == 3 && std::string(argv[1]) == "--probe") {
        std::string folder = argv[2];
        return Probe(std::wstring(folder.begin(), folder.end()));
    }
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
