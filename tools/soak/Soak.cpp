// Calls each operation many times in one process against the simulator and
// prints the growth of the process's committed private memory between the
// first checkpoint and the last call. A leak shows as growth that rises with
// the number of calls.
//
//   build/wine-run.sh build/bin/soak.exe [calls] [checkpoint] [records] [operation...]
//
// Defaults: 10000 calls, measured after 100 and after 10000, downloads of 1000
// records and backups from 1000 employees, every operation. Kavro.dll and
// ZebMachine.dll must be registered in the prefix (run.sh registers Kavro.dll;
// regsvr32 ZebMachine.dll, or a test run, does the host's).
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "HwSim.h"
#include "MemoryRecordset.h"
#include "frame/Owners.h"
#include "ZebMachine.h"

using kavro::Bstr;
using kavro::ComPtr;

namespace {

// Committed private memory: the heaps and everything else the process allocated.
SIZE_T PrivateBytes()
{
    SIZE_T total = 0;
    MEMORY_BASIC_INFORMATION region;
    for (auto* at = static_cast<const char*>(nullptr); VirtualQuery(at, &region, sizeof region);
         at = static_cast<const char*>(region.BaseAddress) + region.RegionSize) {
        if (region.State == MEM_COMMIT && region.Type == MEM_PRIVATE) total += region.RegionSize;
        if (static_cast<const char*>(region.BaseAddress) + region.RegionSize < at) break;
    }
    return total;
}

template <class Interface>
ComPtr<Interface> Create(const wchar_t* progId, REFIID iid)
{
    CLSID clsid;
    ComPtr<Interface> object;
    if (SUCCEEDED(CLSIDFromProgID(progId, &clsid)))
        CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, iid, reinterpret_cast<void**>(object.GetAddressOf()));
    return object;
}

memrs::MemoryRecordset FingerprintRecordset()
{
    return memrs::MemoryRecordset({L"cpsn_num", L"iFingerprintNO", L"imachineno", L"npassword", L"bFingerprint"});
}

struct Operation {
    const char* name;
    std::function<bool(IMachine&)> call;  // true when the call answered as it should
};

std::vector<Operation> Operations(int records)
{
    // A network terminal with the punches, a serial one with the employees.
    int punches = HwSim_AddNetTerminal("10.0.0.1", 1);
    int staff = HwSim_AddSerialTerminal(2, 1);
    std::vector<unsigned char> tpl(300);
    for (size_t i = 0; i < tpl.size(); ++i) tpl[i] = static_cast<unsigned char>(i);
    for (int i = 0; i < records; ++i) {
        unsigned char card[12] = {};
        std::snprintf(reinterpret_cast<char*>(card), sizeof card, "%d", 100000 + i);
        HwSim_AddPunch(punches, card, i * 60);
        HwSim_AddEmployee(staff, card, nullptr, 1, tpl.data(), static_cast<int>(tpl.size()));
    }
    const std::wstring last = std::to_wstring(100000 + records - 1);

    auto download = [](IMachine& m, bool withCollection) {
        auto col = Create<_Collection>(L"ZebMachine.Collection", IID__Collection);
        _Collection* given = withCollection ? col.Get() : nullptr;
        Bstr ip(L"10.0.0.1");
        BSTR message = nullptr;
        VARIANT_BOOL result = VARIANT_FALSE;
        HRESULT hr = m.DownloadCarddata(VARIANT_FALSE, ip.get(), 0, 1, &given, &message, &result);
        SysFreeString(message);
        return withCollection ? hr == S_OK && result == VARIANT_TRUE : FAILED(hr);
    };
    auto backup = [](IMachine& m, const std::wstring& person, VARIANT_BOOL expected) {
        auto rs = FingerprintRecordset();
        _Recordset* target = rs.get();
        Bstr number(person);
        BSTR message = SysAllocString(L"soak");
        VARIANT_BOOL result = VARIANT_FALSE;
        HRESULT hr = m.funcBackFingure(VARIANT_TRUE, nullptr, 2, 1, number.get(), &target, &message, &result);
        SysFreeString(message);
        return hr == S_OK && result == expected;
    };
    auto rewriteRows = std::make_shared<memrs::MemoryRecordset>(FingerprintRecordset());
    rewriteRows->AddRow({memrs::Value::Text(last), {}, {}, {}, memrs::Value::Bytes(tpl)});

    return {
        {"DownloadCarddata", [=](IMachine& m) { return download(m, true); }},
        {"DownloadCarddata-failing", [=](IMachine& m) { return records == 0 || download(m, false); }},
        {"funcBackFingure", [=](IMachine& m) { return backup(m, last, VARIANT_TRUE); }},
        {"funcBackFingure-nomatch", [=](IMachine& m) { return backup(m, L"nobody", VARIANT_FALSE); }},
        {"funcReWrite", [=](IMachine& m) {
             BSTR message = SysAllocString(L"soak");
             VARIANT_BOOL result = VARIANT_FALSE;
             HRESULT hr = m.funcReWrite(VARIANT_TRUE, nullptr, 2, 1, nullptr, rewriteRows->get(), &message, &result);
             SysFreeString(message);
             rewriteRows->ClearCalls();  // the recordset's own record of calls would grow
             return hr == S_OK && result == VARIANT_TRUE;
         }},
        {"funcRegister", [](IMachine& m) {
             auto col = Create<_Collection>(L"ZebMachine.Collection", IID__Collection);
             BSTR message = SysAllocString(L"soak");
             VARIANT_BOOL result = VARIANT_FALSE;
             HRESULT hr = m.funcRegister(col.GetAddressOf(), VARIANT_TRUE, 1, 3, nullptr, nullptr, 1, 2, &message,
                                         &result);
             SysFreeString(message);
             long found = 0;
             col->Count(&found);
             return hr == S_OK && result == VARIANT_TRUE && found == 1;
         }},
        {"funcWriteCard", [](IMachine& m) {
             BSTR message = nullptr;
             VARIANT_BOOL result = VARIANT_TRUE;
             return m.funcWriteCard(VARIANT_TRUE, nullptr, 1, 1, nullptr, &message, &result) == S_OK && !result;
         }},
        {"delCardData", [](IMachine& m) {
             VARIANT_BOOL result = VARIANT_FALSE;
             return m.delCardData(VARIANT_TRUE, nullptr, 9, 1, &result) == S_OK && result == VARIANT_TRUE;
         }},
    };
}

} // namespace

int main(int argc, char** argv)
{
    const int calls = argc > 1 ? std::atoi(argv[1]) : 10000;
    const int checkpoint = argc > 2 ? std::atoi(argv[2]) : 100;
    const int records = argc > 3 ? std::atoi(argv[3]) : 1000;
    if (calls < 1 || checkpoint < 1 || checkpoint > calls || records < 0) {
        std::printf("usage: soak [calls] [checkpoint] [records] [operation...]\n");
        return 2;
    }
    if (FAILED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED))) return 2;
    int failures = 0;
    {
        auto machine = Create<IMachine>(L"Kavro.clsMachine", IID_IMachine);
        if (!machine) {
            std::printf("Kavro.clsMachine cannot be created: register Kavro.dll and ZebMachine.dll first\n");
            return 2;
        }
        HwSim_Reset();
        for (const Operation& op : Operations(records)) {
            bool chosen = argc <= 4;
            for (int i = 4; i < argc; ++i) chosen = chosen || std::strcmp(argv[i], op.name) == 0;
            if (!chosen) continue;
            SIZE_T atCheckpoint = 0;
            int wrong = 0;
            for (int i = 1; i <= calls; ++i) {
                if (!op.call(*machine.Get())) ++wrong;
                HwSim_ClearLog();  // the simulator's own log would grow with the calls
                if (i == checkpoint) atCheckpoint = PrivateBytes();
            }
            const SIZE_T atEnd = PrivateBytes();
            const long long growth = static_cast<long long>(atEnd) - static_cast<long long>(atCheckpoint);
            std::printf("%s calls=%d after%d=%lluKB after%d=%lluKB growth=%lldKB per_call=%.1fB wrong=%d lists=%d\n",
                        op.name, calls, checkpoint, static_cast<unsigned long long>(atCheckpoint / 1024), calls,
                        static_cast<unsigned long long>(atEnd / 1024), growth / 1024,
                        calls > checkpoint ? static_cast<double>(growth) / (calls - checkpoint) : 0.0, wrong,
                        HwSim_OutstandingLists());
            std::fflush(stdout);
            failures += wrong + HwSim_OutstandingLists() + HwSim_BadFrees();
        }
    }
    CoUninitialize();
    return failures == 0 ? 0 : 1;
}
