#include "TerminalFile.h"

#include "FieldCodec.h"

#include <nlohmann/json.hpp>

#include <cstring>
#include <climits>
#include <initializer_list>
#include <set>
#include <tuple>

namespace hwsim {

namespace {

using nlohmann::json;
using nlohmann::ordered_json;

constexpr int kMaxTimingMs = 600000;

// Where in the file a value is, for messages: "terminal 2 (port 3, number 1): employee 4".
class Place {
public:
    Place(const std::string& fileName, std::string where) : file_(fileName), where_(std::move(where)) {}
    Place In(const std::string& inner) const { return Place(file_, where_.empty() ? inner : where_ + ": " + inner); }
    Place With(const std::string& detail) const { return Place(file_, where_ + " (" + detail + ")"); }
    [[noreturn]] void Fail(const std::string& what) const
    {
        throw FileError(file_ + ": " + (where_.empty() ? "" : where_ + ": ") + what);
    }

private:
    const std::string& file_;
    std::string where_;
};

void OnlyKeys(const json& object, const Place& place, std::initializer_list<const char*> keys)
{
    if (!object.is_object()) place.Fail("is not an object");
    for (const auto& item : object.items()) {
        bool known = false;
        for (const char* key : keys) known = known || item.key() == key;
        if (!known) place.Fail("unknown key \"" + item.key() + "\"");
    }
}

long long Integer(const json& value, const Place& place, const char* key, long long low, long long high)
{
    if (!value.is_number_integer()) place.Fail("\"" + std::string(key) + "\" is not a whole number");
    long long n = value.is_number_unsigned() && value.get<unsigned long long>() > LLONG_MAX
                      ? LLONG_MAX : value.get<long long>();
    if (n < low || n > high)
        place.Fail("\"" + std::string(key) + "\" is " + value.dump() + ", outside " + std::to_string(low) +
                   " to " + std::to_string(high));
    return n;
}

long long OptionalInteger(const json& object, const Place& place, const char* key, long long low,
                          long long high, long long absent)
{
    return object.contains(key) ? Integer(object[key], place, key, low, high) : absent;
}

const std::string& Text(const json& value, const Place& place, const char* key)
{
    if (!value.is_string()) place.Fail("\"" + std::string(key) + "\" is not a text");
    return value.get_ref<const std::string&>();
}

// The ANSI bytes of a text that must fit a zero-terminated field of fieldSize bytes.
std::string FieldText(const json& value, const Place& place, const char* key, size_t fieldSize)
{
    std::string ansi;
    try {
        ansi = codec::AnsiFromUtf8(Text(value, place, key));
    } catch (const std::invalid_argument& e) {
        place.Fail("\"" + std::string(key) + "\" " + e.what());
    }
    if (ansi.size() >= fieldSize)
        place.Fail("\"" + std::string(key) + "\" is " + std::to_string(ansi.size()) + " bytes long, at most " +
                   std::to_string(fieldSize - 1) + " fit");
    return ansi;
}

const json& Array(const json& object, const Place& place, const char* key)
{
    static const json empty = json::array();
    if (!object.contains(key)) return empty;
    if (!object[key].is_array()) place.Fail("\"" + std::string(key) + "\" is not a list");
    return object[key];
}

Employee ReadEmployee(const json& item, const Place& place)
{
    OnlyKeys(item, place, {"number", "text", "flag", "template"});
    if (!item.contains("number")) place.Fail("\"number\" is missing");
    Employee e{};
    std::string no = FieldText(item["number"], place, "number", sizeof e.record.EmployeeNo);
    std::memcpy(e.record.EmployeeNo, no.data(), no.size());
    if (item.contains("text")) {
        std::string text = FieldText(item["text"], place, "text", sizeof e.record.EmployeeText);
        std::memcpy(e.record.EmployeeText, text.data(), text.size());
    }
    e.record.RecordFlag = static_cast<short>(OptionalInteger(item, place, "flag", -32768, 32767, 1));
    e.record.FingerIndex = 1; // as HwSim_AddEmployee enrols
    if (item.contains("template")) {
        try {
            e.tpl = codec::FromBase64(Text(item["template"], place, "template"));
        } catch (const std::invalid_argument& error) {
            place.Fail(std::string("\"template\" ") + error.what());
        }
        if (e.tpl.size() > 32767)
            place.Fail("\"template\" holds " + std::to_string(e.tpl.size()) + " bytes, at most 32767 fit");
    }
    e.record.TemplateLength = static_cast<short>(e.tpl.size());
    return e;
}

AttendanceRecord ReadPunch(const json& item, const Place& place)
{
    OnlyKeys(item, place, {"card", "time"});
    if (!item.contains("card")) place.Fail("\"card\" is missing");
    if (!item.contains("time")) place.Fail("\"time\" is missing");
    AttendanceRecord punch{};
    std::string card = FieldText(item["card"], place, "card", sizeof punch.CardNo);
    std::memcpy(punch.CardNo, card.data(), card.size());
    const json& time = item["time"];
    if (time.is_string()) {
        try {
            punch.PunchSeconds = codec::SecondsFromLocalTime(time.get<std::string>());
        } catch (const std::invalid_argument& e) {
            place.Fail("\"time\" " + time.dump() + " " + e.what());
        }
    } else {
        punch.PunchSeconds = static_cast<int>(Integer(time, place, "time", INT_MIN, INT_MAX));
    }
    return punch;
}

std::string LinkName(const Terminal& t)
{
    return (t.serial ? "port " + std::to_string(t.comPort) : "ip " + codec::Utf8FromAnsi(t.ip)) +
           ", number " + std::to_string(t.machineNo);
}

std::string Key(const char* field, size_t size) { return std::string(field, strnlen(field, size)); }

Terminal ReadTerminal(const json& item, const Place& outer)
{
    OnlyKeys(item, outer, {"ip", "port", "number", "latency_ms", "employees", "punches"});
    Terminal t;
    if (item.contains("ip") == item.contains("port")) outer.Fail("needs exactly one of \"ip\" and \"port\"");
    t.serial = item.contains("port");
    if (t.serial) t.comPort = static_cast<int>(Integer(item["port"], outer, "port", -32768, 32767));
    else t.ip = FieldText(item["ip"], outer, "ip", 16);
    if (!t.serial && t.ip.empty()) outer.Fail("\"ip\" is empty");
    if (!item.contains("number")) outer.Fail("\"number\" is missing");
    t.machineNo = static_cast<int>(Integer(item["number"], outer, "number", -32768, 32767));
    const Place place = outer.With(LinkName(t));
    t.latencyMs = static_cast<int>(OptionalInteger(item, place, "latency_ms", 0, kMaxTimingMs, 0));

    std::set<std::string> numbers;
    const json& employees = Array(item, place, "employees");
    for (size_t i = 0; i < employees.size(); ++i) {
        Employee e = ReadEmployee(employees[i], place.In("employee " + std::to_string(i + 1)));
        if (!numbers.insert(Key(e.record.EmployeeNo, sizeof e.record.EmployeeNo)).second)
            place.Fail("employee " + std::to_string(i + 1) + ": number " + employees[i]["number"].dump() +
                       " is given twice");
        t.employees.push_back(std::move(e));
    }
    const json& punches = Array(item, place, "punches");
    for (size_t i = 0; i < punches.size(); ++i)
        t.punches.push_back(ReadPunch(punches[i], place.In("punch " + std::to_string(i + 1))));
    return t;
}

// The text of a field the terminal holds, for the file; it must read back.
std::string SavedText(const char* field, size_t size, const Place& place, const char* key)
{
    size_t n = strnlen(field, size);
    if (n == size) place.Fail("\"" + std::string(key) + "\" fills its field with no terminator and cannot be saved");
    try {
        return codec::Utf8FromAnsi(std::string(field, n));
    } catch (const std::invalid_argument& e) {
        place.Fail("\"" + std::string(key) + "\" " + e.what());
    }
}

} // namespace

Site ParseSite(const std::string& text, const std::string& fileName)
{
    const Place top(fileName, "");
    json doc;
    try {
        doc = json::parse(text);
    } catch (const json::exception& e) {
        // Not only parse errors: a number too large for a double is out_of_range.406.
        std::string what = e.what(); // "[json.exception.parse_error.101] parse error at line 3, column 5: ..."
        size_t start = what.find("] ");
        top.Fail(start == std::string::npos ? what : what.substr(start + 2));
    }
    OnlyKeys(doc, top, {"absent_ms", "stdout_text", "exit_on_call", "terminals"});
    Site site;
    site.absentMs = static_cast<int>(OptionalInteger(doc, top, "absent_ms", 0, kMaxTimingMs, 0));
    if (doc.contains("stdout_text")) site.stdoutText = Text(doc["stdout_text"], top, "stdout_text");
    site.exitOnCall = static_cast<unsigned>(OptionalInteger(doc, top, "exit_on_call", 0, 0xFFFFFFFFLL, 0));
    const json& terminals = Array(doc, top, "terminals");
    for (size_t i = 0; i < terminals.size(); ++i) {
        const Place place = top.In("terminal " + std::to_string(i + 1));
        Terminal t = ReadTerminal(terminals[i], place);
        for (size_t k = 0; k < site.terminals.size(); ++k) {
            const Terminal& other = site.terminals[k];
            if (std::tie(other.serial, other.comPort, other.ip, other.machineNo) ==
                std::tie(t.serial, t.comPort, t.ip, t.machineNo))
                place.With(LinkName(t)).Fail("has the link and number of terminal " + std::to_string(k + 1));
        }
        site.terminals.push_back(std::move(t));
    }
    return site;
}

std::string FormatSite(const Site& site, const std::string& fileName)
{
    const std::vector<Terminal>& terminals = site.terminals;
    // One record a line, so that a person can read and edit the file.
    std::string out = "{\"absent_ms\":" + std::to_string(site.absentMs) + ",\n";
    if (!site.stdoutText.empty()) out += " \"stdout_text\":" + json(site.stdoutText).dump() + ",\n";
    if (site.exitOnCall) out += " \"exit_on_call\":" + std::to_string(site.exitOnCall) + ",\n";
    out += " \"terminals\":[";
    for (size_t i = 0; i < terminals.size(); ++i) {
        const Terminal& t = terminals[i];
        const Place place = Place(fileName, "terminal " + std::to_string(i + 1)).With(LinkName(t));
        ordered_json head;
        if (t.serial) head["port"] = t.comPort;
        else head["ip"] = codec::Utf8FromAnsi(t.ip);
        head["number"] = t.machineNo;
        head["latency_ms"] = t.latencyMs;
        std::string headText = head.dump();
        headText.pop_back(); // the lists follow inside the same object
        out += (i ? ",\n  " : "\n  ") + headText + ",\n   \"employees\":[";
        for (size_t k = 0; k < t.employees.size(); ++k) {
            const Employee& e = t.employees[k];
            const Place at = place.In("employee " + std::to_string(k + 1));
            ordered_json item;
            item["number"] = SavedText(e.record.EmployeeNo, sizeof e.record.EmployeeNo, at, "number");
            item["text"] = SavedText(e.record.EmployeeText, sizeof e.record.EmployeeText, at, "text");
            item["flag"] = e.record.RecordFlag;
            item["template"] = codec::ToBase64(e.tpl);
            out += (k ? ",\n    " : "\n    ") + item.dump();
        }
        out += "],\n   \"punches\":[";
        for (size_t k = 0; k < t.punches.size(); ++k) {
            const AttendanceRecord& p = t.punches[k];
            ordered_json item;
            item["card"] = SavedText(p.CardNo, sizeof p.CardNo, place.In("punch " + std::to_string(k + 1)), "card");
            item["time"] = codec::LocalTimeFromSeconds(p.PunchSeconds);
            out += (k ? ",\n    " : "\n    ") + item.dump();
        }
        out += "]}";
    }
    out += "]}\n";
    return out;
}

} // namespace hwsim
