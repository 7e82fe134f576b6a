#include "Store.h"

#include <windows.h>

#include <algorithm>
#include <cstring>
#include <stdexcept>

#include <nlohmann/json.hpp>

#include "Console.h"
#include "FieldCodec.h"
#include "Handle.h"
#include "Failure.h"

namespace kavro::tool {
namespace {

using Json = nlohmann::ordered_json;

std::wstring Trimmed(std::wstring_view text)
{
    size_t first = text.find_first_not_of(L' ');
    if (first == std::wstring_view::npos) return {};
    return std::wstring(text.substr(first, text.find_last_not_of(L' ') - first + 1));
}

// The file's bytes; nullopt when it does not exist.
std::optional<std::string> ReadWholeFile(const std::wstring& path)
{
    // Sharing delete lets Windows (not Wine) rename a new version over it meanwhile.
    Handle file(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING, 0,
                            nullptr));
    if (!file.valid()) {
        DWORD error = GetLastError();
        if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) return std::nullopt;
        Fail(kBadArguments, L"Cannot read the fingerprint store " + path + L" (" + HresultText(HRESULT_FROM_WIN32(error)) + L")");
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
    if (!it->is_number_integer() || it->get<long long>() < min || it->get<long long>() > max)
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

constexpr DWORD kRetryMs = 50;

[[noreturn]] void Busy(const std::wstring& store, const Deadline& deadline, const std::wstring& why,
                       const std::wstring& notDone)
{
    Fail(kBusy, L"The fingerprint store " + store + L" is busy: " + why + L" for " +
                    std::to_wstring(deadline.seconds()) + L" s. " + notDone + L"; nothing was changed. Run it again" +
                    L" (--wait SECONDS waits longer).");
}

// A lock on <store>.lock, released when this closes the file (or dies).
class StoreLock {
public:
    // Readers do not create the side file: a store that no writer has
    // locked yet is read as it is (a writer's rename then waits for them).
    StoreLock(const std::wstring& store, bool exclusive, const Deadline& deadline, const std::wstring& notDone)
    {
        const std::wstring path = store + L".lock";
        file_.reset(CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE,
                                FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                exclusive ? OPEN_ALWAYS : OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
        if (!file_) {
            DWORD error = GetLastError();
            if (!exclusive && (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND)) return;
            Fail(exclusive ? kCallFailed : kBadArguments,
                 L"Cannot open " + path + L" (" + HresultText(HRESULT_FROM_WIN32(error)) + L"). " + notDone + L".");
        }
        const DWORD flags = LOCKFILE_FAIL_IMMEDIATELY | (exclusive ? LOCKFILE_EXCLUSIVE_LOCK : 0);
        for (;;) {
            OVERLAPPED at{};
            if (LockFileEx(file_.get(), flags, 0, 1, 0, &at)) return;
            DWORD error = GetLastError();
            if (error != ERROR_LOCK_VIOLATION && error != ERROR_IO_PENDING)
                Fail(kCallFailed, L"Cannot lock " + path + L" (" + HresultText(HRESULT_FROM_WIN32(error)) + L"). " +
                                      notDone + L".");
            if (deadline.Passed()) Busy(store, deadline, L"another program has held its lock", notDone);
            Sleep(std::min(kRetryMs, deadline.LeftMs()));
        }
    }

private:
    Handle file_;
};

// Temporary files of writers that died before their rename. Only called
// under the exclusive lock, so no living writer owns one.
void SweepTemporaries(const std::wstring& store)
{
    const std::wstring folder = store.substr(0, store.find_last_of(L"\\/") + 1);
    WIN32_FIND_DATAW found;
    HANDLE search = FindFirstFileW((store + L".*.tmp").c_str(), &found);
    if (search == INVALID_HANDLE_VALUE) return;
    do {
        DeleteFileW((folder + found.cFileName).c_str());
    } while (FindNextFileW(search, &found));
    FindClose(search);
}

bool HeldOpen(DWORD error)
{
    return error == ERROR_ACCESS_DENIED || error == ERROR_SHARING_VIOLATION || error == ERROR_LOCK_VIOLATION;
}

} // namespace

FingerprintStore FingerprintStore::Read(const std::wstring& path, bool mustExist, int waitSeconds,
                                        const std::wstring& notDone)
{
    StoreLock shared(path, false, Deadline(waitSeconds), notDone);
    return Load(path, mustExist);
}

void FingerprintStore::Change(const std::wstring& path, int waitSeconds, const std::wstring& notDone,
                              const std::function<void(FingerprintStore&)>& change)
{
    const Deadline deadline(waitSeconds);
    StoreLock exclusive(path, true, deadline, notDone);
    SweepTemporaries(path);
    FingerprintStore store = Load(path, false);
    change(store);
    try {
        store.Save(deadline);
    } catch (const Failure& f) {
        if (f.exitCode == kBusy) Busy(path, deadline, L"another program has held it open", notDone);
        throw;
    }
}

FingerprintStore FingerprintStore::Load(const std::wstring& path, bool mustExist)
{
    std::optional<std::string> bytes = ReadWholeFile(path);
    if (!bytes) {
        if (mustExist) Fail(kBadArguments, L"The fingerprint store " + path + L" does not exist");
        FingerprintStore store;
        store.path_ = path;
        return store;
    }
    return Parse(path, *bytes);
}

FingerprintStore FingerprintStore::Parse(const std::wstring& path, const std::string& bytes)
{
    FingerprintStore store;
    store.path_ = path;
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
    WriteFileAtomically(path_, document.dump(2) + "\n", until);
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

void WriteFileAtomically(const std::wstring& path, const std::string& bytes, const Deadline& until)
{
    const std::wstring temporary = path + L"." + std::to_wstring(GetCurrentProcessId()) + L".tmp";
    Handle file(CreateFileW(temporary.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    DWORD written = 0;
    bool ok = file.valid() &&
              WriteFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) &&
              written == bytes.size() && FlushFileBuffers(file.get());
    ok = file.Close() && ok;
    DWORD error = ok ? ERROR_SUCCESS : GetLastError();
    while (ok && !MoveFileExW(temporary.c_str(), path.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
        error = GetLastError();
        if (!HeldOpen(error) || until.Passed()) ok = false;
        else Sleep(std::min(kRetryMs, until.LeftMs()));
    }
    if (!ok) {
        DeleteFileW(temporary.c_str());
        const std::wstring why = L"Cannot write " + path + L" (" + HresultText(HRESULT_FROM_WIN32(error)) + L")";
        if (HeldOpen(error)) Fail(kBusy, why + L": another program holds it open; the file was left as it was");
        Fail(kCallFailed, why + L"; the file was left as it was");
    }
}

} // namespace kavro::tool
