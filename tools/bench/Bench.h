// kavro-bench: each figure times an IMachine operation against the simulator
// and, in the same run, a baseline doing the least the same result needs.
#pragma once
#include <windows.h>
#include <oaidl.h>

#include <string>
#include <vector>

#include "HwDev.h"
#include "HwSim.h"
#include "StdCollection.h"
#include "ZebMachine.h"
#include "frame/Owners.h"

namespace bench {

using kavro::Bstr;
using kavro::ComPtr;

// Sizes, from the command line.
struct Sizes {
    int repetitions = 11;       // at least 5 for a figure worth reading
    int records = 100000;       // download
    int ports = 200;            // discovery: ports by terminal numbers
    int numbers = 100;
    int employees = 30000;      // backup
    int templateBytes = 1024;
    int rewriteBytes = 32767;   // re-write: the longest template a record can carry
    int rewriteCalls = 200;     // per repetition
    int cycles = 2000;          // create, call, release: per repetition
    int surrogateCalls = 100;   // a call through the surrogate: per repetition
    int jobsAddresses = 64;     // discovery with worker processes: kavro.exe discover --jobs N
    int jobsAbsentMs = 100;     // how long an absent address takes to answer
    int jobsSlowAbsentMs = 1000;  // the same, for the second speedup (--jobs 16 vs 1 only)
    int jobsRepetitions = 3;    // each runs kavro.exe once for each of jobsCounts
    std::vector<int> jobsCounts{1, 4, 16, 64};  // 1 and 16 always among them
    bool onlyJobs = false;      // only the discovery with workers
};

// One row of the table. Times are medians in seconds, per call where perCall.
struct Figure {
    std::string key;            // JSON name
    std::string label;
    double component = 0;
    double baseline = 0;
    double ratio = 0;           // median of the repetitions' component / baseline
    bool perCall = false;
    bool ratioInJson = false;   // a per-call figure whose ratio is printed too, as <key without _us>_ratio
};

// kavro discover --jobs 16 against --jobs 1 (ratio: the speedup), and the
// median seconds of a whole run for each number of workers tried.
// Also the speedup where absent addresses take jobsSlowAbsentMs, and where a
// worker's start goes: a kavro.exe that only starts and exits (--help), and
// one that also creates its component and probes one absent address
// (discover --jobs 1 of one address, absent_ms 0). And the stages of the
// --jobs 16 run (KAVRO_STAGE_TIMES, Stages.h of kavro.exe): for each stage,
// the seconds from starting kavro.exe to the first and to the last process
// that reached it; "worker_" before a stage a worker marked itself, "exit"
// the end of kavro.exe as this process saw it.
struct StageSpan {
    std::string stage;
    double first = 0, last = 0;
};

struct JobsFigures {
    Figure speedup;
    Figure speedupSlow;
    std::vector<std::pair<int, double>> secondsByJobs;
    double processSeconds = 0;
    double componentSeconds = 0;  // on top of processSeconds
    std::vector<StageSpan> stages;  // in the order of their first time
};

// What the component itself is, read from the loaded Kavro.dll.
struct ModuleFacts {
    long long bytes = 0;
    std::vector<std::string> imports;
};

// A failed call ends the run: a figure of a failing operation means nothing.
// The folder of kavro-bench.exe, with its backslash.
std::wstring ProgramFolder();

[[noreturn]] void Fail(const std::string& what, HRESULT hr = S_OK);
void Expect(HRESULT hr, VARIANT_BOOL result, const char* call);

double Now();  // seconds
double Median(std::vector<double> values);

// Runs the component and the baseline back to back in every repetition, each
// going first in turn, so that a load on the machine weighs on both alike.
// Each run answers the seconds it measured.
template <class Component, class Baseline>
Figure Compare(std::string key, std::string label, int repetitions, Component&& component, Baseline&& baseline)
{
    std::vector<double> c, b, ratios;
    for (int r = 0; r < repetitions; ++r) {
        if (r % 2) {
            b.push_back(baseline());
            c.push_back(component());
        } else {
            c.push_back(component());
            b.push_back(baseline());
        }
        ratios.push_back(c.back() / b.back());
    }
    return {std::move(key), std::move(label), Median(c), Median(b), Median(ratios)};
}

// Before every timed run: the simulator's call log would otherwise grow with
// every probe, and be part of what is measured.
inline void FreshLog() { HwSim_ClearLog(); }

// Host objects, as the host creates them: by ProgID.
ComPtr<IMachine> CreateMachine();
ComPtr<_Collection> CreateCollection();
// The class factory of a host class, obtained once as the cheapest creation allows.
ComPtr<IClassFactory> FactoryOf(REFCLSID clsid);
void AddToCollection(_Collection& collection, IDispatch* item);
void ExpectCount(_Collection& collection, LONG expected, const char* filledBy);

// Times one call of the component into a fresh collection (released after the
// clock stops) and checks that the collection then holds `expected` items.
// call(collection, strMsg, result) answers the HRESULT.
template <class Call>
double TimeIntoCollection(const char* name, LONG expected, Call&& call)
{
    ComPtr<_Collection> collection = CreateCollection();
    BSTR message = nullptr;
    VARIANT_BOOL result = VARIANT_FALSE;
    FreshLog();
    double start = Now();
    HRESULT hr = call(collection.GetAddressOf(), &message, &result);
    double elapsed = Now() - start;
    SysFreeString(message);
    Expect(hr, result, name);
    ExpectCount(*collection.Get(), expected, name);
    return elapsed;
}

// The callbacks a baseline hands to the library.
void __stdcall Progress(int);
int __stdcall Query(int, int);

// An address as FillDevAddress builds it.
DevAddress NetAddress(const char* ip, int machineNo);
DevAddress SerialAddress(int port, int machineNo);

Figure Download(const Sizes& sizes, IMachine& machine);
Figure Discovery(const Sizes& sizes, IMachine& machine);
Figure Backup(const Sizes& sizes, IMachine& machine);
Figure ReWrite(const Sizes& sizes, IMachine& machine);
Figure CreateCallRelease(const Sizes& sizes);
// funcWriteCard on an object in a surrogate process (dllhost.exe, as a 64-bit
// host reaches the component) against the same call in process.
Figure SurrogateCall(const Sizes& sizes);
JobsFigures DiscoveryJobs(const Sizes& sizes);
ModuleFacts ReadModuleFacts();

} // namespace bench
