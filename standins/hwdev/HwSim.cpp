// The control exports: set up terminals, force answers, read the call log.
#include "Simulator.h"

#include "FieldCodec.h"
#include "TerminalStore.h"

#include <algorithm>
#include <cstring>
#include <cwchar>

using namespace hwsim;

namespace {

// No exception leaves an export; a failed control call answers `failed`.
template <class R, class Body>
R Guarded(R failed, Body&& body) noexcept
{
    try {
        return body();
    } catch (...) {
        return failed;
    }
}

int AddTerminal(Terminal terminal)
{
    Locked state;
    for (const Terminal& t : state->terminals) {
        if (t.serial == terminal.serial && t.machineNo == terminal.machineNo &&
            t.comPort == terminal.comPort && t.ip == terminal.ip)
            return 0; // that link and number already answer
    }
    state->terminals.push_back(std::move(terminal));
    return static_cast<int>(state->terminals.size());
}

void CopyOut(const Bytes& from, unsigned char* to, int capacity)
{
    if (!to || capacity <= 0) return;
    std::memcpy(to, from.data(), std::min(from.size(), static_cast<size_t>(capacity)));
}

// Reads from one terminal; -1 when there is no such terminal.
template <class Read>
int ReadTerminal(int terminal, Read&& read)
{
    return Guarded(-1, [&] {
        Locked state;
        const Terminal* t = FindTerminal(*state, terminal);
        return t ? read(*t) : -1;
    });
}

template <class Change>
void Force(int func, Change&& change)
{
    Guarded(0, [&] {
        if (!ValidFunc(func)) return 0;
        Locked state;
        change(state->forcing[func]);
        return 0;
    });
}

} // namespace

extern "C" {

void HWSIM_API HwSim_Reset(void)
{
    Guarded(0, [] {
        Locked state;
        *state = State{}; // lists still out are released and forgotten
        return 0;
    });
}

BOOL HWSIM_API HwSim_LoadTerminalFile(const wchar_t* path)
{
    return Guarded(FALSE, [&] {
        if (!path || !*path) return FALSE;
        Locked state;
        return BindFile(*state, path) ? TRUE : FALSE;
    });
}

int HWSIM_API HwSim_LoadError(wchar_t* text, int capacity)
{
    return Guarded(0, [&] {
        Locked state;
        std::wstring error = codec::WideFromUtf8(state->file.error);
        if (text && capacity > 0) {
            size_t n = std::min(error.size(), static_cast<size_t>(capacity - 1));
            std::wmemcpy(text, error.data(), n);
            text[n] = L'\0';
        }
        return static_cast<int>(error.size());
    });
}

int HWSIM_API HwSim_AddSerialTerminal(int comPort, int machineNo)
{
    return Guarded(0, [&] {
        Terminal t;
        t.serial = true;
        t.comPort = comPort;
        t.machineNo = machineNo;
        return AddTerminal(std::move(t));
    });
}

int HWSIM_API HwSim_AddNetTerminal(const char* ip, int machineNo)
{
    return Guarded(0, [&] {
        // The address field holds at most 15 bytes of text and its terminator.
        if (!ip || !*ip || strnlen(ip, 16) > 15) return 0;
        Terminal t;
        t.ip = ip;
        t.machineNo = machineNo;
        return AddTerminal(std::move(t));
    });
}

BOOL HWSIM_API HwSim_AddPunch(int terminal, const unsigned char cardNo[12], int punchSeconds)
{
    return Guarded(FALSE, [&] {
        Locked state;
        Terminal* t = FindTerminal(*state, terminal);
        if (!t || !cardNo) return FALSE;
        AttendanceRecord punch{};
        std::memcpy(punch.CardNo, cardNo, sizeof punch.CardNo);
        punch.PunchSeconds = punchSeconds;
        t->punches.push_back(punch);
        return TRUE;
    });
}

int HWSIM_API HwSim_PunchCount(int terminal)
{
    return ReadTerminal(terminal, [](const Terminal& t) { return static_cast<int>(t.punches.size()); });
}

BOOL HWSIM_API HwSim_AddEmployee(int terminal, const unsigned char employeeNo[12],
                                 const unsigned char employeeText[50], short recordFlag,
                                 const unsigned char* tpl, int tplLength)
{
    return Guarded(FALSE, [&] {
        if (!employeeNo || tplLength < 0 || tplLength > 32767 || (!tpl && tplLength > 0)) return FALSE;
        Locked state;
        Terminal* t = FindTerminal(*state, terminal);
        if (!t) return FALSE;
        Employee e{};
        std::memcpy(e.record.EmployeeNo, employeeNo, sizeof e.record.EmployeeNo);
        if (employeeText) std::memcpy(e.record.EmployeeText, employeeText, sizeof e.record.EmployeeText);
        e.record.RecordFlag = recordFlag;
        e.record.FingerIndex = 1; // enrolled on the terminal: the right index finger
        e.tpl.assign(tpl, tpl + tplLength);
        StoreEmployee(*t, std::move(e));
        return TRUE;
    });
}

int HWSIM_API HwSim_EmployeeCount(int terminal)
{
    return ReadTerminal(terminal, [](const Terminal& t) { return static_cast<int>(t.employees.size()); });
}

int HWSIM_API HwSim_GetEmployee(int terminal, int index, unsigned char record[156],
                                unsigned char* tpl, int tplCapacity)
{
    return ReadTerminal(terminal, [&](const Terminal& t) {
        if (index < 0 || index >= static_cast<int>(t.employees.size())) return -1;
        const Employee& e = t.employees[index];
        if (record) std::memcpy(record, &e.record, sizeof e.record);
        CopyOut(e.tpl, tpl, tplCapacity);
        return static_cast<int>(e.tpl.size());
    });
}

void HWSIM_API HwSim_ForceResult(int func, int result)
{
    Force(func, [&](Forcing& f) { f.forceResult = true; f.result = result; });
}

void HWSIM_API HwSim_ForceCount(int func, int count)
{
    Force(func, [&](Forcing& f) { f.forceCount = true; f.count = count; });
}

void HWSIM_API HwSim_ForceNullList(int func)
{
    Force(func, [](Forcing& f) { f.nullList = true; });
}

void HWSIM_API HwSim_ForceNoOutput(int func)
{
    Force(func, [](Forcing& f) { f.noOutput = true; });
}

void HWSIM_API HwSim_SetDelay(int func, int milliseconds)
{
    Force(func, [&](Forcing& f) { f.delayMs = std::max(milliseconds, 0); });
}

void HWSIM_API HwSim_ClearForcing(void)
{
    Guarded(0, [] {
        Locked state;
        std::fill(std::begin(state->forcing), std::end(state->forcing), Forcing{});
        return 0;
    });
}

int HWSIM_API HwSim_CallCount(void)
{
    return Guarded(0, [] {
        Locked state;
        return static_cast<int>(state->log.size());
    });
}

BOOL HWSIM_API HwSim_GetCall(int index, HwSimCall* call)
{
    return Guarded(FALSE, [&] {
        Locked state;
        if (!call || index < 0 || index >= static_cast<int>(state->log.size())) return FALSE;
        *call = state->log[index].call;
        return TRUE;
    });
}

int HWSIM_API HwSim_GetSentRecord(int index, int record, unsigned char bytes[156],
                                  unsigned char* tpl, int tplCapacity)
{
    return Guarded(-1, [&] {
        Locked state;
        if (index < 0 || index >= static_cast<int>(state->log.size())) return -1;
        const auto& sent = state->log[index].sent;
        if (record < 0 || record >= static_cast<int>(sent.size())) return -1;
        const Employee& e = sent[record];
        if (bytes) std::memcpy(bytes, &e.record, sizeof e.record);
        CopyOut(e.tpl, tpl, tplCapacity);
        return static_cast<int>(e.record.TemplateLength);
    });
}

void HWSIM_API HwSim_ClearLog(void)
{
    Guarded(0, [] {
        Locked state;
        state->log.clear();
        return 0;
    });
}

int HWSIM_API HwSim_OutstandingLists(void)
{
    return Guarded(0, [] {
        Locked state;
        return static_cast<int>(state->handed.size());
    });
}

int HWSIM_API HwSim_BadFrees(void)
{
    return Guarded(0, [] {
        Locked state;
        return state->badFrees;
    });
}

int HWSIM_API HwSim_CallbackFaults(void)
{
    return Guarded(0, [] {
        Locked state;
        return state->callbackFaults;
    });
}

BOOL HWSIM_API HwSim_SetExistAnswer(int terminal, int answer)
{
    return Guarded(FALSE, [&] {
        Locked state;
        Terminal* t = FindTerminal(*state, terminal);
        if (!t) return FALSE;
        t->existAnswer = answer;
        return TRUE;
    });
}

void HWSIM_API HwSim_ForceListRecord(int func, int index, const unsigned char* record, int recordSize,
                                     const unsigned char* tpl, int tplLength)
{
    if (!record || recordSize <= 0 || tplLength < 0) return;
    Force(func, [&](Forcing& f) {
        Forcing::Record forced{index, Bytes(record, record + recordSize), tpl != nullptr,
                               tpl ? Bytes(tpl, tpl + tplLength) : Bytes()};
        f.records.push_back(std::move(forced));
    });
}

} // extern "C"
