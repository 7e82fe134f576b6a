#include "Workers.h"

#include <windows.h>

#include <algorithm>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>

#include <nlohmann/json.hpp>

#include "Console.h"
#include "Failure.h"
#include "Handle.h"

namespace kavro::tool {
namespace {

using Json = nlohmann::json;

constexpr int kDefaultNetworkJobs = 16;
constexpr DWORD kExitWaitMs = 10000;  // for a worker to end once its input is closed

std::wstring ExitCodeText(DWORD code)
{
    return code < 256 ? std::to_wstring(code) : HresultText(static_cast<long>(code));
}

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
    wchar_t self[MAX_PATH * 4];
    DWORD n = GetModuleFileNameW(nullptr, self, MAX_PATH * 4);
    if (n == 0 || n >= MAX_PATH * 4) Fail(kCallFailed, L"The path of kavro.exe cannot be read");
    std::wstring line = Quoted(std::wstring(self, n));
    if (!dllPath.empty()) line += L" --dll " + Quoted(dllPath);
    line += L" discover";
    if (request.serial)
        line += L" --port " + std::to_wstring(request.ports.first) + L"-" + std::to_wstring(request.ports.last);
    else
        line += L" --ip " + request.addresses.front() + L"-" + request.addresses.back();
    return line + L" --number " + std::to_wstring(request.numbers.first) + L"-" +
           std::to_wstring(request.numbers.last) + L" --worker";
}

// Lines from a pipe; false at its end.
class LineReader {
public:
    explicit LineReader(HANDLE pipe) : pipe_(pipe) {}

    bool Next(std::string& line)
    {
        for (;;) {
            size_t end = buffer_.find('\n');
            if (end != std::string::npos) {
                line.assign(buffer_, 0, end);
                buffer_.erase(0, end + 1);
                return true;
            }
            char chunk[4096];
            DWORD got = 0;
            if (!ReadFile(pipe_, chunk, sizeof chunk, &got, nullptr) || got == 0) return false;
            buffer_.append(chunk, got);
        }
    }

private:
    HANDLE pipe_;
    std::string buffer_;
};

bool WriteLine(HANDLE pipe, const std::string& text)
{
    std::string line = text + "\n";
    DWORD written = 0;
    return WriteFile(pipe, line.data(), static_cast<DWORD>(line.size()), &written, nullptr) && written == line.size();
}

// The answer for one place, one line of JSON:
// {"place":7,"found":[[{"name":"vIp","text":"192.168.1.7"},...]],"exit_code":0,"failure":""}
std::string Encode(size_t index, const PlaceResult& result)
{
    Json found = Json::array();
    for (const auto& properties : result.found) {
        Json item = Json::array();
        for (const ReportedProperty& p : properties) {
            Json property = {{"name", Utf8(p.name)}, {"text", Utf8(p.text)}};
            if (p.number) property["number"] = *p.number;
            item.push_back(std::move(property));
        }
        found.push_back(std::move(item));
    }
    return Json{{"place", index}, {"found", found}, {"exit_code", result.exitCode}, {"failure", Utf8(result.failure)}}
        .dump();
}

std::optional<PlaceResult> Decode(const std::string& line, size_t index)
{
    Json answer = Json::parse(line, nullptr, false);
    try {
        if (!answer.is_object() || answer.at("place").get<size_t>() != index) return std::nullopt;
        PlaceResult result;
        for (const Json& item : answer.at("found")) {
            auto& properties = result.found.emplace_back();
            for (const Json& p : item) {
                std::optional<long> number;
                if (p.contains("number")) number = p.at("number").get<long>();
                properties.push_back({FromUtf8(p.at("name").get<std::string>()),
                                      FromUtf8(p.at("text").get<std::string>()), number});
            }
        }
        result.exitCode = answer.at("exit_code").get<int>();
        result.failure = FromUtf8(answer.at("failure").get<std::string>());
        return result;
    } catch (const Json::exception&) {
        return std::nullopt;
    }
}

// Handles a child inherits are made inheritable only while it is created,
// one child at a time, so no worker holds another's pipe ends (and a pipe
// breaks when its own worker ends).
std::mutex startLock;

// One kavro.exe in worker mode, with a pipe each way.
class Worker {
public:
    Worker(const std::wstring& commandLine, HANDLE job)
    {
        std::lock_guard<std::mutex> hold(startLock);
        HANDLE toWorker = nullptr, fromWorker = nullptr, workerIn = nullptr, workerOut = nullptr, workerErr = nullptr;
        if (!CreatePipe(&workerIn, &toWorker, nullptr, 0)) Failed(L"a pipe cannot be made");
        Handle in(workerIn);
        input_.reset(toWorker);
        if (!CreatePipe(&fromWorker, &workerOut, nullptr, 1 << 16)) Failed(L"a pipe cannot be made");
        Handle out(workerOut);
        output_.reset(fromWorker);
        // The worker's errors go where ours go: the terminal library may say something there.
        HANDLE self = GetCurrentProcess();
        DuplicateHandle(self, GetStdHandle(STD_ERROR_HANDLE), self, &workerErr, 0, TRUE, DUPLICATE_SAME_ACCESS);
        Handle err(workerErr);
        SetHandleInformation(workerIn, HANDLE_FLAG_INHERIT, HANDLE_FLAG_INHERIT);
        SetHandleInformation(workerOut, HANDLE_FLAG_INHERIT, HANDLE_FLAG_INHERIT);

        STARTUPINFOW startup{};
        startup.cb = sizeof startup;
        startup.dwFlags = STARTF_USESTDHANDLES;
        startup.hStdInput = workerIn;
        startup.hStdOutput = workerOut;
        startup.hStdError = workerErr;
        PROCESS_INFORMATION started{};
        std::wstring line = commandLine;  // CreateProcessW may write into it
        // Suspended until it is in the job; without a window of its own.
        if (!CreateProcessW(nullptr, line.data(), nullptr, nullptr, TRUE, CREATE_SUSPENDED | CREATE_NO_WINDOW, nullptr,
                            nullptr, &startup, &started))
            Failed(L"it cannot be started");
        process_.reset(started.hProcess);
        Handle thread(started.hThread);
        // Best effort: a system that refuses the job still ends the worker with its input.
        if (job) AssignProcessToJobObject(job, started.hProcess);
        ResumeThread(started.hThread);
        reader_ = std::make_unique<LineReader>(output_.get());
    }
    Worker(const Worker&) = delete;
    Worker& operator=(const Worker&) = delete;
    ~Worker() { End(); }

    // Asks for one place and reads the answer; nullopt when the worker has not answered it.
    std::optional<PlaceResult> Search(size_t index)
    {
        std::string line;
        if (!WriteLine(input_.get(), std::to_string(index)) || !reader_->Next(line)) return std::nullopt;
        return Decode(line, index);
    }

    // Closes its input, which ends it, waits for that, and ends it outright if
    // it does not. Says how it ended.
    std::wstring End()
    {
        if (!process_) return {};
        input_.reset();
        if (WaitForSingleObject(process_.get(), kExitWaitMs) != WAIT_OBJECT_0) {
            TerminateProcess(process_.get(), kCallFailed);
            WaitForSingleObject(process_.get(), kExitWaitMs);
        }
        DWORD code = STILL_ACTIVE;
        GetExitCodeProcess(process_.get(), &code);
        process_.reset();
        output_.reset();
        return L"exit code " + ExitCodeText(code);
    }

private:
    [[noreturn]] static void Failed(const wchar_t* why)
    {
        const HRESULT error = HRESULT_FROM_WIN32(GetLastError());
        Fail(kCallFailed, std::wstring(L"A worker process failed: ") + why + L" (" + HresultText(error) + L")");
    }

    Handle process_, input_, output_;
    std::unique_ptr<LineReader> reader_;
};

// The places of the range, handed out one at a time, and their results.
class Places {
public:
    explicit Places(size_t total) : total_(total), results_(total) {}

    std::optional<size_t> Next()
    {
        std::lock_guard<std::mutex> hold(lock_);
        if (next_ == total_) return std::nullopt;
        return next_++;
    }

    void Done(size_t index, PlaceResult result)
    {
        {
            std::lock_guard<std::mutex> hold(lock_);
            results_[index] = std::move(result);
            ++done_;
        }
        changed_.notify_all();
    }

    // Waits for every result, calling shown with the count so far at each one.
    std::vector<PlaceResult> WaitAll(const std::function<void(size_t)>& shown)
    {
        std::unique_lock<std::mutex> hold(lock_);
        for (size_t seen = 0;;) {
            changed_.wait(hold, [&] { return done_ != seen; });
            seen = done_;
            if (seen == total_) return std::move(results_);
            hold.unlock();
            shown(seen);
            hold.lock();
        }
    }

private:
    std::mutex lock_;
    std::condition_variable changed_;
    const size_t total_;
    size_t next_ = 0, done_ = 0;
    std::vector<PlaceResult> results_;
};

// One thread per worker: it keeps a worker busy with the next place until
// none is left, starting a new worker when one ends.
void KeepWorking(Places& places, const SearchRequest& request, const std::wstring& commandLine, HANDLE job) noexcept
{
    std::unique_ptr<Worker> worker;
    while (std::optional<size_t> index = places.Next()) {
        PlaceResult result;
        try {
            if (!worker) worker = std::make_unique<Worker>(commandLine, job);
            if (std::optional<PlaceResult> answer = worker->Search(*index)) {
                result = std::move(*answer);
            } else {
                std::wstring ended = worker->End();
                worker.reset();
                Fail(kCallFailed, L"The worker process searching " + PlaceName(request, *index) +
                                      L" ended without answering (" + ended + L")");
            }
        } catch (const Failure& f) {
            result.exitCode = f.exitCode;
            result.failure = f.message;
        } catch (...) {
            result.exitCode = kCallFailed;
            result.failure = L"Searching " + PlaceName(request, *index) + L" with a worker process failed";
        }
        places.Done(*index, std::move(result));
    }
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

std::vector<PlaceResult> SearchWithWorkers(const SearchRequest& request, int jobs, const std::wstring& dllPath)
{
    const std::wstring commandLine = WorkerCommandLine(request, dllPath);
    const size_t total = PlaceCount(request);
    Handle job = KillOnCloseJob();
    Places places(total);
    ProgressLine progress;
    std::vector<std::jthread> threads;  // joined before places and the job go
    for (int i = 0; i < jobs; ++i)
        threads.emplace_back(KeepWorking, std::ref(places), std::cref(request), std::cref(commandLine), job.get());
    auto show = [&](size_t done) {
        progress.Show(L"Searching with " + std::to_wstring(jobs) + L" workers (" + std::to_wstring(done) + L" of " +
                      std::to_wstring(total) + L" searched)");
    };
    show(0);
    return places.WaitAll(show);
}

int ServeAsWorker(IMachine& machine, const SearchRequest& request)
{
    LineReader input(GetStdHandle(STD_INPUT_HANDLE));
    HANDLE output = GetStdHandle(STD_OUTPUT_HANDLE);
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
        if (!WriteLine(output, Encode(index, SearchPlace(machine, request, index))))
            Fail(kCallFailed, L"worker: the answer cannot be written");
    }
    return kSuccess;
}

} // namespace kavro::tool
