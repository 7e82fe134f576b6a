// A 64-bit host, as a 64-bit application meets Kavro.clsMachine: through
// the surrogate, never in its own process. One scenario against the sample
// site (terminals.json beside the simulator): discovery and download fill
// this process's own Collection; a backup writes into this process's
// recordset and a re-write reads from it, round-tripping a template; a
// failing search answers without a window; late binding works too.
// Prints "ok: ..." or "FAILED: ..." a line each; exit 0 when all held.
#include <windows.h>
#include <objbase.h>
#include <sddl.h>
#include <oleauto.h>
#include <tlhelp32.h>
#include <wrl/client.h>

#include <string>
#include <thread>
#include <vector>

#include <ZebMachine.h>

#include "HostObjects.h"
#include "MemoryRecordset.h"

using Microsoft::WRL::ComPtr;

namespace {

int g_failed = 0;

// A line on the standard output, in UTF-8.
void Say(const std::wstring& line)
{
    std::wstring text = line + L"\n";
    int bytes = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0, nullptr, nullptr);
    std::string utf8(static_cast<size_t>(bytes), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), utf8.data(), bytes, nullptr, nullptr);
    DWORD written = 0;
    WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), utf8.data(), static_cast<DWORD>(utf8.size()), &written, nullptr);
}

void Check(bool held, const std::wstring& what)
{
    Say((held ? L"ok: " : L"FAILED: ") + what);
    if (!held) ++g_failed;
}

std::wstring Hex(HRESULT hr)
{
    wchar_t text[16];
    swprintf(text, 16, L"0x%08lX", static_cast<unsigned long>(hr));
    return text;
}

class Bstr {
public:
    explicit Bstr(const wchar_t* text = L"") : b_(SysAllocString(text)) {}
    Bstr(const Bstr&) = delete;
    Bstr& operator=(const Bstr&) = delete;
    ~Bstr() { SysFreeString(b_); }
    BSTR get() const { return b_; }
    BSTR* out() { SysFreeString(b_); b_ = nullptr; return &b_; }
    std::wstring text() const { return b_ ? std::wstring(b_, SysStringLen(b_)) : L""; }

private:
    BSTR b_;
};

// A property of an item the component put into the collection, late bound
// as the host reads it.
std::wstring PropertyText(IDispatch* item, const wchar_t* name)
{
    DISPID id = 0;
    LPOLESTR names[] = {const_cast<LPOLESTR>(name)};
    if (FAILED(item->GetIDsOfNames(IID_NULL, names, 1, LOCALE_USER_DEFAULT, &id))) return L"<no " + std::wstring(name) + L">";
    DISPPARAMS none{};
    VARIANT value;
    VariantInit(&value);
    if (FAILED(item->Invoke(id, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_PROPERTYGET, &none, &value, nullptr, nullptr)))
        return L"<" + std::wstring(name) + L" unreadable>";
    std::wstring text = L"<" + std::wstring(name) + L" not text>";
    if (SUCCEEDED(VariantChangeType(&value, &value, 0, VT_BSTR))) text.assign(V_BSTR(&value), SysStringLen(V_BSTR(&value)));
    VariantClear(&value);
    return text;
}

std::vector<ComPtr<IDispatch>> Items(_Collection* collection)
{
    std::vector<ComPtr<IDispatch>> items;
    long count = 0;
    collection->Count(&count);
    for (long i = 1; i <= count; ++i) {
        VARIANT index, item;
        VariantInit(&index);
        VariantInit(&item);
        V_VT(&index) = VT_I4;
        V_I4(&index) = i;
        ComPtr<IDispatch> dispatch;
        if (SUCCEEDED(collection->Item(&index, &item)) && V_VT(&item) == VT_DISPATCH) dispatch = V_DISPATCH(&item);
        VariantClear(&item);
        items.push_back(dispatch);
    }
    return items;
}

ComPtr<_Collection> NewCollection()
{
    ComPtr<_Collection> collection;
    zebhost::CreateCollection(IID__Collection, reinterpret_cast<void**>(collection.GetAddressOf()));
    return collection;
}

const std::vector<std::wstring> kColumns = {L"cpsn_num", L"iFingerprintNO", L"imachineno", L"npassword", L"bFingerprint"};

// The template the component wrote into the recordset's current row.
std::vector<std::uint8_t> TemplateOf(const memrs::MemoryRecordset& recordset)
{
    std::optional<size_t> row = recordset.PendingRow();
    if (!row && recordset.RowCount() == 1) row = 0;
    if (!row) return {};
    return recordset.At(*row, L"bFingerprint").AsBytes();
}

std::vector<std::uint8_t> Backup(IMachine& machine, const wchar_t* ip, const wchar_t* person, const std::wstring& what)
{
    memrs::MemoryRecordset recordset(kColumns);
    ComPtr<_Recordset> argument = recordset.get();
    Bstr address(ip), number(person), message;
    VARIANT_BOOL ok = VARIANT_FALSE;
    HRESULT hr = machine.funcBackFingure(VARIANT_FALSE, address.get(), 0, 1, number.get(), argument.GetAddressOf(),
                                         message.out(), &ok);
    Check(hr == S_OK && ok, what + L" answers true (" + Hex(hr) + L", " + message.text() + L")");
    return TemplateOf(recordset);
}

// Whether a 32-bit dllhost.exe runs: the surrogate.
bool SurrogateRuns()
{
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (snapshot == INVALID_HANDLE_VALUE) return false;
    PROCESSENTRY32W entry{};
    entry.dwSize = sizeof entry;
    bool found = false;
    for (BOOL more = Process32FirstW(snapshot, &entry); more && !found; more = Process32NextW(snapshot, &entry)) {
        if (CompareStringOrdinal(entry.szExeFile, -1, L"dllhost.exe", -1, TRUE) != CSTR_EQUAL) continue;
        HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, entry.th32ProcessID);
        BOOL wow64 = FALSE;
        found = process && IsWow64Process(process, &wow64) && wow64;
        if (process) CloseHandle(process);
    }
    CloseHandle(snapshot);
    return found;
}

void Scenario()
{
    CLSID clsid;
    Check(SUCCEEDED(CLSIDFromProgID(L"Kavro.clsMachine", &clsid)), L"this 64-bit process resolves Kavro.clsMachine");
    ComPtr<IMachine> inProcess;
    HRESULT hr = CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IID_IMachine,
                                  reinterpret_cast<void**>(inProcess.GetAddressOf()));
    Check(hr == REGDB_E_CLASSNOTREG, L"in-process creation is refused as class not registered (" + Hex(hr) + L")");
    ComPtr<IMachine> machine;
    hr = CoCreateInstance(clsid, nullptr, CLSCTX_ALL, IID_IMachine, reinterpret_cast<void**>(machine.GetAddressOf()));
    Check(SUCCEEDED(hr) && machine, L"CLSCTX_ALL creates Kavro.clsMachine (" + Hex(hr) + L")");
    if (!machine) return;
    Check(SurrogateRuns(), L"a 32-bit dllhost.exe serves it");

    // Discovery over the network and the serial ports, into our collection.
    ComPtr<_Collection> found = NewCollection();
    Bstr low(L"192.168.1.200"), high(L"192.168.1.210"), message;
    VARIANT_BOOL ok = VARIANT_FALSE;
    hr = machine->funcRegister(found.GetAddressOf(), VARIANT_FALSE, 0, 0, low.get(), high.get(), 1, 1, message.out(), &ok);
    std::wstring addresses;
    for (const auto& item : Items(found.Get())) addresses += (addresses.empty() ? L"" : L" ") + PropertyText(item.Get(), L"vIp");
    Check(hr == S_OK && ok && addresses == L"192.168.1.201 192.168.1.202",
          L"network discovery finds 192.168.1.201 and 192.168.1.202 (found: " + addresses + L")");
    ComPtr<_Collection> ports = NewCollection();
    hr = machine->funcRegister(ports.GetAddressOf(), VARIANT_TRUE, 1, 4, low.get(), high.get(), 1, 1, message.out(), &ok);
    std::wstring portsFound;
    for (const auto& item : Items(ports.Get())) portsFound += PropertyText(item.Get(), L"iPort");
    Check(hr == S_OK && ok && portsFound == L"3", L"serial discovery finds port 3 (found: " + portsFound + L")");

    // Download: every punch of 192.168.1.201 into our collection.
    ComPtr<_Collection> punches = NewCollection();
    Bstr first(L"192.168.1.201"), second(L"192.168.1.202");
    hr = machine->DownloadCarddata(VARIANT_FALSE, first.get(), 0, 1, punches.GetAddressOf(), message.out(), &ok);
    // Every read of an item is a call into the surrogate: the first and the
    // last stand for the rest.
    auto cards = Items(punches.Get());
    size_t complete = 0;
    for (size_t i : {size_t{0}, cards.size() - 1}) {
        if (i < cards.size() && cards[i])
            complete += !PropertyText(cards[i].Get(), L"vCardNo").empty() && PropertyText(cards[i].Get(), L"vCardTime").size() > 6;
    }
    Check(hr == S_OK && ok && cards.size() == 110 && complete == 2,
          L"download brings all 110 punches of 192.168.1.201, the first and last with card and time (" +
              std::to_wstring(cards.size()) + L" items)");

    // Backup into our recordset, re-write from it to the other terminal,
    // and back up again from there: the same bytes.
    std::vector<std::uint8_t> backed = Backup(*machine.Get(), L"192.168.1.201", L"1003", L"backup of 1003 from .201");
    Check(backed.size() > 10, L"the backup wrote a template of " + std::to_wstring(backed.size()) + L" bytes into our recordset");
    memrs::MemoryRecordset row(kColumns);
    row.AddRow({memrs::Value::Text(L"1003"), memrs::Value::Int16(0), memrs::Value::Int16(1), memrs::Value(),
                memrs::Value::Bytes(backed)});
    Bstr person(L"1003");
    BSTR text = SysAllocString(L"Surrogate");
    hr = machine->funcReWrite(VARIANT_FALSE, second.get(), 0, 1, person.get(), row.get(), &text, &ok);
    SysFreeString(text);
    Check(hr == S_OK && ok, L"re-write of 1003 to .202 from our recordset answers true (" + Hex(hr) + L")");
    Check(Backup(*machine.Get(), L"192.168.1.202", L"1003", L"backup of 1003 from .202") == backed,
          L"the template came back from .202 byte for byte");

    // A search that fails shows no window in the surrogate: the call returns,
    // and the message says why.
    Bstr bad(L"10.0.0");
    ComPtr<_Collection> none = NewCollection();
    hr = machine->funcRegister(none.GetAddressOf(), VARIANT_FALSE, 0, 0, bad.get(), bad.get(), 1, 1, message.out(), &ok);
    Check(hr == S_OK && !ok && message.text().rfind(L"搜索考勤机失败，请重试！", 0) == 0 &&
              message.text().find(L"strIPMin") != std::wstring::npos,
          L"a failing search answers false with its reason and no window (" + message.text() + L")");

    // Late binding through the default interface, as scripts call it.
    ComPtr<IDispatch> late;
    machine.As(&late);
    DISPID id = 0;
    LPOLESTR name[] = {const_cast<LPOLESTR>(L"IMachine_DownloadCarddata")};
    hr = late ? late->GetIDsOfNames(IID_NULL, name, 1, LOCALE_USER_DEFAULT, &id) : E_NOINTERFACE;
    ComPtr<_Collection> lateCards = NewCollection();
    _Collection* lateCollection = lateCards.Get();
    BSTR lateMessage = SysAllocString(L"");
    VARIANT args[6], result;  // the last argument first
    for (VARIANT& a : args) VariantInit(&a);
    VariantInit(&result);
    V_VT(&args[0]) = VT_BYREF | VT_BSTR, V_BSTRREF(&args[0]) = &lateMessage;
    V_VT(&args[1]) = VT_BYREF | VT_DISPATCH, V_DISPATCHREF(&args[1]) = reinterpret_cast<IDispatch**>(&lateCollection);
    V_VT(&args[2]) = VT_I2, V_I2(&args[2]) = 1;
    V_VT(&args[3]) = VT_I2, V_I2(&args[3]) = 3;
    V_VT(&args[4]) = VT_BSTR, V_BSTR(&args[4]) = first.get();
    V_VT(&args[5]) = VT_BOOL, V_BOOL(&args[5]) = VARIANT_TRUE;
    DISPPARAMS params{args, nullptr, 6, 0};
    if (SUCCEEDED(hr)) hr = late->Invoke(id, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_METHOD, &params, &result, nullptr, nullptr);
    long lateCount = 0;
    lateCards->Count(&lateCount);
    Check(hr == S_OK && V_VT(&result) == VT_BOOL && V_BOOL(&result) && lateCount == 36,
          L"late-bound IMachine_DownloadCarddata of port 3 fills our collection with its 36 punches (" + Hex(hr) + L", " +
              std::to_wstring(lateCount) + L")");
    SysFreeString(lateMessage);
    VariantClear(&result);

    // The last two operations: clearing port 3 leaves nothing to download;
    // writing cards is not supported and answers false.
    Bstr none3(L"");
    hr = machine->delCardData(VARIANT_TRUE, none3.get(), 3, 1, &ok);
    ComPtr<_Collection> after = NewCollection();
    HRESULT again = machine->DownloadCarddata(VARIANT_TRUE, none3.get(), 3, 1, after.GetAddressOf(), message.out(), &ok);
    long left = -1;
    after->Count(&left);
    Check(hr == S_OK && again == S_OK && left == 0, L"delCardData of port 3, then nothing to download there (" +
                                                        Hex(hr) + L", " + std::to_wstring(left) + L" left)");
    hr = machine->funcWriteCard(VARIANT_TRUE, none3.get(), 3, 1, after.Get(), message.out(), &ok);
    Check(hr == S_OK && !ok, L"funcWriteCard answers false (" + Hex(hr) + L")");

    Check(!GetModuleHandleW(L"Kavro.dll") && !GetModuleHandleW(L"HwDev.dll"),
          L"neither Kavro.dll nor HwDev.dll was loaded into this process");
}

} // namespace

// "register FILE...": registers type libraries, as the host's and the
// platform's installations do (in both registry views, under Wine).
int RegisterTypeLibraries(int count, wchar_t** files)
{
    int failed = 0;
    for (int i = 0; i < count; ++i) {
        ComPtr<ITypeLib> library;
        HRESULT hr = LoadTypeLibEx(files[i], REGKIND_REGISTER, library.GetAddressOf());
        Check(SUCCEEDED(hr), L"registered the type library " + std::wstring(files[i]) + L" (" + Hex(hr) + L")");
        failed += FAILED(hr);
    }
    return failed ? 1 : 0;
}

// "protect [--check] KEY...": gives keys under HKEY_CLASSES_ROOT (64-bit
// view) the DACL that Windows' own keys have for an administrator (owned by
// TrustedInstaller: read, nothing more), then checks that they refuse write
// access and open for reading. --check only checks.
int ProtectKeys(bool set, int count, wchar_t** keys)
{
    PSECURITY_DESCRIPTOR readOnly = nullptr;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(L"D:P(A;OICI;KR;;;BA)(A;OICI;KR;;;SY)(A;OICI;KR;;;WD)",
                                                              SDDL_REVISION_1, &readOnly, nullptr)) {
        Say(L"FAILED: the security descriptor cannot be made");
        return 1;
    }
    for (int i = 0; i < count; ++i) {
        HKEY key = nullptr;
        if (set) {
            LSTATUS status = RegOpenKeyExW(HKEY_CLASSES_ROOT, keys[i], 0, WRITE_DAC | KEY_WOW64_64KEY, &key);
            if (status == ERROR_SUCCESS) status = RegSetKeySecurity(key, DACL_SECURITY_INFORMATION, readOnly);
            if (key) RegCloseKey(key);
            Check(status == ERROR_SUCCESS, L"HKCR\\" + std::wstring(keys[i]) + L" may only be read (" + std::to_wstring(status) + L")");
        }
        key = nullptr;
        LSTATUS all = RegOpenKeyExW(HKEY_CLASSES_ROOT, keys[i], 0, KEY_ALL_ACCESS | KEY_WOW64_64KEY, &key);
        if (key) RegCloseKey(key);
        key = nullptr;
        LSTATUS read = RegOpenKeyExW(HKEY_CLASSES_ROOT, keys[i], 0, KEY_READ | KEY_WOW64_64KEY, &key);
        if (key) RegCloseKey(key);
        Check(all == ERROR_ACCESS_DENIED && read == ERROR_SUCCESS,
              L"HKCR\\" + std::wstring(keys[i]) + L" refuses write access (" + std::to_wstring(all) + L") and opens for reading (" +
                  std::to_wstring(read) + L")");
    }
    LocalFree(readOnly);
    return g_failed ? 1 : 0;
}

int wmain(int argc, wchar_t** argv)
{
    if (argc > 1 && std::wstring(argv[1]) == L"register") return RegisterTypeLibraries(argc - 2, argv + 2);
    if (argc > 2 && std::wstring(argv[1]) == L"protect") {
        const bool check = std::wstring(argv[2]) == L"--check";
        return ProtectKeys(!check, argc - (check ? 3 : 2), argv + (check ? 3 : 2));
    }
    // A call held up in the surrogate (a window nobody closes, say) must not
    // hang the test: say so and end.
    std::thread([] {
        Sleep(300000);
        Say(L"FAILED: the scenario did not end within 300 s");
        ExitProcess(3);
    }).detach();
    if (FAILED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED))) {
        Say(L"FAILED: COM cannot be initialised");
        return 2;
    }
    Scenario();
    CoUninitialize();
    Say(g_failed ? L"x64 client: FAILED" : L"x64 client: all held");
    return g_failed ? 1 : 0;
}
