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

std::wstring ProgramFolder()
{
    wchar_t path[MAX_PATH * 4];
    DWORD n = GetModuleFileNameW(nullptr, path, MAX_PATH * 4);
    std::wstring program(path, n);
    return program.substr(0, program.find_last_of(L"\\/") + 1);
}

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

// Seconds from starting the command line to its exit; it must succeed.
double TimeProgram(const std::wstring& commandLine)
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
    double start = Now();
    BOOL started = CreateProcessW(nullptr, line.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup, &process);
    if (nul != INVALID_HANDLE_VALUE) CloseHandle(nul);
    if (!started) Fail("kavro.exe cannot be started", HRESULT_FROM_WIN32(GetLastError()));
    WaitForSingleObject(process.hProcess, INFINITE);
    double elapsed = Now() - start;
    DWORD code = 1;
    GetExitCodeProcess(process.hProcess, &code);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    if (code != 0) Fail("kavro discover did not succeed: exit code " + std::to_string(code));
    return elapsed;
}

} // namespace

JobsFigures DiscoveryJobs(const Sizes& sizes)
{
    const std::wstring bin = ProgramFolder();
    const std::wstring kavro = L"\"" + bin + L"kavro.exe\" --dll \"" + bin + L"Kavro.dll\" ";
    const std::wstring command =
        kavro + L"discover --ip 10.0.0.1-" + std::to_wstring(sizes.jobsAddresses) + L" --jobs ";
    const int counts[] = {1, 4, 16, 64};
    std::map<int, std::vector<double>> seconds;
    std::vector<double> speedups, slow1, slow16, slowSpeedups, process, component;
    for (int r = 0; r < sizes.jobsRepetitions; ++r) {
        {
            const SiteFile site(sizes.jobsAbsentMs);
            // Each repetition in the other order, so a changing load weighs on all alike.
            std::vector<int> order(std::begin(counts), std::end(counts));
            if (r % 2) std::reverse(order.begin(), order.end());
            for (int jobs : order) seconds[jobs].push_back(TimeProgram(command + std::to_wstring(jobs)));
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
    return figures;
}

} // namespace bench
