#include "WorkerProcess.h"

#include <chrono>
#include <atomic>
#include <cstdint>
#include <mutex>
#include <vector>

#include "Console.h"
#include "Failure.h"
#include "Stages.h"
#include "WorkerChannel.h"
#include "Workers.h"

namespace kavro::tool {
namespace {

constexpr DWORD kExitWaitMs = 10000;  // for a worker to end once its pipe is closed

std::wstring ExitCodeText(DWORD code)
{
    return code < 256 ? std::to_wstring(code) : HresultText(static_cast<long>(code));
}

std::atomic<unsigned> pipeCount{0};

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

} // namespace

[[noreturn]] void WorkerFailed(const wchar_t* why)
{
    const HRESULT error = HRESULT_FROM_WIN32(GetLastError());
    Fail(kCallFailed, std::wstring(L"A worker process failed: ") + why + L" (" + HresultText(error) + L")");
}

Worker::Worker(const std::wstring& commandLine, HANDLE job, HANDLE stop) : stop_(stop)
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

bool Worker::Ready(DWORD timeoutMs)
{
    std::string line;
    return NextLine(line, timeoutMs) == Read::kLine && line == kReady;
}

Worker::Read Worker::Search(size_t index, DWORD timeoutMs, std::optional<PlaceResult>& answer)
{
    std::string line = std::to_string(index) + "\n";
    if (!Write(line)) return Read::kEnded;
    Read read = NextLine(line, timeoutMs);
    if (read == Read::kLine && !(answer = Decode(line, index))) return Read::kEnded;
    return read;
}

std::wstring Worker::End(bool now)
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

Worker::Io Worker::Complete(BOOL begun, DWORD timeoutMs, DWORD& got)
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

bool Worker::Write(const std::string& text)
{
    overlapped_ = OVERLAPPED{};
    overlapped_.hEvent = event_.get();
    DWORD got = 0;
    BOOL begun = WriteFile(pipe_.get(), text.data(), static_cast<DWORD>(text.size()), nullptr, &overlapped_);
    return Complete(begun, kExitWaitMs, got) == Io::kDone && got == text.size();
}

Worker::Read Worker::NextLine(std::string& line, DWORD timeoutMs)
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

void HoldWorkerCreation() noexcept
{
    // Never let go: no worker is created any more. Bounded, so that a crash
    // while one is created cannot hang the process.
    (void)creation.try_lock_for(std::chrono::seconds(5));
}

void GuardWorkerCreation()
{
    static std::once_flag guarded;
    std::call_once(guarded, [] {
        SetConsoleCtrlHandler(BeforeCtrlC, TRUE);
        crashFilter = SetUnhandledExceptionFilter(BeforeCrash);
    });
}

} // namespace kavro::tool
