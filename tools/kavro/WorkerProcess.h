// One kavro.exe in its hidden worker mode (Workers.h), as its parent sees it:
// created suspended, put into the job that ends it with us, then resumed;
// places go to it and answers come back over a pipe of its own, and no wait
// for it outlasts its deadline, its end, or the end of the search.
#pragma once
#include <windows.h>

#include <optional>
#include <string>

#include "Commands.h"
#include "Handle.h"

namespace kavro::tool {

class Worker {
public:
    // What a wait for the worker's next line came to: the line; its end (it
    // ended or broke the pipe, said something else, or the search stopped);
    // or its deadline.
    enum class Read { kLine, kEnded, kLate };

    // stop: an event that, once set, ends any wait for the worker.
    Worker(const std::wstring& commandLine, HANDLE job, HANDLE stop);
    Worker(const Worker&) = delete;
    Worker& operator=(const Worker&) = delete;
    ~Worker() { End(); }

    // Waits up to timeoutMs for it to say it is ready.
    bool Ready(DWORD timeoutMs);

    // Asks for one place and waits up to timeoutMs for the answer.
    Read Search(size_t index, DWORD timeoutMs, std::optional<PlaceResult>& answer);

    // Closes its pipe, which ends it, waits for that, and ends it outright if
    // it does not (at once when now). Says how it ended.
    std::wstring End(bool now = false);

private:
    // How an overlapped operation on the pipe ended.
    enum class Io { kDone, kFailed, kLate };

    // Waits for the operation begun with overlapped_: done, failed (or the
    // worker ended, or the search was stopped), or late after timeoutMs (then
    // it is cancelled). got: the bytes it moved.
    Io Complete(BOOL begun, DWORD timeoutMs, DWORD& got);

    bool Write(const std::string& text);

    Read NextLine(std::string& line, DWORD timeoutMs);

    HANDLE stop_;
    Handle process_, pipe_, event_;
    OVERLAPPED overlapped_{};
    char chunk_[4096];
    std::string buffer_;
};

// Once a process, before its first worker: Ctrl+C and a crash wait for a
// worker being created to be in the job (HoldWorkerCreation) before the
// process ends.
void GuardWorkerCreation();

// Fails with "A worker process failed: why" and the system's last error.
[[noreturn]] void WorkerFailed(const wchar_t* why);

} // namespace kavro::tool
