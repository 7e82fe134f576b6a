#include "TerminalStore.h"

#include "FieldCodec.h"
#include "TerminalFile.h"

namespace hwsim {

namespace {

constexpr DWORD kMaxFileBytes = 64u * 1024 * 1024;

class FileHandle {
public:
    explicit FileHandle(HANDLE h) : h_(h) {}
    FileHandle(const FileHandle&) = delete;
    FileHandle& operator=(const FileHandle&) = delete;
    ~FileHandle() { Close(); }
    bool ok() const { return h_ != INVALID_HANDLE_VALUE; }
    HANDLE get() const { return h_; }
    void Close()
    {
        if (ok()) CloseHandle(h_);
        h_ = INVALID_HANDLE_VALUE;
    }

private:
    HANDLE h_;
};

constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

std::string Name(const std::wstring& path) { return codec::Utf8FromWide(path); }

[[noreturn]] void FailWindows(const std::wstring& path, const std::string& what)
{
    throw FileError(Name(path) + ": " + what + " (Windows error " + std::to_string(GetLastError()) + ")");
}

FileStamp StampOf(HANDLE file)
{
    BY_HANDLE_FILE_INFORMATION info;
    FileStamp stamp;
    if (!GetFileInformationByHandle(file, &info)) return stamp;
    stamp.exists = true;
    stamp.written = info.ftLastWriteTime;
    stamp.size = static_cast<unsigned long long>(info.nFileSizeHigh) << 32 | info.nFileSizeLow;
    stamp.index = static_cast<unsigned long long>(info.nFileIndexHigh) << 32 | info.nFileIndexLow;
    stamp.volume = info.dwVolumeSerialNumber;
    return stamp;
}

FileStamp StampOf(const std::wstring& path)
{
    FileHandle file(CreateFileW(path.c_str(), FILE_READ_ATTRIBUTES, kShareAll, nullptr, OPEN_EXISTING, 0, nullptr));
    return file.ok() ? StampOf(file.get()) : FileStamp{};
}

std::string ReadWhole(const std::wstring& path, FileStamp& stamp)
{
    FileHandle file(CreateFileW(path.c_str(), GENERIC_READ, kShareAll, nullptr, OPEN_EXISTING, 0, nullptr));
    if (!file.ok()) FailWindows(path, "cannot be opened");
    stamp = StampOf(file.get());
    if (stamp.size > kMaxFileBytes) throw FileError(Name(path) + ": is larger than 64 MiB");
    std::string text(static_cast<size_t>(stamp.size), '\0');
    DWORD got = 0;
    if (!text.empty() && (!ReadFile(file.get(), text.data(), static_cast<DWORD>(text.size()), &got, nullptr) ||
                          got != text.size()))
        FailWindows(path, "cannot be read");
    return text;
}

// A file beside the target that becomes the target in one rename, or is
// removed again: a failure anywhere leaves the target as it was.
class TempFile {
public:
    explicit TempFile(const std::wstring& target)
        : target_(target), path_(target + L".~" + std::to_wstring(GetCurrentProcessId()) + L".tmp")
    {
    }
    TempFile(const TempFile&) = delete;
    TempFile& operator=(const TempFile&) = delete;
    ~TempFile()
    {
        if (!placed_) DeleteFileW(path_.c_str());
    }

    void Write(const std::string& text)
    {
        FileHandle file(CreateFileW(path_.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                    FILE_ATTRIBUTE_NORMAL, nullptr));
        if (!file.ok()) FailWindows(target_, "cannot be saved: no temporary file");
        DWORD put = 0;
        if (!WriteFile(file.get(), text.data(), static_cast<DWORD>(text.size()), &put, nullptr) ||
            put != text.size() || !FlushFileBuffers(file.get()))
            FailWindows(target_, "cannot be saved: writing the temporary file failed");
    }

    void Place()
    {
        if (!MoveFileExW(path_.c_str(), target_.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
            FailWindows(target_, "cannot be replaced");
        placed_ = true;
    }

private:
    std::wstring target_;
    std::wstring path_;
    bool placed_ = false;
};

// Serialises changes to one file across processes, so that a read, a change
// and its save are not interleaved with another program's.
class FileLock {
public:
    explicit FileLock(const std::wstring& path)
    {
        if (path.empty()) return;
        wchar_t full[MAX_PATH * 4];
        DWORD n = GetFullPathNameW(path.c_str(), ARRAYSIZE(full), full, nullptr);
        std::wstring key = n > 0 && n < ARRAYSIZE(full) ? std::wstring(full, n) : path;
        unsigned long long hash = 14695981039346656037ULL;
        for (wchar_t c : key) hash = (hash ^ towlower(c)) * 1099511628211ULL;
        std::wstring name = L"HwSimTerminalFile-" + std::to_wstring(hash);
        mutex_ = CreateMutexW(nullptr, FALSE, name.c_str());
        // An owner that ended while holding it (WAIT_ABANDONED) still hands it over.
        if (mutex_ && WaitForSingleObject(mutex_, 30000) == WAIT_TIMEOUT) {
            CloseHandle(mutex_);
            mutex_ = nullptr;
        }
    }
    FileLock(const FileLock&) = delete;
    FileLock& operator=(const FileLock&) = delete;
    ~FileLock()
    {
        if (!mutex_) return;
        ReleaseMutex(mutex_);
        CloseHandle(mutex_);
    }

private:
    HANDLE mutex_ = nullptr;
};

void Report(const std::string& message)
{
    std::string line = "HwDev.dll: " + message + "\n";
    DWORD put = 0;
    HANDLE err = GetStdHandle(STD_ERROR_HANDLE);
    if (err && err != INVALID_HANDLE_VALUE) WriteFile(err, line.data(), static_cast<DWORD>(line.size()), &put, nullptr);
}

void ReadBound(State& state)
{
    FileBinding& file = state.file;
    state.terminals.clear();
    state.absentMs = 0;
    state.stdoutText.clear();
    state.exitOnCall = 0;
    file.valid = false;
    file.error.clear();
    file.stamp = FileStamp{}; // a file that cannot be opened is not read again until it appears
    try {
        Site site = ParseSite(ReadWhole(file.path, file.stamp), Name(file.path));
        state.terminals = std::move(site.terminals);
        state.absentMs = site.absentMs;
        state.stdoutText = std::move(site.stdoutText);
        state.exitOnCall = site.exitOnCall;
        file.valid = true;
    } catch (const std::exception& e) {
        file.error = e.what();
        Report(file.error);
    }
}

std::wstring StartFile()
{
    wchar_t named[MAX_PATH * 4];
    DWORD n = GetEnvironmentVariableW(L"HWSIM_TERMINALS", named, ARRAYSIZE(named));
    if (n > 0 && n < ARRAYSIZE(named)) return std::wstring(named, n);

    HMODULE self = nullptr;
    if (!GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                            reinterpret_cast<LPCWSTR>(&StartFile), &self))
        return {};
    wchar_t module[MAX_PATH * 4];
    n = GetModuleFileNameW(self, module, ARRAYSIZE(module));
    if (n == 0 || n >= ARRAYSIZE(module)) return {};
    std::wstring beside(module, n);
    beside.resize(beside.find_last_of(L"\\/") + 1);
    beside += L"terminals.json";
    return GetFileAttributesW(beside.c_str()) == INVALID_FILE_ATTRIBUTES ? std::wstring() : beside;
}

} // namespace

bool BindFile(State& state, const std::wstring& path)
{
    state.file = FileBinding{};
    state.file.path = path;
    ReadBound(state);
    return state.file.valid;
}

void BindStartFile(State& state) noexcept
{
    try {
        std::wstring path = StartFile();
        if (!path.empty()) BindFile(state, path);
    } catch (...) {
        state.terminals.clear(); // a site with no terminals, as without a file
    }
}

void Refresh(State& state)
{
    if (state.file.path.empty() || StampOf(state.file.path) == state.file.stamp) return;
    ReadBound(state);
}

bool ChangeTerminal(State& state, const DevAddress* address, const std::function<void(Terminal&)>& change)
{
    FileLock lock(state.file.path);
    Refresh(state);
    Terminal* terminal = FindTerminal(state, address);
    if (!terminal) return false;
    // Only a file read without error is replaced; one the simulator could not
    // read is never overwritten.
    if (!state.file.valid) {
        change(*terminal);
        return true;
    }
    std::vector<Terminal> before = state.terminals;
    change(*terminal);
    try {
        TempFile temp(state.file.path);
        temp.Write(FormatSite(Site{state.absentMs, state.stdoutText, state.exitOnCall, state.terminals}, Name(state.file.path)));
        temp.Place();
        state.file.stamp = StampOf(state.file.path);
        return true;
    } catch (const std::exception& e) {
        state.terminals = std::move(before);
        Report(e.what());
        return false;
    }
}

} // namespace hwsim
