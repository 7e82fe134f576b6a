// Discovery, download and clearing; the messages of an answer false.
#include "Commands.h"

#include <algorithm>
#include <cstdio>
#include <mutex>

#include <nlohmann/json.hpp>

#include "Console.h"
#include "Failure.h"
#include "Stages.h"
#include "Store.h"
#include "Workers.h"
#include "frame/Owners.h"

namespace kavro::tool {
namespace {

using Json = nlohmann::ordered_json;

const wchar_t kSearchFailed[] = L"搜索考勤机失败，请重试！";
const wchar_t kNoFingerprintBefore[] = L"卡号为";
const wchar_t kNoFingerprintAfter[] = L"的员工没有登记指纹数据";

std::wstring English(std::wstring_view message)
{
    if (message == kSearchFailed) return L"Searching for attendance terminals failed, please try again.";
    std::wstring_view before = kNoFingerprintBefore, after = kNoFingerprintAfter;
    if (message.size() >= before.size() + after.size() && message.substr(0, before.size()) == before &&
        message.substr(message.size() - after.size()) == after) {
        std::wstring_view card = message.substr(before.size(), message.size() - before.size() - after.size());
        return L"The employee with card number " + std::wstring(card) + L" has no registered fingerprint data.";
    }
    return {};
}

VARIANT_BOOL Flag(bool value) { return value ? VARIANT_TRUE : VARIANT_FALSE; }

// The i-th item (1-based) of a collection, as interface I.
template <class I>
ComPtr<I> ItemAt(_Collection& collection, long index, REFIID iid)
{
    VARIANT key;
    V_VT(&key) = VT_I4;
    V_I4(&key) = index;
    Variant item;
    ComPtr<I> object;
    HRESULT hr = collection.Item(&key, item.get());
    if (SUCCEEDED(hr) && (V_VT(item.get()) == VT_DISPATCH || V_VT(item.get()) == VT_UNKNOWN) && V_UNKNOWN(item.get()))
        hr = V_UNKNOWN(item.get())->QueryInterface(iid, reinterpret_cast<void**>(object.GetAddressOf()));
    if (FAILED(hr) || !object) Fail(kCallFailed, L"Reading item " + std::to_wstring(index) + L" of the collection failed");
    return object;
}

long CountOf(_Collection& collection)
{
    long count = 0;
    if (FAILED(collection.Count(&count))) Fail(kCallFailed, L"Counting the collection failed");
    return count;
}

template <class I, class Getter>
std::wstring Property(I& object, Getter get)
{
    Variant value;
    if (FAILED((object.*get)(value.get()))) return {};
    return VariantText(*value.get());
}

// What discovery puts on a clsMachineItem, in the order it puts them.
using MachineItemGetter = HRESULT (STDMETHODCALLTYPE _clsMachineItem::*)(VARIANT*);
const std::pair<const wchar_t*, MachineItemGetter> kMachineItemProperties[] = {
    {L"imachineno", &_clsMachineItem::get_imachineno},
    {L"iPort", &_clsMachineItem::get_iPort},
    {L"vIp", &_clsMachineItem::get_vIp},
    {L"vMachineInfo", &_clsMachineItem::get_vMachineInfo},
};

// An Automation date as YYYY-MM-DDTHH:MM:SS, to the nearest second, by the
// platform's own reading of the date.
std::wstring IsoTime(DATE date)
{
    SYSTEMTIME t;
    if (!VariantTimeToSystemTime(date, &t)) return L"";
    wchar_t text[32];
    swprintf(text, 32, L"%04u-%02u-%02uT%02u:%02u:%02u", t.wYear, t.wMonth, t.wDay, t.wHour, t.wMinute, t.wSecond);
    return text;
}

struct Punch {
    std::wstring card;
    std::wstring time;
};

std::vector<Punch> ReadPunches(_Collection& collection)
{
    std::vector<Punch> punches;
    for (long i = 1, n = CountOf(collection); i <= n; ++i) {
        auto card = ItemAt<_clsCardData>(collection, i, IID__clsCardData);
        Variant time;
        std::wstring timeText;
        if (SUCCEEDED(card->get_vCardTime(time.get())) &&
            SUCCEEDED(VariantChangeType(time.get(), time.get(), 0, VT_DATE)))
            timeText = IsoTime(V_DATE(time.get()));
        punches.push_back({Property(*card.Get(), &_clsCardData::get_vCardNo), timeText});
    }
    return punches;
}

std::string CsvField(const std::wstring& text)
{
    std::string bytes = Utf8(text);
    if (bytes.find_first_of(",\"\r\n") == std::string::npos) return bytes;
    std::string quoted = "\"";
    for (char c : bytes) quoted += c == '"' ? std::string("\"\"") : std::string(1, c);
    return quoted + "\"";
}

std::wstring Padded(std::wstring text, size_t width)
{
    if (text.size() < width) text.append(width - text.size(), L' ');
    return text;
}

std::wstring Plural(size_t n, const wchar_t* one, const wchar_t* many)
{
    return std::to_wstring(n) + L" " + (n == 1 ? one : many);
}

} // namespace

std::wstring VariantText(const VARIANT& value)
{
    if (V_VT(&value) == VT_EMPTY || V_VT(&value) == VT_NULL) return {};
    Variant text;
    if (FAILED(VariantChangeType(text.get(), const_cast<VARIANT*>(&value), 0, VT_BSTR))) return L"?";
    return std::wstring(V_BSTR(text.get()), SysStringLen(V_BSTR(text.get())));
}

void AnsweredFalse(std::wstring_view message, const std::wstring& fallback)
{
    std::wstring english = English(message);
    std::wstring text = message.empty() ? std::wstring() : std::wstring(message) + L"\n";
    Fail(kAnsweredFalse, text + (english.empty() ? fallback : english));
}

size_t PlaceCount(const SearchRequest& request)
{
    return request.serial ? static_cast<size_t>(request.ports.size()) : request.addresses.size();
}

std::wstring PlaceName(const SearchRequest& request, size_t index)
{
    return request.serial ? L"COM" + std::to_wstring(request.ports.first + index) : request.addresses[index];
}

PlaceResult SearchPlace(IMachine& machine, const SearchRequest& request, size_t index)
{
    PlaceResult result;
    const std::wstring place = PlaceName(request, index);
    try {
        short port = request.serial ? static_cast<short>(request.ports.first + index) : 0;
        Bstr address(request.serial ? L"" : place), message;
        ComPtr<_Collection> collection = NewCollection();
        VARIANT_BOOL ok = VARIANT_FALSE;
        HRESULT hr = machine.funcRegister(collection.GetAddressOf(), Flag(request.serial), port, port, address.get(),
                                          address.get(), static_cast<short>(request.numbers.first),
                                          static_cast<short>(request.numbers.last), message.out(), &ok);
        CheckCall(machine, hr, L"funcRegister");
        // Terminals added before an answer false stay reported.
        for (long i = 1, n = collection ? CountOf(*collection.Get()) : 0; i <= n; ++i) {
            auto item = ItemAt<_clsMachineItem>(*collection.Get(), i, IID__clsMachineItem);
            std::vector<ReportedProperty>& properties = result.found.emplace_back();
            for (const auto& [name, get] : kMachineItemProperties) {
                Variant value;
                if (FAILED(((*item.Get()).*get)(value.get()))) continue;
                std::wstring text = VariantText(*value.get());
                if (text.empty()) continue;  // not put for this kind of search
                VARTYPE type = V_VT(value.get());
                std::optional<long> number;
                if (type == VT_I2) number = V_I2(value.get());
                if (type == VT_I4) number = V_I4(value.get());
                properties.push_back({name, text, number});
            }
        }
        if (!ok) AnsweredFalse(message.view(), L"The search for terminals failed at " + place + L".");
    } catch (const Failure& f) {
        result.exitCode = f.exitCode;
        result.failure = f.message;
    }
    return result;
}

namespace {

// One place after another, in this process.
std::vector<PlaceResult> SearchHere(IMachine& machine, const SearchRequest& request, const PlaceDone& done)
{
    std::vector<PlaceResult> results;
    ProgressLine progress;
    for (size_t i = 0, total = PlaceCount(request); i < total; ++i) {
        progress.Show(L"Searching " + PlaceName(request, i) + L" (" + std::to_wstring(i + 1) + L" of " +
                      std::to_wstring(total) + L")");
        results.push_back(SearchPlace(machine, request, i));
        done(i, results.back());
    }
    return results;
}

// What a search gave, as Discover prints it; places not searched are left out.
std::wstring Report(const SearchRequest& request, const std::vector<PlaceResult>& results, bool json,
                    const std::wstring& ending, int& exitCode)
{
    const size_t total = PlaceCount(request);
    const wchar_t* link = request.serial ? L"serial" : L"network";
    Json items = Json::array();
    std::wstring table;
    size_t terminals = 0, failed = 0, searched = 0;
    exitCode = kSuccess;
    for (size_t i = 0; i < total; ++i) {
        if (!results[i].searched) continue;
        ++searched;
        const std::wstring place = PlaceName(request, i);
        Json at = {{"link", Utf8(link)}, {"at", Utf8(place)}};
        for (const std::vector<ReportedProperty>& properties : results[i].found) {
            Json entry = at;
            std::wstring reported;
            for (const ReportedProperty& p : properties) {
                entry[Utf8(p.name)] = p.number ? Json(*p.number) : Json(Utf8(p.text));
                reported += (reported.empty() ? L"" : L" ") + p.name + L"=" + p.text;
            }
            items.push_back(std::move(entry));
            table += Padded(link, 9) + Padded(place, 17) + reported + L"\n";
            ++terminals;
        }
        if (results[i].failure.empty()) continue;
        // A failed place is a row of its own, after what it did report.
        Json entry = at;
        entry["failed"] = Utf8(results[i].failure);
        entry["exit_code"] = results[i].exitCode;
        items.push_back(std::move(entry));
        std::wstring oneLine = results[i].failure;
        std::replace(oneLine.begin(), oneLine.end(), L'\n', L' ');
        table += Padded(link, 9) + Padded(place, 17) + L"search failed: " + oneLine + L"\n";
        if (failed++ == 0) exitCode = results[i].exitCode;
    }
    if (json) return FromUtf8(items.dump(2)) + L"\n";
    std::wstring numbers = std::to_wstring(request.numbers.first) + L"-" + std::to_wstring(request.numbers.last);
    std::wstring out;
    if (!table.empty()) out = Padded(L"link", 9) + Padded(L"at", 17) + L"reported by the component\n" + table;
    return out + Plural(terminals, L"terminal", L"terminals") + L" found; searched " +
           (searched < total ? std::to_wstring(searched) + L" of " : L"") +
           Plural(total, request.serial ? L"port" : L"address", request.serial ? L"ports" : L"addresses") +
           L" with terminal numbers " + numbers +
           (failed ? L"; the search failed at " + std::to_wstring(failed) + L" of them" : L"") + ending + L".\n";
}

// The search in progress, for Ctrl+C: what has arrived so far.
struct Partial {
    std::mutex lock;
    const SearchRequest* request = nullptr;
    bool json = false;
    bool finished = false;  // the normal report has begun
    std::vector<PlaceResult> results;
};
Partial partial;

BOOL WINAPI OnCtrlC(DWORD event)
{
    if (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT) return FALSE;
    HoldWorkerCreation();
    std::lock_guard<std::mutex> hold(partial.lock);
    if (partial.finished) return TRUE;  // the whole report is on its way
    try {
        int exitCode = kSuccess;
        Print(Report(*partial.request, partial.results, partial.json, L" (interrupted by Ctrl+C)", exitCode));
    } catch (...) {
        // out of memory: end all the same
    }
    // Ended at once, as Ctrl+C ends other programs: the library may be in a
    // call on the main thread, and the job ends the workers with us.
    TerminateProcess(GetCurrentProcess(), STATUS_CONTROL_C_EXIT);
    return TRUE;
}

} // namespace

int Discover(IMachine& machine, const SearchRequest& request, bool json, WorkerSearch* workers)
{
    {
        std::lock_guard<std::mutex> hold(partial.lock);
        partial.request = &request;
        partial.json = json;
        partial.results.assign(PlaceCount(request), PlaceResult{});
        for (PlaceResult& result : partial.results) result.searched = false;
    }
    auto done = [](size_t index, const PlaceResult& result) {
        MarkStage("place_done");
        std::lock_guard<std::mutex> hold(partial.lock);
        partial.results[index] = result;
    };
    SetConsoleCtrlHandler(OnCtrlC, TRUE);
    std::wstring stopped;
    const std::vector<PlaceResult> results =
        workers ? workers->Search(done, stopped) : SearchHere(machine, request, done);
    {
        std::lock_guard<std::mutex> hold(partial.lock);
        partial.finished = true;
    }
    int exitCode = kSuccess;
    Print(Report(request, results, json, L"", exitCode));
    size_t left = std::count_if(results.begin(), results.end(), [](const PlaceResult& r) { return !r.searched; });
    if (left > 0) {
        Fail(kCallFailed, stopped + L". " + std::to_wstring(left) + L" of " + std::to_wstring(results.size()) +
                              (request.serial ? L" ports" : L" addresses") +
                              L" were not searched. Run it again with fewer --jobs, or with --jobs 1 to search in "
                              L"kavro.exe itself.");
    }
    return exitCode;
}

int Download(IMachine& machine, const Terminal& terminal, const std::wstring& csvPath, bool json)
{
    ComPtr<_Collection> collection = NewCollection();
    Bstr ip(terminal.ip), message;
    VARIANT_BOOL ok = VARIANT_FALSE;
    HRESULT hr = machine.DownloadCarddata(Flag(terminal.serial), ip.get(), terminal.port, terminal.number,
                                          collection.GetAddressOf(), message.out(), &ok);
    CheckCall(machine, hr, L"DownloadCarddata");
    if (!ok) AnsweredFalse(message.view(), L"The download from " + terminal.Describe() + L" did not complete.");
    const std::vector<Punch> punches = ReadPunches(*collection.Get());

    if (!csvPath.empty()) {
        std::string csv = "card,time\r\n";
        for (const Punch& p : punches) csv += CsvField(p.card) + "," + Utf8(p.time) + "\r\n";
        WriteFileAtomically(csvPath, csv);
        Print(Plural(punches.size(), L"punch", L"punches") + L" from " + terminal.Describe() + L" written to " +
              csvPath + L".\n");
    } else if (json) {
        std::wstring out = L"[";
        for (size_t i = 0; i < punches.size(); ++i)
            out += (i ? L",\n " : L"\n ") +
                   FromUtf8(Json{{"card", Utf8(punches[i].card)}, {"time", Utf8(punches[i].time)}}.dump());
        Print(out + L"\n]\n");
    } else {
        std::wstring table;
        if (!punches.empty()) table = Padded(L"card", 13) + L"time\n";
        for (const Punch& p : punches) table += Padded(p.card, 13) + p.time + L"\n";
        Print(table + Plural(punches.size(), L"punch", L"punches") + L" on " + terminal.Describe() + L".\n");
    }
    return kSuccess;
}

int Clear(IMachine& machine, const Terminal& terminal)
{
    Bstr ip(terminal.ip);
    VARIANT_BOOL ok = VARIANT_FALSE;
    HRESULT hr = machine.delCardData(Flag(terminal.serial), ip.get(), terminal.port, terminal.number, &ok);
    CheckCall(machine, hr, L"delCardData");
    if (!ok) AnsweredFalse({}, L"The component could not ask " + terminal.Describe() + L" to clear its punches.");
    Print(L"Asked " + terminal.Describe() + L" to clear its punch records.\n");
    return kSuccess;
}

} // namespace kavro::tool
