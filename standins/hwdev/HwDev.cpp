// The library's own exports, answering from the simulated terminals.
// Each is logged as one call; see Simulator.h for the shared machinery.
#include "Simulator.h"
#include "TerminalStore.h"

using namespace hwsim;

namespace {

int Found(const Terminal* terminal) { return terminal ? 1 : 0; }

// Both receives: list what the addressed terminal holds and hand it out.
template <class Record>
int ReceiveList(HwSimFunc func, HwSimFunc freeFunc, ListBlock (*build)(const Terminal*),
                DevAddress* address, Record** list, int* count, DevProgress progress, DevQuery query)
{
    return RunCall(func, address, [&](Call& call) {
        return call.Transfer(progress, query, [&] {
            Locked state;
            const Terminal* terminal = FindTerminal(*state, address);
            return Receive(call, freeFunc, terminal, build(terminal), list, count);
        });
    });
}

} // namespace

extern "C" {

int HWDEV_API HwDev_Initialize(void)
{
    return RunCall(HWSIM_Initialize, nullptr, [](Call&) { return 1; });
}

int HWDEV_API HwDev_IsDevExist(DevAddress* address)
{
    return RunCall(HWSIM_IsDevExist, address, [&](Call&) {
        Locked state;
        const Terminal* terminal = FindTerminal(*state, address);
        return terminal ? terminal->existAnswer : 0;
    });
}

int HWDEV_API HwDev_GetDevTime(DevAddress* address, int* seconds)
{
    return RunCall(HWSIM_GetDevTime, address, [&](Call&) {
        Locked state;
        const Terminal* terminal = FindTerminal(*state, address);
        if (!terminal || !seconds) return 0;
        *seconds = static_cast<int>(ComputerSeconds() + terminal->clockOffset);
        return 1;
    });
}

int HWDEV_API HwDev_SetDevTime(DevAddress* address, int seconds)
{
    return RunCall(HWSIM_SetDevTime, address, [&](Call&) {
        Locked state;
        Terminal* terminal = FindTerminal(*state, address);
        if (terminal) terminal->clockOffset = seconds - ComputerSeconds();
        return Found(terminal);
    });
}

int HWDEV_API HwDev_RecvEmployeeFromDev(DevAddress* address, EmployeeRecord** list, int* count,
                                        DevProgress progress, DevQuery query)
{
    return ReceiveList(HWSIM_RecvEmployeeFromDev, HWSIM_FreeEmployeeList, EmployeeList,
                       address, list, count, progress, query);
}

int HWDEV_API HwDev_FreeEmployeeList(EmployeeRecord** list, int* count)
{
    return RunCall(HWSIM_FreeEmployeeList, nullptr, [&](Call& call) {
        return GiveBack(call, HWSIM_FreeEmployeeList, list, count);
    });
}

int HWDEV_API HwDev_SendEmployeeToDev(DevAddress* address, EmployeeRecord* records, int count,
                                      unsigned char* flag, int* stored,
                                      DevProgress progress, DevQuery query)
{
    return RunCall(HWSIM_SendEmployeeToDev, address, [&](Call& call) {
        // Read the caller's records once, at entry: the log keeps them and
        // the terminal stores from that copy.
        HwSimCall& entry = call.entry();
        entry.count = count;
        entry.list = records;
        entry.flagByte = flag ? *flag : 0;
        entry.outValueBefore = stored ? *stored : 0;
        for (int i = 0; records && i < count; ++i)
            call.sent().push_back(Employee{records[i], ReadTemplate(records[i])});

        return call.Transfer(progress, query, [&] {
            Locked state;
            bool done = ChangeTerminal(*state, address, [&](Terminal& terminal) {
                for (const Employee& e : call.sent()) StoreEmployee(terminal, e);
            });
            if (stored) *stored = done ? static_cast<int>(call.sent().size()) : 0;
            return done && (records || count <= 0) ? 1 : 0;
        });
    });
}

int HWDEV_API HwDev_RecvAllRcdFromDev(DevAddress* address, AttendanceRecord** list, int* count,
                                      DevProgress progress, DevQuery query)
{
    return ReceiveList(HWSIM_RecvAllRcdFromDev, HWSIM_FreeRcdList, PunchList,
                       address, list, count, progress, query);
}

int HWDEV_API HwDev_FreeRcdList(AttendanceRecord** list, int* count)
{
    return RunCall(HWSIM_FreeRcdList, nullptr, [&](Call& call) {
        return GiveBack(call, HWSIM_FreeRcdList, list, count);
    });
}

int HWDEV_API HwDev_DelAllRcdOnDev(DevAddress* address, DevProgress progress, DevQuery query)
{
    return RunCall(HWSIM_DelAllRcdOnDev, address, [&](Call& call) {
        return call.Transfer(progress, query, [&] {
            Locked state;
            int erased = 0;
            bool done = ChangeTerminal(*state, address, [&](Terminal& terminal) {
                erased = static_cast<int>(terminal.punches.size());
                terminal.punches.clear();
            });
            call.entry().count = done ? erased : 0;
            return done ? 1 : 0;
        });
    });
}

int HWDEV_API HwDev_FreeMem(void* list)
{
    return RunCall(HWSIM_FreeMem, nullptr, [&](Call& call) {
        return TakeBack(call, HWSIM_FreeMem, true, list, 0) ? 1 : 0;
    });
}

} // extern "C"
