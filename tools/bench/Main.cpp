// kavro-bench [--json] [sizes]: every IMachine operation against its baseline,
// each figure the median of several repetitions in this one process.
//
//   scripts/bench.sh [--json]     builds, registers and runs it
#include "Bench.h"

#include <CLI/CLI.hpp>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <cstdio>
#include <exception>

namespace bench {
namespace {

void ExpectListsBack()
{
    if (HwSim_OutstandingLists() != 0 || HwSim_BadFrees() != 0)
        Fail("a list the library handed out did not go back exactly once");
}

void PrintTable(const Sizes& sizes, const std::vector<Figure>& figures, const JobsFigures& jobs,
                const ModuleFacts& module)
{
    std::printf("medians of %d repetitions; ratio: the median of the repetitions' ratios\n", sizes.repetitions);
    std::printf("%-44s %14s %14s %7s\n", "figure", "Kavro", "baseline", "ratio");
    for (const Figure& f : figures) {
        if (f.perCall) {
            std::printf("%-44s %11.1f us %11.1f us %7.2f\n", f.label.c_str(), f.component * 1e6,
                        f.baseline * 1e6, f.ratio);
        } else {
            std::printf("%-44s %11.1f ms %11.1f ms %7.2f\n", f.label.c_str(), f.component * 1e3,
                        f.baseline * 1e3, f.ratio);
        }
    }
    std::printf("discover with worker processes (%d repetitions), a whole kavro.exe run:\n", sizes.jobsRepetitions);
    for (const auto& [count, seconds] : jobs.secondsByJobs)
        std::printf("  --jobs %-36d %11.2f s  %7.2f times --jobs 1\n", count, seconds,
                    jobs.secondsByJobs.front().second / seconds);
    std::printf("  a kavro.exe start and exit (--help) %19.2f s\n", jobs.processSeconds);
    std::printf("  then its component and one probe %22.2f s\n", jobs.componentSeconds);
    std::printf("  stages of --jobs 16, seconds from its start: first and last process\n");
    for (const StageSpan& s : jobs.stages)
        std::printf("    %-36s %11.2f s %11.2f s\n", s.stage.c_str(), s.first, s.last);
    if (!module.bytes) return;
    std::printf("%-44s %8lld bytes\n", "Kavro.dll size", module.bytes);
    std::string imports;
    for (const std::string& name : module.imports) imports += (imports.empty() ? "" : " ") + name;
    std::printf("%-44s %s\n", "Kavro.dll imports", imports.c_str());
}

void PrintJson(const std::vector<Figure>& figures, const JobsFigures& jobs, const ModuleFacts& module)
{
    nlohmann::ordered_json out;
    for (const Figure& f : figures) {
        out[f.key] = f.perCall ? f.component * 1e6 : f.ratio;
        if (f.ratioInJson) out[f.key.substr(0, f.key.rfind("_us")) + "_ratio"] = f.ratio;
    }
    for (const auto& [count, seconds] : jobs.secondsByJobs)
        out["discover_jobs_seconds"][std::to_string(count)] = seconds;
    out["discover_start_seconds"] = {{"process", jobs.processSeconds}, {"component", jobs.componentSeconds}};
    out["discover_stages_seconds"] = nlohmann::ordered_json::object();
    for (const StageSpan& s : jobs.stages) out["discover_stages_seconds"][s.stage] = {s.first, s.last};
    if (module.bytes) {
        out["dll_bytes"] = module.bytes;
        out["dll_imports"] = module.imports;
    }
    std::printf("%s\n", out.dump(2).c_str());
}

int Run(const Sizes& sizes, bool json)
{
    std::vector<Figure> figures;
    if (!sizes.onlyJobs) {
        ComPtr<IMachine> machine = CreateMachine();
        for (auto measure : {Download, Discovery, Backup, ReWrite}) {
            figures.push_back(measure(sizes, *machine.Get()));
            ExpectListsBack();
        }
        figures.push_back(CreateCallRelease(sizes));
    }
    if (!sizes.onlyJobs) figures.push_back(SurrogateCall(sizes));
    const JobsFigures jobs = DiscoveryJobs(sizes);
    figures.push_back(jobs.speedup);
    figures.push_back(jobs.speedupSlow);
    const ModuleFacts module = sizes.onlyJobs ? ModuleFacts{} : ReadModuleFacts();
    if (json)
        PrintJson(figures, jobs, module);
    else
        PrintTable(sizes, figures, jobs, module);
    return 0;
}

} // namespace
} // namespace bench

int main(int argc, char** argv)
{
    bench::Sizes sizes;
    bool json = false;
    CLI::App app{"Times every IMachine operation of Kavro.dll against a baseline in the same run."};
    app.add_flag("--json", json, "print one JSON object instead of the table");
    app.add_option("--repetitions", sizes.repetitions, "repetitions per figure")->check(CLI::Range(1, 1000));
    app.add_option("--records", sizes.records, "download: punch records")->check(CLI::Range(1, 1000000));
    app.add_option("--ports", sizes.ports, "discovery: serial ports")->check(CLI::Range(1, 32766));
    app.add_option("--numbers", sizes.numbers, "discovery: terminal numbers per port")->check(CLI::Range(1, 32766));
    app.add_option("--employees", sizes.employees, "backup: employees")->check(CLI::Range(1, 32767));
    app.add_option("--template-bytes", sizes.templateBytes, "backup: template bytes")->check(CLI::Range(11, 32767));
    app.add_option("--rewrite-bytes", sizes.rewriteBytes, "re-write: template bytes")->check(CLI::Range(1, 32767));
    app.add_option("--rewrite-calls", sizes.rewriteCalls, "re-write: calls per repetition")->check(CLI::Range(1, 100000));
    app.add_option("--cycles", sizes.cycles, "create, call, release: cycles per repetition")->check(CLI::Range(1, 1000000));
    app.add_option("--surrogate-calls", sizes.surrogateCalls, "a call through the surrogate: calls per repetition")
        ->check(CLI::Range(1, 100000));
    app.add_option("--jobs-addresses", sizes.jobsAddresses, "discover with workers: addresses")->check(CLI::Range(1, 255));
    app.add_option("--jobs-absent-ms", sizes.jobsAbsentMs, "discover with workers: ms an absent address takes")
        ->check(CLI::Range(0, 600000));
    app.add_option("--jobs-slow-absent-ms", sizes.jobsSlowAbsentMs,
                   "discover with workers, second speedup: ms an absent address takes")
        ->check(CLI::Range(0, 600000));
    app.add_option("--jobs-repetitions", sizes.jobsRepetitions, "discover with workers: repetitions")
        ->check(CLI::Range(1, 100));
    app.add_option("--jobs-counts", sizes.jobsCounts, "discover with workers: the --jobs tried (1 and 16 among them)")
        ->delimiter(',')
        ->check(CLI::Range(1, 64));
    app.add_flag("--only-jobs", sizes.onlyJobs, "only the discovery with workers (no size either)");
    CLI11_PARSE(app, argc, argv);
    std::sort(sizes.jobsCounts.begin(), sizes.jobsCounts.end());
    sizes.jobsCounts.erase(std::unique(sizes.jobsCounts.begin(), sizes.jobsCounts.end()), sizes.jobsCounts.end());
    if (!std::binary_search(sizes.jobsCounts.begin(), sizes.jobsCounts.end(), 1) ||
        !std::binary_search(sizes.jobsCounts.begin(), sizes.jobsCounts.end(), 16)) {
        std::fprintf(stderr, "kavro-bench: --jobs-counts needs 1 and 16 (the speedup's two)\n");
        return 2;
    }

    if (FAILED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED))) return 2;
    int status = 1;
    try {
        status = bench::Run(sizes, json);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "kavro-bench: %s\n", e.what());
    }
    CoUninitialize();
    return status;
}
