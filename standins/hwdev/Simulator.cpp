#include "Simulator.h"

#include "TerminalStore.h"

#include <algorithm>
#include <cstring>

// Calls fn with argc int arguments as a stdcall function and answers how many
// bytes of arguments it left on the stack: 0 when fn really is stdcall. The
// stack is put right either way, so a caller's wrongly declared callback is
// counted instead of crashing the run.
extern "C" int CallStdcallCounted(const void* fn, int argc, const int* args, int* answer);
asm(R"(
    .text
    .globl _CallStdcallCounted
    .def _CallStdcallCounted; .scl 2; .type 32; .endef
_CallStdcallCounted:
    pushl %ebp
    movl  %esp, %ebp
    pushl %esi
    movl  %esp, %esi
    movl  12(%ebp), %ecx
    movl  16(%ebp), %edx
1:  testl %ecx, %ecx
    jz    2f
    decl  %ecx
    pushl (%edx,%ecx,4)
    jmp   1b
2:  call  *8(%ebp)
    movl  20(%ebp), %edx
    movl  %eax, (%edx)
    movl  %esi, %eax
    subl  %esp, %eax
    movl  %esi, %esp
    popl  %esi
    popl  %ebp
    ret
)");

namespace hwsim {

namespace {

CRITICAL_SECTION g_lock;
State g_state;
bool g_started = false; // the start-of-process terminal file was looked for

constexpr long long kMaxPaddedBytes = 16LL * 1024 * 1024;

} // namespace

Locked::Locked()
{
    EnterCriticalSection(&g_lock);
    if (!g_started) {
        g_started = true;
        BindStartFile(g_state);
    }
}
Locked::~Locked() { LeaveCriticalSection(&g_lock); }
State* Locked::operator->() { return &g_state; }

bool ValidFunc(int func) { return func >= 0 && func < HWSIM_FUNC_COUNT; }

Terminal* FindTerminal(State& state, int id)
{
    if (id < 1 || id > static_cast<int>(state.terminals.size())) return nullptr;
    return &state.terminals[id - 1];
}

Terminal* FindTerminal(State& state, const DevAddress* address)
{
    if (!address) return nullptr;
    bool serial = address->IsSerial == 1;
    std::string ip;
    if (!serial) {
        auto end = static_cast<const char*>(std::memchr(address->IpAddress, 0, sizeof address->IpAddress));
        if (!end) return nullptr; // unterminated text names no address
        ip.assign(address->IpAddress, end);
    }
    for (Terminal& t : state.terminals) {
        if (t.serial != serial || t.machineNo != address->MachineNo) continue;
        if (serial ? t.comPort == address->ComPort : t.ip == ip) return &t;
    }
    return nullptr;
}

void StoreEmployee(Terminal& terminal, Employee employee)
{
    employee.record.TemplatePtr = nullptr;
    employee.record.TemplateLength = static_cast<short>(employee.tpl.size());
    const char* no = employee.record.EmployeeNo;
    std::string key(no, strnlen(no, sizeof employee.record.EmployeeNo));
    for (Employee& held : terminal.employees) {
        const char* heldNo = held.record.EmployeeNo;
        if (key == std::string(heldNo, strnlen(heldNo, sizeof held.record.EmployeeNo))) {
            held = std::move(employee);
            return;
        }
    }
    terminal.employees.push_back(std::move(employee));
}

Bytes ReadTemplate(const EmployeeRecord& record)
{
    if (!record.TemplatePtr || record.TemplateLength <= 0) return {};
    return Bytes(record.TemplatePtr, record.TemplatePtr + record.TemplateLength);
}

long long ComputerSeconds()
{
    // The terminals keep China time, so their count from 08:00 on 1970-01-01
    // is the Unix time.
    FILETIME ft;
    GetSystemTimeAsFileTime(&ft);
    ULARGE_INTEGER t;
    t.LowPart = ft.dwLowDateTime;
    t.HighPart = ft.dwHighDateTime;
    return static_cast<long long>(t.QuadPart / 10000000ULL) - 11644473600LL;
}

ListBlock EmployeeList(const Terminal* terminal)
{
    ListBlock block(sizeof(EmployeeRecord));
    if (!terminal) return block;
    block.records = static_cast<int>(terminal->employees.size());
    block.bytes.resize(block.records * sizeof(EmployeeRecord));
    block.templates.reserve(block.records);
    for (int i = 0; i < block.records; ++i) {
        const Employee& e = terminal->employees[i];
        EmployeeRecord record = e.record;
        block.templates.push_back(e.tpl);
        record.TemplatePtr = e.tpl.empty() ? nullptr : block.templates.back().data();
        std::memcpy(block.bytes.data() + i * sizeof record, &record, sizeof record);
    }
    return block;
}

ListBlock PunchList(const Terminal* terminal)
{
    ListBlock block(sizeof(AttendanceRecord));
    if (!terminal) return block;
    block.records = static_cast<int>(terminal->punches.size());
    block.bytes.resize(block.records * sizeof(AttendanceRecord));
    for (int i = 0; i < block.records; ++i) {
        AttendanceRecord record = terminal->punches[i];
        record.VerifyMode = 1;
        record.InOutState = static_cast<unsigned char>(i % 2);
        record.MachineNo = terminal->machineNo;
        record.LogIndex = i + 1;
        std::memcpy(block.bytes.data() + i * sizeof record, &record, sizeof record);
    }
    return block;
}

Call::Call(HwSimFunc func, const DevAddress* address)
{
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    logged_.call.func = func;
    logged_.call.qpcTime = now.QuadPart;
    if (address) std::memcpy(logged_.call.address, address, sizeof(DevAddress));
    int delayMs = 0;
    std::string printed;
    {
        Locked state;
        forcing_ = state->forcing[func];
        delayMs = forcing_.delayMs;
        if (address) {
            Refresh(*state); // another program may have changed the terminal file
            const Terminal* terminal = FindTerminal(*state, address);
            if (terminal) delayMs += terminal->latencyMs;
            else if (func == HWSIM_IsDevExist) delayMs += state->absentMs; // real terminals time out
        }
        printed = state->stdoutText;
        if (state->exitOnCall) TerminateProcess(GetCurrentProcess(), state->exitOnCall);
    }
    if (!printed.empty()) {
        DWORD written = 0;
        WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), printed.data(), static_cast<DWORD>(printed.size()), &written, nullptr);
    }
    if (delayMs > 0) Sleep(static_cast<DWORD>(delayMs));
}

int Call::Finish(int result)
{
    if (forcing_.forceResult) result = forcing_.result;
    logged_.call.result = result;
    Locked state;
    state->log.push_back(std::move(logged_));
    return result;
}

void Call::Progress(DevProgress progress, int percent)
{
    if (!progress) return;
    ++logged_.call.progressCalls;
    int answer = 0;
    if (CallStdcallCounted(reinterpret_cast<const void*>(progress), 1, &percent, &answer) != 0) {
        Locked state;
        ++state->callbackFaults;
    }
}

void Call::Ask(DevQuery query)
{
    if (!query) return;
    ++logged_.call.queryCalls;
    const int question[2] = {1, 0}; // "go on with the transfer?"
    int answer = 0;
    if (CallStdcallCounted(reinterpret_cast<const void*>(query), 2, question, &answer) != 0 || answer != 0) {
        Locked state;
        ++state->callbackFaults;
    }
}

Output HandOut(Call& call, HwSimFunc freeFunc, ListBlock block)
{
    const Forcing& forcing = call.forcing();
    int reported = block.records;
    if (forcing.forceCount) {
        reported = forcing.count;
        long long padded = static_cast<long long>(forcing.count) * block.recordSize;
        if (forcing.count > block.records && padded <= kMaxPaddedBytes) {
            block.bytes.resize(static_cast<size_t>(padded), 0);
            block.records = forcing.count;
        }
    }
    for (const Forcing::Record& forced : forcing.records) {
        if (forced.index < 0 || forced.index >= block.records) continue;
        unsigned char* at = block.bytes.data() + static_cast<size_t>(forced.index) * block.recordSize;
        std::memcpy(at, forced.bytes.data(), std::min<size_t>(forced.bytes.size(), block.recordSize));
        if (forced.withTemplate && block.recordSize == static_cast<int>(sizeof(EmployeeRecord))) {
            block.templates.push_back(forced.tpl);
            reinterpret_cast<EmployeeRecord*>(at)->TemplatePtr = block.templates.back().data();
        }
    }
    if (forcing.noOutput) return {false, nullptr, 0};

    void* list = forcing.nullList ? nullptr : block.data();
    call.entry().list = list;
    call.entry().count = reported;
    if (list || reported != 0) {
        Locked state;
        state->handed.push_back(HandedList{freeFunc, list, reported, std::move(block)});
    }
    return {true, list, reported};
}

bool TakeBack(Call& call, HwSimFunc freeFunc, bool readable, const void* list, int count)
{
    call.entry().list = list;
    call.entry().count = count;
    bool anyKind = freeFunc == HWSIM_FreeMem;
    Locked state;
    if (readable && !list && (count == 0 || anyKind)) return true; // nothing was handed out
    auto& handed = state->handed;
    auto found = std::find_if(handed.begin(), handed.end(), [&](const HandedList& h) {
        return h.list == list && (anyKind || (h.freeFunc == freeFunc && h.count == count));
    });
    if (!readable || found == handed.end()) {
        ++state->badFrees;
        return false;
    }
    handed.erase(found);
    return true;
}

} // namespace hwsim

extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID reserved)
{
    if (reason == DLL_PROCESS_ATTACH) {
        InitializeCriticalSection(&hwsim::g_lock);
    } else if (reason == DLL_PROCESS_DETACH && !reserved) {
        DeleteCriticalSection(&hwsim::g_lock);
    }
    return TRUE;
}
