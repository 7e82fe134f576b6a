#include "Store.h"

#include <windows.h>

#include <algorithm>
#include <cstring>
#include <stdexcept>

#include <nlohmann/json.hpp>

#include "Console.h"
#include "FieldCodec.h"
#include "Failure.h"
#include "Handle.h"

namespace kavro::tool {
namespace {

using Json = nlohmann::ordered_json;

std::wstring FolderOf(const std::wstring& path) { return path.substr(0, path.find_last_of(L"\\/") + 1); }

std::wstring Trimmed(std::wstring_view text)
{
    size_t first = text.find_first_not_of(L' ');
    if (first == std::wstring_view::npos) return {};
    return std::wstring(text.substr(first, text.find_last_not_of(L' ') - first + 1));
}

constexpr DWORD kRetryMs = 50;

bool HeldOpen(DWORD error) { return error == ERROR_SHARING_VIOLATION || error == ERROR_LOCK_VIOLATION; }

std::wstring ErrorText(DWORD error) { return HresultText(HRESULT_FROM_WIN32(error)); }

[[noreturn]] void Busy(const std::wstring& store, const Deadline& deadline, const std::wstring& why,
                       const std::wstring& notDone)
{
    Fail(kBusy, L"The fingerprint store " + store + L" is busy: " + why + L" for " +
                    std::to_wstring(deadline.seconds()) + L" s. " + notDone + L"; nothing was changed. Run it again" +
                    L" (--wait SECONDS waits longer).");
}

// The file's bytes; nullopt when it does not exist. A file another program
// holds open without read sharing is waited for like a lock.
std::optional<std::string> ReadWholeFile(const StorePath& store, const Deadline& until, const std::wstring& notDone)
{
    Handle file;
    for (;;) {
        // Sharing delete lets a writer rename a new version over it meanwhile.
        file.reset(CreateFileW(store.real.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr,
                               OPEN_EXISTING, 0, nullptr));
        if (file) break;
        const DWORD error = GetLastError();
        if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) return std::nullopt;
        if (!HeldOpen(error))
            Fail(kBadArguments, L"Cannot read the fingerprint store " + store.shown + L" (" + ErrorText(error) + L")" +
                                    (error == ERROR_ACCESS_DENIED ? L": you may not read it. " : L". ") + notDone + L".");
        if (until.Passed()) Busy(store.shown, until, L"another program has held it open", notDone);
        Sleep(std::min(kRetryMs, until.LeftMs()));
    }
    std::string bytes;
    char buffer[65536];
    DWORD got = 0;
    while (ReadFile(file.get(), buffer, sizeof(buffer), &got, nullptr) && got > 0) bytes.append(buffer, got);
    return bytes;
}

template <class Number>
std::optional<Number> ReadNumber(const Json& row, const char* column, long min, long max)
{
    auto it = row.find(column);
    if (it == row.end()) return std::nullopt;
    // An unsigned number too large for long long would wrap into the range.
    if (!it->is_number_integer() || (it->is_number_unsigned() && it->get<unsigned long long>() > 2147483647ull) ||
        it->get<long long>() < min || it->get<long long>() > max)
        throw std::invalid_argument(std::string(column) + " is not a whole number from " + std::to_string(min) +
                                    " to " + std::to_string(max));
    return static_cast<Number>(it->get<long long>());
}

FingerprintRow ReadRow(const Json& row)
{
    if (!row.is_object()) throw std::invalid_argument("a row is not an object");
    for (const auto& item : row.items()) {
        const std::string& key = item.key();
        if (key != "cpsn_num" && key != "iFingerprintNO" && key != "imachineno" && key != "npassword" &&
            key != "bFingerprint")
            throw std::invalid_argument("unknown column " + key);
    }
    FingerprintRow out;
    if (auto it = row.find("cpsn_num"); it != row.end()) {
        if (!it->is_string()) throw std::invalid_argument("cpsn_num is not text");
        out.cpsn_num = FromUtf8(it->get<std::string>());
    }
    out.iFingerprintNO = ReadNumber<short>(row, "iFingerprintNO", -32768, 32767);
    out.imachineno = ReadNumber<short>(row, "imachineno", -32768, 32767);
    out.npassword = ReadNumber<long>(row, "npassword", -2147483647L - 1, 2147483647L);
    if (auto it = row.find("bFingerprint"); it != row.end()) {
        if (!it->is_string() || !(out.bFingerprint = FromBase64(it->get<std::string>())))
            throw std::invalid_argument("bFingerprint is not base64 text");
    }
    return out;
}

Json WriteRow(const FingerprintRow& row)
{
    Json out = Json::object();
    if (row.cpsn_num) out["cpsn_num"] = Utf8(*row.cpsn_num);
    if (row.iFingerprintNO) out["iFingerprintNO"] = *row.iFingerprintNO;
    if (row.imachineno) out["imachineno"] = *row.imachineno;
    if (row.npassword) out["npassword"] = *row.npassword;
    if (row.bFingerprint) out["bFingerprint"] = Base64(*row.bFingerprint);
    return out;
}

bool SamePerson(const FingerprintRow& row, const std::wstring& person)
{
    return row.cpsn_num && Trimmed(*row.cpsn_num) == Trimmed(person);
}

// A lock on the side file <store>.lock, released when this closes the file
// (or dies). The side file is opened without delete sharing, so nobody can
// delete it while a run holds it and so let another run take a lock of its own.
class StoreLock {
public:
    // Readers only read the side file, so a user who may only read the
    // store's folder can restore; and they do not create it: a store that no
    // writer has locked yet is read as it is (a writer's rename then waits).
    StoreLock(const StorePath& store, bool exclusive, const Deadline& deadline, const std::wstring& notDone)
    {
        const std::wstring path = store.real + L".lock";
        auto open = [&] {
            file_.reset(CreateFileW(path.c_str(), exclusive ? GENERIC_READ | GENERIC_WRITE : GENERIC_READ,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                    exclusive ? OPEN_ALWAYS : OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
            return file_.valid();
        };
        while (!open()) {
            const DWORD error = GetLastError();
            if (!exclusive && (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND)) return;
            if (!HeldOpen(error))
                Fail(kBadArguments, L"Cannot open " + store.shown + L".lock, the store's lock (" + ErrorText(error) +
                                        L")" + (error == ERROR_ACCESS_DENIED ? PermissionHint(store, exclusive) : L"") +
                                        L". " + notDone + L".");
            // Another program holds it without sharing (a scanner, say): for a moment.
            if (deadline.Passed()) Busy(store.shown, deadline, L"another program has held its lock file", notDone);
            Sleep(std::min(kRetryMs, deadline.LeftMs()));
        }
        const DWORD flags = LOCKFILE_FAIL_IMMEDIATELY | (exclusive ? LOCKFILE_EXCLUSIVE_LOCK : 0);
        for (;;) {
            OVERLAPPED at{};
            if (LockFileEx(file_.get(), flags, 0, 1, 0, &at)) return;
            const DWORD error = GetLastError();
            if (error != ERROR_LOCK_VIOLATION && error != ERROR_IO_PENDING)
                Fail(kCallFailed, L"Cannot lock " + path + L" (" + ErrorText(error) + L"). " + notDone + L".");
            if (deadline.Passed()) Busy(store.shown, deadline, L"another program has held its lock", notDone);
            Sleep(std::min(kRetryMs, deadline.LeftMs()));
        }
    }

private:
    static std::wstring PermissionHint(const StorePath& store, bool exclusive)
    {
        return exclusive ? L": you may not create or write files in the store's folder; choose a --store in a folder "
                           L"you may write, or ask an administrator for write access to " + FolderOf(store.shown)
                         : L": you may not read it";
    }

    Handle file_;
};

// The process a temporary file names is gone (or was never there).
bool WriterGone(DWORD processId)
{
    Handle process(OpenProcess(SYNCHRONIZE, FALSE, processId));
    if (!process) return GetLastError() == ERROR_INVALID_PARAMETER;
    return WaitForSingleObject(process.get(), 0) == WAIT_OBJECT_0;
}

// Temporary files of our writers that died before their rename: exactly
// <store>.<process id>.tmp, of a process that is gone. Anything else that
// merely looks alike (site.csv.<pid>.tmp of a store "site", a user's
// fingerprints.json.bak.tmp) is not ours. Only called under the exclusive
// lock, so no living writer of this store owns one.
void SweepTemporaries(const std::wstring& store)
{
    const size_t slash = store.find_last_of(L"\\/");
    const std::wstring folder = store.substr(0, slash + 1), name = store.substr(slash + 1) + L".";
    WIN32_FIND_DATAW found;
    HANDLE search = FindFirstFileW((store + L".*.tmp").c_str(), &found);
    if (search == INVALID_HANDLE_VALUE) return;
    do {
        const std::wstring file = found.cFileName;
        if (file.size() <= name.size() + 4 || file.compare(0, name.size(), name) != 0 ||
            file.compare(file.size() - 4, 4, L".tmp") != 0)
            continue;
        const std::wstring digits = file.substr(name.size(), file.size() - name.size() - 4);
        if (digits.size() > 10 || digits.find_first_not_of(L"0123456789") != std::wstring::npos) continue;
        const unsigned long long id = std::stoull(digits);
        if (id <= 0xFFFFFFFFull && id != GetCurrentProcessId() && WriterGone(static_cast<DWORD>(id)))
            DeleteFileW((folder + file).c_str());
    } while (FindNextFileW(search, &found));
    FindClose(search);
}

// Whether the store may be replaced by a rename, as far as can be told
// without doing it.
enum class Replace { kAllowed, kHeldOpen, kReadOnly, kDenied, kFolder };

Replace CanReplace(const std::wstring& path)
{
    const DWORD attributes = GetFileAttributesW(path.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) return Replace::kAllowed;  // nothing there to replace
    if (attributes & FILE_ATTRIBUTE_DIRECTORY) return Replace::kFolder;
    // Windows refuses to replace a read-only file (Wine does not).
    if (attributes & FILE_ATTRIBUTE_READONLY) return Replace::kReadOnly;
    Handle file(CreateFileW(path.c_str(), DELETE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                            OPEN_EXISTING, 0, nullptr));
    if (file) return Replace::kAllowed;
    const DWORD error = GetLastError();
    if (HeldOpen(error)) return Replace::kHeldOpen;
    return error == ERROR_ACCESS_DENIED ? Replace::kDenied : Replace::kAllowed;
}

// Why the file at path cannot be replaced; empty when it can, or when only
// another program holding it open stands in the way.
std::wstring WhyNotReplaceable(const std::wstring& path, const std::wstring& shown)
{
    switch (CanReplace(path)) {
    case Replace::kReadOnly:
        return shown + L" is read-only, so it cannot be replaced: clear its read-only attribute (attrib -r) or "
                       L"choose another file";
    case Replace::kDenied:
        return L"you may not replace " + shown + L" (its permissions deny it): ask its owner or an administrator "
                                                 L"for modify access, or choose another file";
    case Replace::kFolder: return shown + L" is a folder, not a file";
    default: return {};
    }
}

std::wstring TemporaryFor(const std::wstring& path)
{
    return path + L"." + std::to_wstring(GetCurrentProcessId()) + L".tmp";
}

} // namespace

StorePath::StorePath(const std::wstring& given) : shown(given), real(FinalPath(given)) {}

FingerprintStore FingerprintStore::Read(const std::wstring& path, bool mustExist, int waitSeconds,
                                        const std::wstring& notDone)
{
    const StorePath store(path);
    const Deadline deadline(waitSeconds);
    StoreLock shared(store, false, deadline, notDone);
    return Load(store, mustExist, deadline, notDone);
}

void FingerprintStore::CheckWritable(const std::wstring& path, int waitSeconds, const std::wstring& notDone)
{
    const StorePath store(path);
    const Deadline deadline(waitSeconds);
    StoreLock exclusive(store, true, deadline, notDone);
    Load(store, false, deadline, notDone);
    if (std::wstring why = WhyNotReplaceable(store.real, store.shown); !why.empty())
        Fail(kBadArguments, L"The fingerprint store cannot be saved: " + why + L". " + notDone + L".");
    // Gone with its handle, also if this run dies here.
    const std::wstring probePath = store.real + L"." + std::to_wstring(GetCurrentProcessId()) + L".probe";
    Handle probe(CreateFileW(probePath.c_str(), GENERIC_WRITE | DELETE, 0, nullptr, CREATE_ALWAYS,
                             FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE, nullptr));
    if (!probe) {
        const DWORD error = GetLastError();
        Fail(kBadArguments, L"The fingerprint store cannot be saved: a new file cannot be made beside " + store.shown +
                                L" (" + ErrorText(error) + L")" +
                                (error == ERROR_ACCESS_DENIED ? L": you may not create files in its folder" : L"") +
                                L". " + notDone + L".");
    }
}

void FingerprintStore::Change(const std::wstring& path, int waitSeconds, const std::wstring& notDone,
                              const std::function<void(FingerprintStore&)>& change)
{
    const StorePath store(path);
    const Deadline deadline(waitSeconds);
    StoreLock exclusive(store, true, deadline, notDone);
    SweepTemporaries(store.real);
    FingerprintStore loaded = Load(store, false, deadline, notDone);
    change(loaded);
    try {
        loaded.Save(deadline);
    } catch (const Failure& f) {
        if (f.exitCode == kBusy) Busy(store.shown, deadline, L"another program has held it open", notDone);
        throw;
    }
}

FingerprintStore FingerprintStore::Load(const std::wstring& path, bool mustExist)
{
    return Load(StorePath(path), mustExist, Deadline(0), L"It was left as it is");
}

FingerprintStore FingerprintStore::Load(const StorePath& path, bool mustExist, const Deadline& until,
                                        const std::wstring& notDone)
{
    std::optional<std::string> bytes = ReadWholeFile(path, until, notDone);
    if (!bytes) {
        if (mustExist) Fail(kBadArguments, L"The fingerprint store " + path.shown + L" does not exist");
        FingerprintStore store;
        store.path_ = path;
        return store;
    }
    FingerprintStore store = Parse(path.shown, *bytes);
    store.path_ = path;
    return store;
}

FingerprintStore FingerprintStore::Parse(const std::wstring& path, const std::string& bytes)
{
    FingerprintStore store;
    store.path_ = StorePath{path, path};
    try {
        Json document = Json::parse(bytes);
        if (!document.is_object() || !document.contains("rows") || !document["rows"].is_array())
            throw std::invalid_argument("it is not an object with an array \"rows\"");
        for (const Json& row : document["rows"]) store.rows_.push_back(ReadRow(row));
    } catch (const std::exception& e) {
        Fail(kBadArguments, L"The fingerprint store " + path + L" is malformed: " + FromUtf8(e.what()) +
                                L". It was left as it is.");
    }
    return store;
}

void FingerprintStore::Put(const FingerprintRow& row)
{
    for (FingerprintRow& existing : rows_) {
        if (row.cpsn_num && SamePerson(existing, *row.cpsn_num) && existing.imachineno == row.imachineno) {
            existing = row;
            return;
        }
    }
    rows_.push_back(row);
}

const FingerprintRow* FingerprintStore::Find(const std::wstring& person, short imachineno) const
{
    const FingerprintRow* found = nullptr;
    for (const FingerprintRow& row : rows_) {
        if (!SamePerson(row, person)) continue;
        if (row.imachineno == imachineno) return &row;
        if (!found) found = &row;
    }
    return found;
}

void FingerprintStore::Save(const Deadline& until) const
{
    Json rows = Json::array();
    for (const FingerprintRow& row : rows_) rows.push_back(WriteRow(row));
    Json document = Json::object();
    document["rows"] = std::move(rows);
    WriteFileAtomically(path_.real, document.dump(2) + "\n", until, path_.shown);
}

std::string Base64(const std::vector<std::uint8_t>& bytes) { return hwsim::codec::ToBase64(bytes); }

std::optional<std::vector<std::uint8_t>> FromBase64(const std::string& text)
{
    try {
        return hwsim::codec::FromBase64(text);
    } catch (const std::invalid_argument&) {
        return std::nullopt;
    }
}

std::wstring FinalPath(const std::wstring& path)
{
    auto final = [](const std::wstring& of) -> std::optional<std::wstring> {
        // Attribute access only: it neither waits for nor disturbs another program's sharing.
        Handle file(CreateFileW(of.c_str(), FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
        if (!file) return std::nullopt;
        std::vector<wchar_t> text(MAX_PATH);
        for (;;) {
            DWORD n = GetFinalPathNameByHandleW(file.get(), text.data(), static_cast<DWORD>(text.size()),
                                                FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
            if (n == 0) return std::nullopt;
            if (n < text.size()) return std::wstring(text.data(), n);
            text.resize(n + 1);
        }
    };
    if (std::optional<std::wstring> whole = final(path)) return *whole;
    const size_t slash = path.find_last_of(L"\\/:");
    const std::wstring name = path.substr(slash == std::wstring::npos ? 0 : slash + 1);
    std::wstring folder = slash == std::wstring::npos ? L"." : path.substr(0, slash + 1);
    if (std::optional<std::wstring> parent = final(folder); parent && !name.empty())
        return *parent + (parent->back() == L'\\' ? L"" : L"\\") + name;
    wchar_t full[MAX_PATH * 4];
    DWORD n = GetFullPathNameW(path.c_str(), MAX_PATH * 4, full, nullptr);
    return n > 0 && n < MAX_PATH * 4 ? std::wstring(full, n) : path;
}

void WriteFileAtomically(const std::wstring& path, const std::string& bytes, const Deadline& until,
                         const std::wstring& shown)
{
    const std::wstring named = shown.empty() ? path : shown;
    const std::wstring temporary = TemporaryFor(path);
    Handle file(CreateFileW(temporary.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    DWORD written = 0;
    bool ok = file.valid() &&
              WriteFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) &&
              written == bytes.size() && FlushFileBuffers(file.get());
    ok = file.Close() && ok;
    DWORD error = ok ? ERROR_SUCCESS : GetLastError();
    std::wstring denied;  // why the file may not be replaced at all
    bool heldOpen = false;
    while (ok && !MoveFileExW(temporary.c_str(), path.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
        error = GetLastError();
        // Windows answers access denied both for a file it may never replace
        // and for one that another program holds open: only the second passes.
        if (error == ERROR_ACCESS_DENIED) denied = WhyNotReplaceable(path, named);
        heldOpen = denied.empty() && (HeldOpen(error) || error == ERROR_ACCESS_DENIED);
        if (!heldOpen || until.Passed()) ok = false;
        else Sleep(std::min(kRetryMs, until.LeftMs()));
    }
    if (!ok) {
        DeleteFileW(temporary.c_str());
        if (!denied.empty()) Fail(kBadArguments, L"Cannot write " + named + L": " + denied + L"; it was left as it was");
        const std::wstring why = L"Cannot write " + named + L" (" + ErrorText(error) + L")";
        if (heldOpen) Fail(kBusy, why + L": another program holds it open; the file was left as it was");
        Fail(kCallFailed, why + L"; the file was left as it was");
    }
}

} // namespace kavro::tool
