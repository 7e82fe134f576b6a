// The benchmark program, run as scripts/bench.sh runs it but with tiny sizes:
// it must finish, and its JSON must carry every figure.
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "Process.h"
#include "TestEnv.h"

namespace kavro::test {
namespace {

TEST(Bench, TinyRunGivesEveryFigure)
{
    ProcessOutcome run = RunProcess(
        L"\"" + BinDir() + L"kavro-bench.exe\" --json --repetitions 1 --records 20 --ports 3 --numbers 2 "
        L"--employees 5 --template-bytes 16 --rewrite-bytes 64 --rewrite-calls 2 --cycles 2 "
        L"--jobs-addresses 2 --jobs-absent-ms 0 --jobs-slow-absent-ms 10 --jobs-repetitions 1",
        BinDir(), 300000);
    ASSERT_EQ(run.exitCode, 0u) << "kavro-bench failed:\n" << run.output;
    nlohmann::json figures = nlohmann::json::parse(run.output, nullptr, false);
    ASSERT_TRUE(figures.is_object()) << "expected one JSON object, got:\n" << run.output;

    for (const char* key : {"download_ratio", "discovery_ratio", "backup_ratio", "rewrite_us",
                            "create_call_release_us", "surrogate_call_us", "surrogate_call_ratio", "discover_jobs_speedup", "discover_jobs_speedup_1s",
                            "dll_bytes"}) {
        ASSERT_TRUE(figures.contains(key)) << "no " << key << " in:\n" << run.output;
        EXPECT_TRUE(figures[key].is_number() && figures[key].get<double>() > 0)
            << key << " should be a positive number, got " << figures[key].dump();
    }
    ASSERT_TRUE(figures.contains("dll_imports")) << "no dll_imports in:\n" << run.output;
    ASSERT_TRUE(figures["dll_imports"].is_array());
    EXPECT_FALSE(figures["dll_imports"].empty()) << "Kavro.dll imports at least KERNEL32.dll";
    for (const auto& name : figures["dll_imports"])
        EXPECT_TRUE(name.is_string()) << "an import is a DLL name, got " << name.dump();

    // kavro.exe's stages, each reached (first process) no earlier than the one before.
    const nlohmann::json& stages = figures["discover_stages_seconds"];
    double before = 0;
    for (const char* stage : {"started", "worker_created", "worker_started", "worker_component", "first_answer",
                              "last_answer", "exit"}) {
        ASSERT_TRUE(stages.contains(stage)) << "no stage " << stage << " in:\n" << run.output;
        EXPECT_GE(stages[stage][0].get<double>(), before) << stage << " before the stage ahead of it:\n" << stages.dump();
        before = stages[stage][0].get<double>();
    }
}

} // namespace
} // namespace kavro::test
