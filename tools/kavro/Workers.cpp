#include "Workers.h"

#include <windows.h>

#include <fcntl.h>
#include <io.h>

#include <algorithm>
#include <memory>
#include <optional>
#include <thread>

#include "Component.h"
#include "Console.h"
#include "Failure.h"
#include "Handle.h"
#include "Places.h"
#include "Stages.h"
#include "WorkerChannel.h"
#include "WorkerProcess.h"

namespace kavro::tool {
namespace {

constexpr int kDefaultNetworkJobs = 16;
// Allowed for a worker to start and make its component: many start at once,
// and a loaded PC starts processes slowly.
constexpr DWORD kStartMs = 120000;

// A command-line argument in quotes, as CommandLineToArgvW reads it back.
std::wstring Quoted(const std::wstring& text)
{
    std::wstring out = L"\"";
    size_t backslashes = 0;
    for (wchar_t c : text) {
        if (c == L'\\') {
            ++backslashes;
            continue;
        }
        out.append(c == L'"' ? backslashes * 2 + 1 : backslashes, L'\\');
        backslashes = 0;
        out += c;
    }
    out.append(backslashes * 2, L'\\');
    return out + L"\"";
}

std::wstring WorkerCommandLine(const SearchRequest& request, const std::wstring& dllPath)
{
    const std::wstring self = ModulePath();
    if (self.empty()) Fail(kCallFailed, L"The path of kavro.exe cannot be read");
    std::wstring line = Quoted(self);
    if (!dllPath.empty()) line += L" --dll " + Quoted(dllPath);
    line += L" discover";
    if (request.serial)
        line += L" --port " + std::to_wstring(request.ports.first) + L"-" + std::to_wstring(request.ports.last);
    else
        line += L" --ip " + request.addresses.front() + L"-" + request.addresses.back();
    return line + L" --number " + std::to_wstring(request.numbers.first) + L"-" +
           std::to_wstring(request.numbers.last) + L" --worker";
}

// In a worker: what the terminal library prints on standard output goes to
// standard error. A worker that shares its parent's console was given no
// handles (a console handle cannot be handed over on every Windows), so it
// opens the console's output itself.
void RouteLibraryOutput()
{
    HANDLE errors = GetStdHandle(STD_ERROR_HANDLE);
    if (!errors || errors == INVALID_HANDLE_VALUE) {
        errors = CreateFileW(L"CONOUT$", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                             OPEN_EXISTING, 0, nullptr);
        if (errors == INVALID_HANDLE_VALUE) return;
        SetStdHandle(STD_ERROR_HANDLE, errors);
    }
    SetStdHandle(STD_OUTPUT_HANDLE, errors);
    // And for a library that prints through the C runtime.
    const int fd = _open_osfhandle(reinterpret_cast<intptr_t>(errors), _O_TEXT);
    if (fd >= 0 && fd != 1) _dup2(fd, 1);
    if (fd >= 0 && fd != 2) _dup2(fd, 2);
}

// A new worker, once it has made its component; null when it could not be
// created or ended before (counted by places as one that cannot start), or
// the search ended first.
std::unique_ptr<Worker> ReadyWorker(Places& places, const std::wstring& commandLine, HANDLE job) noexcept
{
    try {
        auto worker = std::make_unique<Worker>(commandLine, job, places.Closing());
        if (worker->Ready(kStartMs)) return worker;
        places.CannotStart(L"ended before they answered (the last with " + worker->End(true) + L")");
    } catch (const Failure& f) {
        places.CannotStart(L"could not be created (the last: " + f.message + L")");
    } catch (...) {
        places.CannotStart(L"could not be created");
    }
    return nullptr;
}

// What searching one place with a worker came to.
enum class Searched { kAnswered, kFailed, kGivenBack };

// Hands the place to the worker and reads its answer into result. A worker
// that is late or ends is ended and reset.
Searched SearchOne(std::unique_ptr<Worker>& worker, bool firstPlace, Places& places, const SearchRequest& request,
                   size_t index, int placeTimeout, PlaceResult& result)
{
    std::optional<PlaceResult> answer;
    const Worker::Read read = worker->Search(index, static_cast<DWORD>(placeTimeout) * 1000, answer);
    if (read == Worker::Read::kLine) {
        result = std::move(*answer);
        return Searched::kAnswered;
    }
    const std::wstring ended = worker->End(read == Worker::Read::kLate);
    worker.reset();
    result.exitCode = kCallFailed;
    if (read == Worker::Read::kLate) {
        result.failure = L"The worker process searching " + PlaceName(request, index) + L" did not answer within " +
                         std::to_wstring(placeTimeout) + L" s; it was ended";
        return Searched::kFailed;
    }
    if (firstPlace && places.EndedOnFirstPlace(index, ended) == Places::Lost::kGivenBack) return Searched::kGivenBack;
    result.failure = L"The worker process searching " + PlaceName(request, index) + L" ended without answering (" +
                     ended + L")";
    return Searched::kFailed;
}

// One thread per worker: it starts its worker at once and, once that is
// ready, keeps it busy with the next place until none is left, starting a new
// worker when one ends. A place goes only to a ready worker: one still
// starting holds up no place, and is ended when the others have searched the
// whole range.
void KeepWorking(Places& places, const SearchRequest& request, const std::wstring& commandLine, int placeTimeout,
                 HANDLE job) noexcept
{
    std::unique_ptr<Worker> worker;
    bool answered = false;  // by this worker
    for (;;) {
        if (!worker) {
            if (places.Stopped()) break;
            worker = ReadyWorker(places, commandLine, job);
            answered = false;
            continue;
        }
        const std::optional<size_t> index = places.Next();
        if (!index) break;
        PlaceResult result;
        Searched searched = Searched::kFailed;
        try {
            searched = SearchOne(worker, !answered, places, request, *index, placeTimeout, result);
        } catch (...) {
            result.exitCode = kCallFailed;
            result.failure = L"Searching " + PlaceName(request, *index) + L" with a worker process failed";
        }
        if (searched == Searched::kAnswered && !answered) {
            MarkStage("first_answer");
            answered = true;
        }
        if (searched != Searched::kGivenBack) places.Done(*index, std::move(result));
    }
    // Ended at once: an idle worker's orderly exit would only delay the result.
    if (worker) worker->End(true);
    places.WorkerGone();
}

// Ends every process in it when the last handle closes, also when this
// process is ended (Ctrl+C, a crash, TerminateProcess). Null where the system
// has no such job.
Handle KillOnCloseJob()
{
    Handle job(CreateJobObjectW(nullptr, nullptr));
    JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits{};
    limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
    if (job && !SetInformationJobObject(job.get(), JobObjectExtendedLimitInformation, &limits, sizeof limits))
        job.reset();
    return job;
}

} // namespace

int WorkerCount(const SearchRequest& request, int jobs)
{
    if (jobs == 0) jobs = request.serial ? 1 : kDefaultNetworkJobs;
    return static_cast<int>(std::min<size_t>(jobs, std::max<size_t>(PlaceCount(request), 1)));
}

struct WorkerSearch::Running {
    Running(const SearchRequest& request, int jobs, const std::wstring& dllPath)
        : request(request), jobs(jobs), commandLine(WorkerCommandLine(request, dllPath)), job(KillOnCloseJob()),
          places(PlaceCount(request), jobs)
    {
    }

    const SearchRequest& request;
    const int jobs;
    const std::wstring commandLine;
    Handle job;
    Places places;
    std::vector<std::jthread> threads;  // joined before places and the job go
};

WorkerSearch::WorkerSearch(const SearchRequest& request, int jobs, int placeTimeout, const std::wstring& dllPath)
    : running_(std::make_unique<Running>(request, jobs, dllPath))
{
    GuardWorkerCreation();
    Running& r = *running_;
    try {
        for (int i = 0; i < jobs; ++i)
            r.threads.emplace_back(KeepWorking, std::ref(r.places), std::cref(request), std::cref(r.commandLine),
                                   placeTimeout, r.job.get());
    } catch (...) {
        r.places.Close();  // so that the threads started end, and are joined
        throw;
    }
}

WorkerSearch::~WorkerSearch()
{
    running_->places.Close();
    running_->threads.clear();  // each ends its worker
}

std::vector<PlaceResult> WorkerSearch::Search(const PlaceDone& done, std::wstring& stopped)
{
    Running& r = *running_;
    const size_t total = PlaceCount(r.request);
    ProgressLine progress;
    auto show = [&](size_t searched) {
        progress.Show(L"Searching with " + std::to_wstring(r.jobs) + L" workers (" + std::to_wstring(searched) +
                      L" of " + std::to_wstring(total) + L" searched)");
    };
    show(0);
    r.places.Open(done);
    std::vector<PlaceResult> results = r.places.WaitAll(show, stopped);
    MarkStage("last_answer");
    r.places.Close();   // workers still starting are not waited for
    r.threads.clear();  // each ends its worker
    MarkStage("workers_ended");
    return results;
}

int ServeAsWorker(const std::wstring& dllPath, const SearchRequest& request, HANDLE channel)
{
    // A component that cannot be made ends the worker without a word: the
    // parent, which made its own, reports the exit code, and one that could
    // not make its own says so itself.
    // Ctrl+C is the parent's to answer; the job ends us with it.
    SetConsoleCtrlHandler(nullptr, TRUE);
    RouteLibraryOutput();
    ComPtr<IMachine> machine;
    try {
        machine = CreateMachine(dllPath);
    } catch (const Failure& f) {
        return f.exitCode;
    }
    if (!WriteLine(channel, kReady)) return kCallFailed;
    LineReader input(channel);
    const size_t total = PlaceCount(request);
    std::string line;
    while (input.Next(line)) {
        size_t index = 0;
        try {
            index = std::stoul(line);
        } catch (const std::exception&) {
            index = total;
        }
        if (index >= total) Fail(kBadArguments, L"worker: no place " + FromUtf8(line) + L" in the search");
        if (!WriteLine(channel, Encode(index, SearchPlace(*machine.Get(), request, index))))
            Fail(kCallFailed, L"worker: the answer cannot be written");
    }
    return kSuccess;
}

} // namespace kavro::tool
