// Backup: funcBackFingure of the last of many employees into an empty
// recordset. Baseline: the same receive and free, one copy of the list, a scan
// of the number bytes and a copy of the matched template.
// Re-write: funcReWrite of a one-row recordset; its baseline sends a record
// prepared beforehand with the same template.
#include "Bench.h"

#include <cstdio>
#include <cstring>

#include "MemoryRecordset.h"

namespace bench {
namespace {

constexpr const char* kBackupIp = "10.0.0.2";
constexpr const char* kReWriteIp = "10.0.0.3";
constexpr int kMachineNo = 1;

const std::vector<std::wstring> kColumns = {L"cpsn_num", L"iFingerprintNO", L"imachineno", L"npassword",
                                            L"bFingerprint"};

std::vector<std::uint8_t> Template(int bytes, int seed)
{
    std::vector<std::uint8_t> tpl(bytes);
    for (int i = 0; i < bytes; ++i) tpl[i] = static_cast<std::uint8_t>(i * 7 + seed);
    return tpl;
}

// Employees 100001 on; answers the number of the last one.
std::string FillEmployees(const Sizes& sizes)
{
    int terminal = HwSim_AddNetTerminal(kBackupIp, kMachineNo);
    if (!terminal) Fail("the simulator refused the backup terminal");
    unsigned char number[12] = {};
    const unsigned char text[50] = {};
    for (int i = 0; i < sizes.employees; ++i) {
        std::snprintf(reinterpret_cast<char*>(number), sizeof number, "%d", 100001 + i);
        std::vector<std::uint8_t> tpl = Template(sizes.templateBytes, i);
        if (!HwSim_AddEmployee(terminal, number, text, 1, tpl.data(), static_cast<int>(tpl.size())))
            Fail("the simulator refused an employee");
    }
    return reinterpret_cast<const char*>(number);
}

double RunBackup(IMachine& machine, const std::string& wanted, int templateBytes)
{
    memrs::MemoryRecordset rows(kColumns);
    _Recordset* rsData = rows.get();
    Bstr ip(L"10.0.0.2");
    Bstr person(std::wstring(wanted.begin(), wanted.end()));
    BSTR message = nullptr;
    VARIANT_BOOL result = VARIANT_FALSE;
    FreshLog();
    double start = Now();
    HRESULT hr = machine.funcBackFingure(VARIANT_FALSE, ip.get(), 0, kMachineNo, person.get(), &rsData, &message,
                                         &result);
    double elapsed = Now() - start;
    SysFreeString(message);
    Expect(hr, result, "funcBackFingure");
    if (rows.RowCount() != 1 || rows.At(0, L"bFingerprint").AsBytes().size() != static_cast<size_t>(templateBytes))
        Fail("funcBackFingure did not write the template into the recordset");
    return elapsed;
}

double RunBackupBaseline(const std::string& wanted)
{
    DevAddress address = NetAddress(kBackupIp, kMachineNo);
    char key[12] = {};
    std::strncpy(key, wanted.c_str(), sizeof key - 1);
    FreshLog();
    double start = Now();
    EmployeeRecord* list = nullptr;
    int count = 0;
    HwDev_RecvEmployeeFromDev(&address, &list, &count, Progress, Query);
    std::vector<EmployeeRecord> copy(list, list + count);
    std::vector<std::uint8_t> tpl;
    for (const EmployeeRecord& record : copy) {
        if (std::memcmp(record.EmployeeNo, key, sizeof key) == 0) {
            tpl.assign(record.TemplatePtr, record.TemplatePtr + record.TemplateLength);
            break;
        }
    }
    HwDev_FreeEmployeeList(&list, &count);
    double elapsed = Now() - start;
    if (tpl.empty()) Fail("the backup baseline found no template");
    return elapsed;
}

double RunReWrite(IMachine& machine, memrs::MemoryRecordset& rows, int calls)
{
    Bstr ip(L"10.0.0.3");
    Bstr person(L"200001");
    rows.ClearCalls();  // the recordset records every call made on it
    FreshLog();
    double start = Now();
    for (int i = 0; i < calls; ++i) {
        BSTR message = SysAllocString(L"bench");
        VARIANT_BOOL result = VARIANT_FALSE;
        HRESULT hr = machine.funcReWrite(VARIANT_FALSE, ip.get(), 0, kMachineNo, person.get(), rows.get(), &message,
                                         &result);
        SysFreeString(message);
        Expect(hr, result, "funcReWrite");
    }
    return (Now() - start) / calls;
}

double RunReWriteBaseline(std::vector<std::uint8_t>& tpl, int calls)
{
    DevAddress address = NetAddress(kReWriteIp, kMachineNo);
    EmployeeRecord record{};
    std::strcpy(record.EmployeeNo, "200001");
    std::strcpy(record.EmployeeText, "bench");
    record.RecordFlag = 1;
    record.TemplateLength = static_cast<short>(tpl.size());
    record.TemplatePtr = tpl.data();
    FreshLog();
    double start = Now();
    for (int i = 0; i < calls; ++i) {
        unsigned char flag = 1;
        int stored = 0;
        HwDev_SendEmployeeToDev(&address, &record, 1, &flag, &stored, Progress, Query);
    }
    return (Now() - start) / calls;
}

} // namespace

Figure Backup(const Sizes& sizes, IMachine& machine)
{
    HwSim_Reset();
    const std::string wanted = FillEmployees(sizes);
    return Compare("backup_ratio", "backup, " + std::to_string(sizes.employees) + " employees, match last",
                   sizes.repetitions, [&] { return RunBackup(machine, wanted, sizes.templateBytes); },
                   [&] { return RunBackupBaseline(wanted); });
}

Figure ReWrite(const Sizes& sizes, IMachine& machine)
{
    HwSim_Reset();
    if (!HwSim_AddNetTerminal(kReWriteIp, kMachineNo)) Fail("the simulator refused the re-write terminal");
    std::vector<std::uint8_t> tpl = Template(sizes.rewriteBytes, 3);
    memrs::MemoryRecordset rows(kColumns);
    rows.AddRow({memrs::Value::Text(L"200001"), memrs::Value::Int16(1), memrs::Value::Int16(kMachineNo),
                 memrs::Value::Int32(0), memrs::Value::Bytes(tpl)});
    Figure f = Compare("rewrite_us", "re-write, one row, " + std::to_string(sizes.rewriteBytes) + "-byte template",
                       sizes.repetitions, [&] { return RunReWrite(machine, rows, sizes.rewriteCalls); },
                       [&] { return RunReWriteBaseline(tpl, sizes.rewriteCalls); });
    f.perCall = true;
    return f;
}

} // namespace bench
