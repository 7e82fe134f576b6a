// What HwDev.dll's two faces share: the simulated terminals, the forcing set
// by a test, the call log and the lists handed out. Everything here is touched
// only under the simulator's lock (Locked).
#pragma once
#include "HwDev.h"
#include "HwSim.h"

#include <string>
#include <utility>
#include <vector>

namespace hwsim {

using Bytes = std::vector<unsigned char>;

struct Employee {
    EmployeeRecord record; // TemplatePtr zero; TemplateLength is tpl.size()
    Bytes tpl;
};

struct Terminal {
    bool serial = false;
    int comPort = 0;
    std::string ip;
    int machineNo = 0;
    std::vector<Employee> employees;
    std::vector<AttendanceRecord> punches; // card number and time; the rest is filled when listed
    long long clockOffset = 0;             // seconds the terminal's clock is ahead of the computer's
    int latencyMs = 0;                     // every call addressed to the terminal takes this long
    int existAnswer = 1;                   // what HwDev_IsDevExist answers for it
};

struct Forcing {
    bool forceResult = false;
    int result = 0;
    bool forceCount = false;
    int count = 0;
    bool nullList = false;
    bool noOutput = false;
    int delayMs = 0;
    struct Record {
        int index;
        Bytes bytes;
        bool withTemplate;
        Bytes tpl;
    };
    std::vector<Record> records; // replace these records of the list handed out
};

// A list as the library lays it out: records back to back, templates apart.
struct ListBlock {
    explicit ListBlock(int size) : recordSize(size) {}
    int recordSize;
    int records = 0;
    Bytes bytes;
    std::vector<Bytes> templates;
    void* data() { return bytes.empty() ? nullptr : bytes.data(); }
};

// A list handed out and not given back yet. A NULL list with a nonzero count
// is kept too, so that the caller may (and should) hand that pair back.
struct HandedList {
    HwSimFunc freeFunc;
    const void* list;
    int count;
    ListBlock block;
};

struct LoggedCall {
    HwSimCall call{};
    std::vector<Employee> sent; // records as received, with the template bytes read through them
};

// Identifies one version of a file: a save replaces the file, so its index changes.
struct FileStamp {
    bool exists = false;
    FILETIME written{};
    unsigned long long size = 0;
    unsigned long long index = 0;
    DWORD volume = 0;
    bool operator==(const FileStamp& o) const
    {
        return exists == o.exists && written.dwLowDateTime == o.written.dwLowDateTime &&
               written.dwHighDateTime == o.written.dwHighDateTime && size == o.size && index == o.index &&
               volume == o.volume;
    }
};

// The terminal file the terminals came from and are saved to (none: path empty).
struct FileBinding {
    std::wstring path;
    FileStamp stamp;    // the version the terminals reflect
    bool valid = false; // that version was read without error, so it may be replaced
    std::string error;  // UTF-8; why it was not
};

struct State {
    std::vector<Terminal> terminals; // terminal id is index + 1
    int absentMs = 0;                // a probe that no terminal answers takes this long
    std::string stdoutText;          // printed on the standard output by every call
    unsigned exitOnCall = 0;         // nonzero: every call ends the process with this exit code
    FileBinding file;
    Forcing forcing[HWSIM_FUNC_COUNT];
    std::vector<LoggedCall> log;
    std::vector<HandedList> handed;
    int badFrees = 0;
    int callbackFaults = 0;
};

// Holds the simulator's lock (re-entrant on one thread, so a callback may call
// back into the library) and gives access to the state while it lives.
class Locked {
public:
    Locked();
    ~Locked();
    Locked(const Locked&) = delete;
    Locked& operator=(const Locked&) = delete;
    State* operator->();
    State& operator*() { return *operator->(); }
};

bool ValidFunc(int func);
Terminal* FindTerminal(State& state, int id);
Terminal* FindTerminal(State& state, const DevAddress* address);

// Keyed by employee number: replaces the employee with that number, else appends.
void StoreEmployee(Terminal& terminal, Employee employee);
// The record's template as the caller's TemplatePtr/TemplateLength describe it;
// nothing for a NULL pointer or a negative length.
Bytes ReadTemplate(const EmployeeRecord& record);
long long ComputerSeconds(); // now, counted from 1970-01-01 08:00:00 as the terminals count

ListBlock EmployeeList(const Terminal* terminal);
ListBlock PunchList(const Terminal* terminal);

// One library call in progress: takes the entry time and the forcing, sleeps
// the forced delay, counts the callbacks and logs the call when it finishes.
class Call {
public:
    Call(HwSimFunc func, const DevAddress* address);
    HwSimCall& entry() { return logged_.call; }
    std::vector<Employee>& sent() { return logged_.sent; }
    const Forcing& forcing() const { return forcing_; }

    // A transfer: reports progress and asks once around the work.
    template <class Work>
    int Transfer(DevProgress progress, DevQuery query, Work&& work)
    {
        Progress(progress, 0);
        Ask(query);
        Progress(progress, 50);
        int result = work();
        Progress(progress, 100);
        return result;
    }

    int Finish(int result); // applies a forced result; answers what the caller gets

private:
    void Progress(DevProgress progress, int percent);
    void Ask(DevQuery query);

    LoggedCall logged_;
    Forcing forcing_;
};

// What a receive gives the caller, after forcing; write is false when the
// caller's variables must stay untouched.
struct Output {
    bool write;
    void* list;
    int count;
};
Output HandOut(Call& call, HwSimFunc freeFunc, ListBlock block);
// Answers whether the pair is one handed out (or NULL with count 0) and
// releases it; any other pair, or variables that cannot be read, counts as a
// bad free and releases nothing. HwDev_FreeMem matches a list by pointer alone.
bool TakeBack(Call& call, HwSimFunc freeFunc, bool readable, const void* list, int count);

template <class Record>
int Receive(Call& call, HwSimFunc freeFunc, bool found, ListBlock block, Record** list, int* count)
{
    if (!list || !count) return 0;
    Output out = HandOut(call, freeFunc, std::move(block));
    if (out.write) {
        *list = static_cast<Record*>(out.list);
        *count = out.count;
    }
    return found ? 1 : 0;
}

template <class Record>
int GiveBack(Call& call, HwSimFunc freeFunc, Record** list, int* count)
{
    bool readable = list && count;
    if (!TakeBack(call, freeFunc, readable, readable ? *list : nullptr, readable ? *count : 0))
        return 0;
    *list = nullptr;
    *count = 0;
    return 1;
}

// Runs one library call; no exception leaves an export.
template <class Body>
int RunCall(HwSimFunc func, const DevAddress* address, Body&& body) noexcept
{
    try {
        Call call(func, address);
        return call.Finish(body(call));
    } catch (...) {
        return 0;
    }
}

} // namespace hwsim
