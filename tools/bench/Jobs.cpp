// Discovery spread over worker processes: kavro.exe discover over a range of
// addresses where absent ones take absent_ms to answer (one terminal present),
// with --jobs 1 and with more workers, each run a whole kavro.exe from start to
// exit. The speedup is the median of the repetitions' --jobs 1 / --jobs 16.
#include "Bench.h"

#include <algorithm>
#include <fstream>
#include <map>

namespace bench {
namespace {

// The site: the first address of 10.0.0.1-N holds terminal 1, the rest are
// absent. Named to the children only: this process's simulator was bound long
// before. Removed again when the figure is done.
class SiteFile {
public:
    explicit SiteFile(int absentMs)
    {
        wchar_t temp[MAX_PATH];
        if (!GetTempPathW(MAX_PATH, temp)) Fail("no temporary folder");
        path_ = std::wstring(temp) + L"kavro-bench-site-" + std::to_wstring(GetCurrentProcessId()) + L".json";
        std::ofstream(path_.c_str(), std::ios::binary | std::ios::trunc)
            << "{\"absent_ms\":" << absentMs << ",\"terminals\":[{\"ip\":\"10.0.0.1\",\"number\":1}]}";
        SetEnvironmentVariableW(L"HWSIM_TERMINALS", path_.c_str());
    }
    SiteFile(const SiteFile&) = delete;
    SiteFile& operator=(const SiteFile&) = delete;
    ~SiteFile()
    {
        SetEnvironmentVariableW(L"HWSIM_TERMINALS", nullptr);
        DeleteFileW(path_.c_str());
    }

private:
    std::wstring path_;
};

struct Run {
    double start = 0, seconds = 0;  // Now() at its start; to its exit
    DWORD id = 0;
};

// Starts the command line and waits for its exit; it must succeed.
Run TimeRun(const std::wstring& commandLine)
{
    SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
    HANDLE nul = CreateFileW(L"NUL", GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit, OPEN_EXISTING, 0,
                             nullptr);
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = nul;
    startup.hStdOutput = nul;
    startup.hStdError = nul;
    PROCESS_INFORMATION process{};
    std::wstring line = commandLine;
    Run run;
    run.start = Now();
    BOOL started = CreateProcessW(nullptr, line.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup, &process);
    if (nul != INVALID_HANDLE_VALUE) CloseHandle(nul);
    if (!started) Fail("kavro.exe cannot be started", HRESULT_FROM_WIN32(GetLastError()));
    WaitForSingleObject(process.hProcess, INFINITE);
    run.seconds = Now() - run.start;
    run.id = process.dwProcessId;
    DWORD code = 1;
    GetExitCodeProcess(process.hProcess, &code);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    if (code != 0) Fail("kavro discover did not succeed: exit code " + std::to_string(code));
    return run;
}

double TimeProgram(const std::wstring& commandLine) { return TimeRun(commandLine).seconds; }

// Each stage's first and last time in seconds from the run's start.
using Spans = std::map<std::string, std::pair<double, double>>;

// A run of the command line with kavro.exe's stage times written to a folder
// of their own (a file a process), read back as spans.
Run TimeStages(const std::wstring& commandLine, Spans& spans)
{
    wchar_t temp[MAX_PATH];
    if (!GetTempPathW(MAX_PATH, temp)) Fail("no temporary folder");
    const std::wstring folder =
        std::wstring(temp) + L"kavro-bench-stages-" + std::to_wstring(GetCurrentProcessId()) + L"\\";
    CreateDirectoryW(folder.c_str(), nullptr);
    SetEnvironmentVariableW(L"KAVRO_STAGE_TIMES", folder.substr(0, folder.size() - 1).c_str());
    Run run = TimeRun(commandLine);
    SetEnvironmentVariableW(L"KAVRO_STAGE_TIMES", nullptr);
    spans = {{"exit", {run.seconds, run.seconds}}};
    WIN32_FIND_DATAW found;
    HANDLE search = FindFirstFileW((folder + L"*.txt").c_str(), &found);
    for (BOOL more = search != INVALID_HANDLE_VALUE; more; more = FindNextFileW(search, &found)) {
        const std::wstring path = folder + found.cFileName;
        std::ifstream lines(path.c_str());
        unsigned long id = 0;
        std::string stage;
        double at = 0;
        while (lines >> id >> stage >> at) {
            if (id != run.id) stage = "worker_" + stage;
            at -= run.start;
            auto [span, added] = spans.emplace(stage, std::make_pair(at, at));
            if (!added) span->second = {std::min(span->second.first, at), std::max(span->second.second, at)};
        }
        lines.close();
        DeleteFileW(path.c_str());
    }
    if (search != INVALID_HANDLE_VALUE) FindClose(search);
    RemoveDirectoryW(folder.c_str());
    return run;
}

} // namespace

JobsFigures DiscoveryJobs(const Sizes& sizes)
{
    const std::wstring bin = ProgramFolder();
    const std::wstring kavro = L"\"" + bin + L"kavro.exe\" --dll \"" + bin + L"Kavro.dll\" ";
    const std::wstring command =
        kavro + L"discover --ip 10.0.0.1-" + std::to_wstring(sizes.jobsAddresses) + L" --jobs ";
    const std::vector<int>& counts = sizes.jobsCounts;
    std::map<int, std::vector<double>> seconds;
    std::vector<double> speedups, slow1, slow16, slowSpeedups, process, component;
    std::map<std::string, std::pair<std::vector<double>, std::vector<double>>> stageTimes;
    for (int r = 0; r < sizes.jobsRepetitions; ++r) {
        {
            const SiteFile site(sizes.jobsAbsentMs);
            // Each repetition in the other order, so a changing load weighs on all alike.
            std::vector<int> order = counts;
            if (r % 2) std::reverse(order.begin(), order.end());
            for (int jobs : order) {
                if (jobs != 16) {
                    seconds[jobs].push_back(TimeProgram(command + std::to_wstring(jobs)));
                    continue;
                }
                Spans spans;
                seconds[jobs].push_back(TimeStages(command + std::to_wstring(jobs), spans).seconds);
                for (const auto& [stage, span] : spans) {
                    stageTimes[stage].first.push_back(span.first);
                    stageTimes[stage].second.push_back(span.second);
                }
            }
            speedups.push_back(seconds[1].back() / seconds[16].back());
        }
        {
            const SiteFile site(sizes.jobsSlowAbsentMs);
            slow1.push_back(TimeProgram(command + L"1"));
            slow16.push_back(TimeProgram(command + L"16"));
            slowSpeedups.push_back(slow1.back() / slow16.back());
        }
        const SiteFile site(0);
        process.push_back(TimeProgram(kavro + L"--help"));
        component.push_back(TimeProgram(kavro + L"discover --ip 10.0.0.2-2 --jobs 1") - process.back());
    }

    JobsFigures figures;
    const std::string what = "discover " + std::to_string(sizes.jobsAddresses) + " addresses, --jobs 16 vs 1";
    figures.speedup = {"discover_jobs_speedup", what + " (speedup)", Median(seconds[16]), Median(seconds[1]),
                       Median(speedups)};
    figures.speedupSlow = {"discover_jobs_speedup_1s",
                           what + ", absent " + std::to_string(sizes.jobsSlowAbsentMs) + " ms (speedup)",
                           Median(slow16), Median(slow1), Median(slowSpeedups)};
    for (int jobs : counts) figures.secondsByJobs.push_back({jobs, Median(seconds[jobs])});
    figures.processSeconds = Median(process);
    figures.componentSeconds = Median(component);
    for (const auto& [stage, times] : stageTimes)
        figures.stages.push_back({stage, Median(times.first), Median(times.second)});
    std::sort(figures.stages.begin(), figures.stages.end(),
              [](const StageSpan& a, const StageSpan& b) { return a.first < b.first; });
    return figures;
}

} // namespace bench
