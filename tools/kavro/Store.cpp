#include "Store.h"

#include <windows.h>

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
    Handle file(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
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

} // namespace

FingerprintStore FingerprintStore::Load(const std::wstring& path, bool mustExist)
{
    FingerprintStore store;
    store.path_ = path;
    std::optional<std::string> bytes = ReadWholeFile(path);
    if (!bytes) {
        if (mustExist) Fail(kBadArguments, L"The fingerprint store " + path + L" does not exist");
        return store;
    }
    try {
        Json document = Json::parse(*bytes);
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

void FingerprintStore::Save() const
{
    Json rows = Json::array();
    for (const FingerprintRow& row : rows_) rows.push_back(WriteRow(row));
    Json document = Json::object();
    document["rows"] = std::move(rows);
    WriteFileAtomically(path_, document.dump(2) + "\n");
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

void WriteFileAtomically(const std::wstring& path, const std::string& bytes)
{
    const std::wstring temporary = path + L"." + std::to_wstring(GetCurrentProcessId()) + L".tmp";
    Handle file(CreateFileW(temporary.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    DWORD written = 0;
    bool ok = file.valid() &&
              WriteFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) &&
              written == bytes.size() && FlushFileBuffers(file.get());
    ok = file.Close() && ok;
    if (!ok || !MoveFileExW(temporary.c_str(), path.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
        DWORD error = GetLastError();
        DeleteFileW(temporary.c_str());
        Fail(kCallFailed, L"Cannot write " + path + L" (" + HresultText(HRESULT_FROM_WIN32(error)) +
                              L"); the file was left as it was");
    }
}

} // namespace kavro::tool
