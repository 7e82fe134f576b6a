#include "Workers.h"

#include <windows.h>

#include <fcntl.h>
#include <io.h>

#include <algorithm>
#include <chrono>
#include <atomic>
#include <cstdint>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>

#include <nlohmann/json.hpp>

#include "Component.h"
#include "Console.h"
#include "Failure.h"
#include "Handle.h"
#include "Stages.h"

namespace kavro::tool {
namespace {

using Json = nlohmann::json;

constexpr int kDefaultNetworkJobs = 16;
constexpr DWORD kExitWaitMs = 10000;  // for a worker to end once its pipe is closed
// Allowed for a worker to start and make its component: many start at once,
// and a loaded PC starts processes slowly.
constexpr DWORD kStartMs = 120000;
// What a worker says once its component is made; then it waits for places.
constexpr char kReady[] = "ready";

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

// Lines from the worker's side of its pipe; false at its end.
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

std::atomic<unsigned> pipeCount{0};

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

[[noreturn]] void WorkerFailed(const wchar_t* why)
{
    const HRESULT error = HRESULT_FROM_WIN32(GetLastError());
    Fail(kCallFailed, std::wstring(L"A worker process failed: ") + why + L" (" + HresultText(error) + L")");
}

// Held while a worker is created suspended and put into the job that ends it
// with us: ended between the two, we would leave a suspended worker outside
// the job for ever, holding our standard error open.
std::timed_mutex creation;

BOOL WINAPI BeforeCtrlC(DWORD event)
{
    if (event == CTRL_C_EVENT || event == CTRL_BREAK_EVENT || event == CTRL_CLOSE_EVENT) HoldWorkerCreation();
    return FALSE;  // the next handler, or the system's, ends the process
}

LPTOP_LEVEL_EXCEPTION_FILTER crashFilter = nullptr;

LONG WINAPI BeforeCrash(EXCEPTION_POINTERS* exception)
{
    HoldWorkerCreation();
    return crashFilter ? crashFilter(exception) : EXCEPTION_CONTINUE_SEARCH;
}

// The list of handles one child inherits, and nothing else: workers are
// created from several threads at once, and none may hold another's pipe
// (a pipe must break when its own worker ends).
class InheritOnly {
public:
    explicit InheritOnly(std::vector<HANDLE> handles) : handles_(std::move(handles))
    {
        SIZE_T size = 0;
        InitializeProcThreadAttributeList(nullptr, 1, 0, &size);
        storage_.resize(size);
        list_ = reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(storage_.data());
        if (!InitializeProcThreadAttributeList(list_, 1, 0, &size)) WorkerFailed(L"its handle list cannot be made");
        if (!UpdateProcThreadAttribute(list_, 0, PROC_THREAD_ATTRIBUTE_HANDLE_LIST, handles_.data(),
                                       handles_.size() * sizeof(HANDLE), nullptr, nullptr)) {
            DeleteProcThreadAttributeList(list_);
            WorkerFailed(L"its handle list cannot be made");
        }
    }
    InheritOnly(const InheritOnly&) = delete;
    InheritOnly& operator=(const InheritOnly&) = delete;
    ~InheritOnly() { DeleteProcThreadAttributeList(list_); }
    LPPROC_THREAD_ATTRIBUTE_LIST get() const { return list_; }

private:
    std::vector<HANDLE> handles_;  // the list points into it
    std::vector<char> storage_;
    LPPROC_THREAD_ATTRIBUTE_LIST list_ = nullptr;
};

// One kavro.exe in worker mode, with a pipe of its own for requests and answers.
class Worker {
public:
    enum class Read { kLine, kEnded, kLate };

    // stop: an event that, once set, ends any wait for the worker.
    Worker(const std::wstring& commandLine, HANDLE job, HANDLE stop) : stop_(stop)
    {
        const std::wstring name = L"\\\\.\\pipe\\kavro-" + std::to_wstring(GetCurrentProcessId()) + L"-" +
                                  std::to_wstring(++pipeCount) + L"-" + std::to_wstring(GetTickCount64());
        pipe_.reset(CreateNamedPipeW(name.c_str(), PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED | FILE_FLAG_FIRST_PIPE_INSTANCE,
                                     PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT, 1, 4096, 1 << 16, 0, nullptr));
        if (!pipe_) WorkerFailed(L"a pipe cannot be made");
        event_.reset(CreateEventW(nullptr, TRUE, FALSE, nullptr));
        if (!event_) WorkerFailed(L"an event cannot be made");
        SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
        Handle end(CreateFileW(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, &inherit, OPEN_EXISTING, 0, nullptr));
        if (!end) WorkerFailed(L"its end of the pipe cannot be opened");
        // What the terminal library prints goes where our errors go, never into
        // an answer: a duplicate of our standard error, the one handle besides
        // its pipe that it inherits; or, where that is a console, the console
        // itself, which it shares and opens on its own (ServeAsWorker).
        const HANDLE ours = GetStdHandle(STD_ERROR_HANDLE);
        const HandOver how = HandOverOf(ours);
        HANDLE self = GetCurrentProcess(), errors = nullptr;
        if (how == HandOver::kInheritable) DuplicateHandle(self, ours, self, &errors, 0, TRUE, DUPLICATE_SAME_ACCESS);
        Handle err(errors);
        std::vector<HANDLE> inherited{end.get()};
        if (err) inherited.push_back(err.get());
        InheritOnly only(inherited);

        STARTUPINFOEXW startup{};
        startup.StartupInfo.cb = sizeof startup;
        startup.StartupInfo.dwFlags = STARTF_USESTDHANDLES;
        startup.StartupInfo.hStdOutput = err.get();
        startup.StartupInfo.hStdError = err.get();
        startup.lpAttributeList = only.get();
        PROCESS_INFORMATION started{};
        std::wstring line = commandLine + L" --channel " +
                            std::to_wstring(reinterpret_cast<std::uintptr_t>(end.get()));  // CreateProcessW may write into it
        // Sharing our console, it would get our Ctrl+C too: its own process
        // group keeps Ctrl+C ours to answer. Otherwise without a window.
        const DWORD flags = CREATE_SUSPENDED | EXTENDED_STARTUPINFO_PRESENT |
                            (how == HandOver::kConsole ? CREATE_NEW_PROCESS_GROUP : CREATE_NO_WINDOW);
        {
            // Suspended until it is in the job; Ctrl+C waits for that (HoldWorkerCreation).
            std::lock_guard<std::timed_mutex> creating(creation);
            if (!CreateProcessW(nullptr, line.data(), nullptr, nullptr, TRUE, flags, nullptr, nullptr,
                                &startup.StartupInfo, &started))
                WorkerFailed(L"it cannot be created");
            process_.reset(started.hProcess);
            Handle thread(started.hThread);
            // Best effort: a system that refuses the job still ends the worker with its pipe.
            if (job) AssignProcessToJobObject(job, started.hProcess);
            ResumeThread(started.hThread);
        }
        MarkStage("worker_created");
    }
    Worker(const Worker&) = delete;
    Worker& operator=(const Worker&) = delete;
    ~Worker() { End(); }

    // Waits up to timeoutMs for it to say it is ready.
    bool Ready(DWORD timeoutMs)
    {
        std::string line;
        return NextLine(line, timeoutMs) == Read::kLine && line == kReady;
    }

    // Asks for one place and waits up to timeoutMs for the answer.
    Read Search(size_t index, DWORD timeoutMs, std::optional<PlaceResult>& answer)
    {
        std::string line = std::to_string(index) + "\n";
        if (!Write(line)) return Read::kEnded;
        Read read = NextLine(line, timeoutMs);
        if (read == Read::kLine && !(answer = Decode(line, index))) return Read::kEnded;
        return read;
    }

    // Closes its pipe, which ends it, waits for that, and ends it outright if
    // it does not (at once when now). Says how it ended.
    std::wstring End(bool now = false)
    {
        if (!process_) return {};
        pipe_.reset();
        if (now || WaitForSingleObject(process_.get(), kExitWaitMs) != WAIT_OBJECT_0) {
            TerminateProcess(process_.get(), kCallFailed);
            WaitForSingleObject(process_.get(), kExitWaitMs);
        }
        DWORD code = STILL_ACTIVE;
        GetExitCodeProcess(process_.get(), &code);
        process_.reset();
        return L"exit code " + ExitCodeText(code);
    }

private:
    // How an overlapped operation on the pipe ended.
    enum class Io { kDone, kFailed, kLate };

    // Waits for the operation begun with overlapped_: done, failed (or the
    // worker ended, or the search was stopped), or late after timeoutMs (then
    // it is cancelled). got: the bytes it moved.
    Io Complete(BOOL begun, DWORD timeoutMs, DWORD& got)
    {
        if (!begun && GetLastError() != ERROR_IO_PENDING) return Io::kFailed;
        Io ending = Io::kFailed;
        if (!begun) {
            HANDLE waits[] = {event_.get(), process_.get(), stop_};
            DWORD woke = WaitForMultipleObjects(3, waits, FALSE, timeoutMs);
            if (woke != WAIT_OBJECT_0) {
                if (woke == WAIT_TIMEOUT) ending = Io::kLate;
                CancelIo(pipe_.get());
            }
        }
        // Waits for a cancelled operation too: its buffer must outlive it.
        const bool moved = GetOverlappedResult(pipe_.get(), &overlapped_, &got, TRUE) != FALSE;
        // What arrived before the cancel still counts.
        return moved ? Io::kDone : ending == Io::kLate ? Io::kLate : Io::kFailed;
    }

    bool Write(const std::string& text)
    {
        overlapped_ = OVERLAPPED{};
        overlapped_.hEvent = event_.get();
        DWORD got = 0;
        BOOL begun = WriteFile(pipe_.get(), text.data(), static_cast<DWORD>(text.size()), nullptr, &overlapped_);
        return Complete(begun, kExitWaitMs, got) == Io::kDone && got == text.size();
    }

    Read NextLine(std::string& line, DWORD timeoutMs)
    {
        const ULONGLONG end = GetTickCount64() + timeoutMs;
        for (;;) {
            size_t newline = buffer_.find('\n');
            if (newline != std::string::npos) {
                line.assign(buffer_, 0, newline);
                buffer_.erase(0, newline + 1);
                return Read::kLine;
            }
            const ULONGLONG now = GetTickCount64();
            overlapped_ = OVERLAPPED{};
            overlapped_.hEvent = event_.get();
            DWORD got = 0;
            BOOL begun = ReadFile(pipe_.get(), chunk_, sizeof chunk_, nullptr, &overlapped_);
            switch (Complete(begun, now < end ? static_cast<DWORD>(end - now) : 0, got)) {
            case Io::kLate: return Read::kLate;
            case Io::kFailed: return Read::kEnded;
            case Io::kDone: buffer_.append(chunk_, got); break;
            }
        }
    }

    HANDLE stop_;
    Handle process_, pipe_, event_;
    OVERLAPPED overlapped_{};
    char chunk_[4096];
    std::string buffer_;
};

// The places of the range, handed out one at a time once opened, and their
// results.
class Places {
public:
    Places(size_t total, int workers)
        : total_(total), running_(workers), results_(total), closing_(CreateEventW(nullptr, TRUE, FALSE, nullptr))
    {
        if (!closing_) WorkerFailed(L"an event cannot be made");
        for (PlaceResult& result : results_) result.searched = false;
    }

    // Set when it closes: the workers' waits end then.
    HANDLE Closing() const { return closing_.get(); }

    // Hands out places from now on, telling done of each result.
    void Open(const PlaceDone& done)
    {
        {
            std::lock_guard<std::mutex> hold(lock_);
            done_ = &done;
        }
        changed_.notify_all();
    }

    // Hands out no more places.
    void Close()
    {
        {
            std::lock_guard<std::mutex> hold(lock_);
            closed_ = true;
        }
        SetEvent(closing_.get());
        changed_.notify_all();
    }

    // The next place, once open; none when all are handed out or it is closed.
    std::optional<size_t> Next()
    {
        std::unique_lock<std::mutex> hold(lock_);
        changed_.wait(hold, [&] { return done_ || closed_; });
        if (closed_) return std::nullopt;
        if (!returned_.empty()) {
            size_t index = returned_.back();
            returned_.pop_back();
            return index;
        }
        if (next_ == total_) return std::nullopt;
        return next_++;
    }

    void Done(size_t index, PlaceResult result)
    {
        {
            std::lock_guard<std::mutex> hold(lock_);
            results_[index] = std::move(result);
            ++searched_;
            (*done_)(index, results_[index]);
        }
        changed_.notify_all();
    }

    // A worker that could not be created, or ended before it was ready: the
    // second such worker stops the starting of workers, and why says why.
    void CannotStart(const std::wstring& why)
    {
        std::lock_guard<std::mutex> hold(lock_);
        if (closed_) return;  // ended with the search
        if (++notStarted_ == 2 && stopped_.empty()) stopped_ = L"Worker processes cannot start: 2 " + why;
    }

    // What becomes of the place of a worker that ended on its first place.
    enum class Lost { kGivenBack, kFailed };

    // Before any place of the search was searched, the worker counts as one
    // that cannot start and its place goes back to be handed out again;
    // once places are searched, workers evidently start, and the place fails.
    Lost EndedOnFirstPlace(size_t index, const std::wstring& ended)
    {
        std::unique_lock<std::mutex> hold(lock_);
        if (closed_) return Lost::kGivenBack;  // ended with the search: nobody waits for it
        if (searched_ > 0) return Lost::kFailed;
        returned_.push_back(index);
        hold.unlock();
        CannotStart(L"ended before they answered (the last with " + ended + L")");
        return Lost::kGivenBack;
    }

    // No more workers: two could not start, or the search is over, or no
    // place is left to hand out.
    bool Stopped()
    {
        std::lock_guard<std::mutex> hold(lock_);
        return !stopped_.empty() || closed_ || (next_ == total_ && returned_.empty());
    }

    void WorkerGone()
    {
        {
            std::lock_guard<std::mutex> hold(lock_);
            --running_;
        }
        changed_.notify_all();
    }

    // Waits for every result, or for the last worker to go, calling shown
    // with the count so far at each result.
    std::vector<PlaceResult> WaitAll(const std::function<void(size_t)>& shown, std::wstring& stopped)
    {
        std::unique_lock<std::mutex> hold(lock_);
        for (size_t seen = 0;;) {
            changed_.wait(hold, [&] { return searched_ != seen || running_ == 0; });
            seen = searched_;
            if (seen == total_ || running_ == 0) {
                stopped = stopped_;
                return std::move(results_);
            }
            hold.unlock();
            shown(seen);
            hold.lock();
        }
    }

private:
    std::mutex lock_;
    std::condition_variable changed_;
    const size_t total_;
    size_t next_ = 0, searched_ = 0;
    int running_;
    int notStarted_ = 0;
    bool closed_ = false;
    std::vector<size_t> returned_;
    std::wstring stopped_;
    std::vector<PlaceResult> results_;
    const PlaceDone* done_ = nullptr;
    Handle closing_;
};

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
        try {
            switch (SearchOne(worker, !answered, places, request, *index, placeTimeout, result)) {
            case Searched::kGivenBack: continue;
            case Searched::kAnswered:
                if (!answered) MarkStage("first_answer");
                answered = true;
                break;
            case Searched::kFailed: break;
            }
        } catch (...) {
            result.exitCode = kCallFailed;
            result.failure = L"Searching " + PlaceName(request, *index) + L" with a worker process failed";
        }
        places.Done(*index, std::move(result));
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

void HoldWorkerCreation() noexcept
{
    // Never let go: no worker is created any more. Bounded, so that a crash
    // while one is created cannot hang the process.
    (void)creation.try_lock_for(std::chrono::seconds(5));
}

WorkerSearch::WorkerSearch(const SearchRequest& request, int jobs, int placeTimeout, const std::wstring& dllPath)
    : running_(std::make_unique<Running>(request, jobs, dllPath))
{
    static std::once_flag guarded;
    std::call_once(guarded, [] {
        SetConsoleCtrlHandler(BeforeCtrlC, TRUE);
        crashFilter = SetUnhandledExceptionFilter(BeforeCrash);
    });
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
