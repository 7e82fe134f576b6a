// Terminals described in a file: loaded as ordinary simulated terminals,
// changes saved back by one atomic replace, refused when malformed.
#include "SimTest.h"

#include "Process.h"

#include <nlohmann/json.hpp>

#include <cstdio>
#include <fstream>
#include <sstream>

namespace hwdev_test {
namespace {

using kavro::test::BinDir;
using nlohmann::json;

std::string Narrow(UINT codePage, const std::wstring& wide)
{
    const int length = static_cast<int>(wide.size());
    int n = WideCharToMultiByte(codePage, 0, wide.data(), length, nullptr, 0, nullptr, nullptr);
    std::string out(static_cast<size_t>(n), '\0');
    WideCharToMultiByte(codePage, 0, wide.data(), length, out.data(), n, nullptr, nullptr);
    return out;
}

std::string Utf8(const std::wstring& wide) { return Narrow(CP_UTF8, wide); }
std::string Ansi(const std::wstring& wide) { return Narrow(CP_ACP, wide); }

std::string ReadText(const std::wstring& path)
{
    std::ifstream in(path.c_str(), std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

void WriteText(const std::wstring& path, const std::string& text)
{
    std::ofstream(path.c_str(), std::ios::binary) << text;
}

std::vector<std::wstring> FolderContents(const std::wstring& folder)
{
    std::vector<std::wstring> names;
    WIN32_FIND_DATAW found;
    HANDLE find = FindFirstFileW((folder + L"*").c_str(), &found);
    if (find == INVALID_HANDLE_VALUE) return names;
    do {
        std::wstring name = found.cFileName;
        if (name != L"." && name != L"..") names.push_back(name);
    } while (FindNextFileW(find, &found));
    FindClose(find);
    return names;
}

// A folder of its own for each scenario's files, removed afterwards.
class Folder {
public:
    Folder()
    {
        wchar_t temp[MAX_PATH];
        GetTempPathW(MAX_PATH, temp);
        static int made = 0;
        path_ = std::wstring(temp) + L"hwsim-" + std::to_wstring(GetCurrentProcessId()) + L"-" +
                std::to_wstring(++made) + L"\\";
        CreateDirectoryW(path_.c_str(), nullptr);
    }
    ~Folder()
    {
        for (const std::wstring& name : FolderContents(path_)) DeleteFileW((path_ + name).c_str());
        RemoveDirectoryW(path_.c_str());
    }
    const std::wstring& path() const { return path_; }

private:
    std::wstring path_;
};

std::wstring LoadError()
{
    int n = HwSim_LoadError(nullptr, 0);
    std::wstring text(static_cast<size_t>(n) + 1, L'\0');
    HwSim_LoadError(text.data(), n + 1);
    text.resize(static_cast<size_t>(n));
    return text;
}

unsigned long long FileIndex(const std::wstring& path)
{
    HANDLE file = CreateFileW(path.c_str(), FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                              nullptr, OPEN_EXISTING, 0, nullptr);
    BY_HANDLE_FILE_INFORMATION info{};
    GetFileInformationByHandle(file, &info);
    CloseHandle(file);
    return static_cast<unsigned long long>(info.nFileIndexHigh) << 32 | info.nFileIndexLow;
}

std::string Base64(const unsigned char* bytes, size_t n)
{
    static const char digits[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    for (size_t i = 0; i < n; i += 3) {
        unsigned v = bytes[i] << 16 | (i + 1 < n ? bytes[i + 1] << 8 : 0) | (i + 2 < n ? bytes[i + 2] : 0);
        for (size_t k = 0; k < 4; ++k) out += i + k <= n ? digits[v >> (18 - 6 * k) & 63] : '=';
    }
    return out;
}

// Seconds from 1970-01-01 08:00:00, by the platform's own calendar.
long long SecondsOf(const std::string& text)
{
    SYSTEMTIME t{};
    std::sscanf(text.c_str(), "%hu-%hu-%hu %hu:%hu:%hu", &t.wYear, &t.wMonth, &t.wDay, &t.wHour, &t.wMinute,
                &t.wSecond);
    FILETIME ft;
    EXPECT_TRUE(SystemTimeToFileTime(&t, &ft)) << text;
    ULARGE_INTEGER u{{ft.dwLowDateTime, ft.dwHighDateTime}};
    return static_cast<long long>(u.QuadPart / 10000000) - 11644473600LL - 28800;
}

RawAddress AddressOf(const json& terminal)
{
    int number = terminal["number"];
    return terminal.contains("port") ? SerialAddress(terminal["port"], number)
                                     : NetAddress(terminal["ip"].get<std::string>(), number);
}

using Bytes = std::vector<unsigned char>;

std::vector<EmployeeRecord> Employees(const json& terminal, std::vector<Bytes>* templates = nullptr)
{
    EmployeeRecord* list = nullptr;
    int count = 0;
    HwDev_RecvEmployeeFromDev(AddressOf(terminal).get(), &list, &count, nullptr, nullptr);
    std::vector<EmployeeRecord> records(list, list + count);
    for (int i = 0; templates && i < count; ++i)
        templates->emplace_back(list[i].TemplatePtr, list[i].TemplatePtr + list[i].TemplateLength);
    HwDev_FreeEmployeeList(&list, &count);
    return records;
}

std::vector<AttendanceRecord> Punches(const json& terminal)
{
    AttendanceRecord* list = nullptr;
    int count = 0;
    HwDev_RecvAllRcdFromDev(AddressOf(terminal).get(), &list, &count, nullptr, nullptr);
    std::vector<AttendanceRecord> records(list, list + count);
    HwDev_FreeRcdList(&list, &count);
    return records;
}

int Send(const json& terminal, EmployeeRecord record, std::vector<unsigned char> tpl)
{
    record.TemplateLength = static_cast<short>(tpl.size());
    record.TemplatePtr = tpl.data();
    unsigned char flag = 1;
    int stored = 0;
    return HwDev_SendEmployeeToDev(AddressOf(terminal).get(), &record, 1, &flag, &stored, nullptr, nullptr);
}

int Send(const json& terminal, const char* no, const std::string& ansiText, std::vector<unsigned char> tpl)
{
    EmployeeRecord record{};
    std::memcpy(record.EmployeeNo, no, std::strlen(no));
    std::memcpy(record.EmployeeText, ansiText.data(), ansiText.size());
    record.RecordFlag = 1;
    return Send(terminal, record, std::move(tpl));
}

int Erase(const json& terminal) { return HwDev_DelAllRcdOnDev(AddressOf(terminal).get(), nullptr, nullptr); }

const std::wstring kSample = BinDir() + L"sample-terminals.json";

class TerminalFile : public SimTest {
protected:
    void TearDown() override { HwSim_Reset(); } // unbinds the file before its folder goes
};

TEST_F(TerminalFile, SampleIsASiteOfOrdinaryTerminals)
{
    ASSERT_TRUE(HwSim_LoadTerminalFile(kSample.c_str())) << Utf8(LoadError());
    EXPECT_EQ(HwSim_LoadError(nullptr, 0), 0);
    const json site = json::parse(ReadText(kSample));
    const json& terminals = site["terminals"];
    ASSERT_EQ(terminals.size(), 3u);
    EXPECT_EQ(terminals[2]["port"], 3) << "the third is on serial port 3";

    size_t employees = 0, punches = 0;
    for (size_t t = 0; t < terminals.size(); ++t) {
        const json& terminal = terminals[t];
        SCOPED_TRACE(terminal.dump().substr(0, 60));
        EXPECT_EQ(terminal.contains("ip"), t < 2);
        EXPECT_EQ(HwDev_IsDevExist(AddressOf(terminal).get()), 1);
        EXPECT_EQ(HwSim_PunchCount(static_cast<int>(t + 1)), static_cast<int>(terminal["punches"].size()))
            << "ids follow the file's order";

        std::vector<Bytes> templates;
        std::vector<EmployeeRecord> listed = Employees(terminal, &templates);
        ASSERT_EQ(listed.size(), terminal["employees"].size());
        for (size_t k = 0; k < listed.size(); ++k) {
            const json& e = terminal["employees"][k];
            EXPECT_EQ(std::string(listed[k].EmployeeNo), e["number"]);
            EXPECT_EQ(std::string(listed[k].EmployeeText), e["text"]);
            EXPECT_EQ(listed[k].RecordFlag, e["flag"]);
            EXPECT_EQ(Base64(templates[k].data(), templates[k].size()), e["template"]);
            EXPECT_GE(listed[k].TemplateLength, 300) << "templates of realistic size";
            EXPECT_LE(listed[k].TemplateLength, 1100);
        }
        std::vector<AttendanceRecord> records = Punches(terminal);
        ASSERT_EQ(records.size(), terminal["punches"].size());
        for (size_t k = 0; k < records.size(); ++k) {
            const json& p = terminal["punches"][k];
            EXPECT_EQ(std::string(records[k].CardNo), p["card"]);
            EXPECT_EQ(records[k].PunchSeconds, SecondsOf(p["time"])) << p["time"];
            EXPECT_GE(p["time"].get<std::string>(), "2026-11-30") << "one working week";
            EXPECT_LT(p["time"].get<std::string>(), "2026-12-05");
        }
        employees += listed.size();
        punches += records.size();
    }
    EXPECT_EQ(employees, 12u);
    EXPECT_GE(punches, 200u);
    EXPECT_EQ(HwDev_IsDevExist(NetAddress("192.168.1.203", 1).get()), 0) << "the range's next address is empty";
    EXPECT_EQ(HwSim_OutstandingLists(), 0);
}

TEST_F(TerminalFile, ChangesAreSavedByOneReplace)
{
    Folder folder;
    const std::wstring file = folder.path() + L"terminals.json";
    WriteText(file, ReadText(kSample));
    ASSERT_TRUE(HwSim_LoadTerminalFile(file.c_str()));
    const json before = json::parse(ReadText(file));
    const json& terminals = before["terminals"];
    unsigned long long index = FileIndex(file);

    // Sending an employee back as listed saves the file as the sample's generator wrote it.
    std::vector<Bytes> templates;
    EmployeeRecord first = Employees(terminals[0], &templates).at(0);
    ASSERT_EQ(Send(terminals[0], first, Pattern(0, 0)), 1);
    ASSERT_EQ(Send(terminals[0], first, templates[0]), 1);
    EXPECT_EQ(ReadText(file), ReadText(kSample)) << "the same keys, layout and times as text";

    // Erasing one terminal's punches: saved at once, the rest of the site as it was.
    ASSERT_EQ(Erase(terminals[0]), 1);
    EXPECT_EQ(LastCall().count, static_cast<int>(terminals[0]["punches"].size()));
    json saved = json::parse(ReadText(file));
    EXPECT_EQ(saved["terminals"][0]["punches"], json::array());
    EXPECT_EQ(saved["terminals"][0]["employees"], terminals[0]["employees"]);
    EXPECT_EQ(saved["terminals"][1], terminals[1]);
    EXPECT_EQ(saved["terminals"][2], terminals[2]);
    EXPECT_NE(FileIndex(file), index) << "the file was replaced, not written over";
    EXPECT_EQ(FolderContents(folder.path()), std::vector<std::wstring>{L"terminals.json"}) << "no temporary file left";

    // A send adds an employee, then replaces the one with its number; text goes back to UTF-8.
    ASSERT_EQ(Send(terminals[1], "1003", Ansi(L"Caf\u00e9"), Pattern(40, 3)), 1);
    ASSERT_EQ(Send(terminals[1], "1003", Ansi(L"Caf\u00e9"), Pattern(600, 9)), 1);
    saved = json::parse(ReadText(file));
    const json& restored = saved["terminals"][1]["employees"];
    ASSERT_EQ(restored.size(), terminals[1]["employees"].size() + 1);
    std::vector<unsigned char> tpl = Pattern(600, 9);
    EXPECT_EQ(restored.back(), (json{{"number", "1003"}, {"text", "Caf\xC3\xA9"}, {"flag", 1},
                                     {"template", Base64(tpl.data(), tpl.size())}}));
    EXPECT_EQ(saved["terminals"][1]["punches"], terminals[1]["punches"]);

    // A file that cannot be replaced, or a record it cannot hold: the send fails, and
    // neither the file nor the terminal changes.
    const std::string text = ReadText(file);
    HANDLE held = CreateFileW(file.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    EXPECT_EQ(Send(terminals[2], "2001", "", Pattern(10, 1)), 0);
    CloseHandle(held);
    EXPECT_EQ(ReadText(file), text);
    EmployeeRecord unterminated{};
    std::memset(unterminated.EmployeeNo, '7', sizeof unterminated.EmployeeNo);
    EXPECT_EQ(Send(terminals[2], unterminated, Pattern(10, 1)), 0) << "a number the file cannot hold";
    EXPECT_EQ(ReadText(file), text);
    EXPECT_EQ(HwSim_EmployeeCount(3), static_cast<int>(terminals[2]["employees"].size()));
    EXPECT_EQ(FolderContents(folder.path()), std::vector<std::wstring>{L"terminals.json"});

    // After a reset the file is no longer the simulator's.
    HwSim_Reset();
    EXPECT_EQ(HwSim_PunchCount(1), -1) << "an empty simulator";
    HwSim_AddNetTerminal("192.168.1.202", 1);
    EXPECT_EQ(Erase(terminals[1]), 1);
    EXPECT_EQ(ReadText(file), text);
}

// Run by the next scenario as a second program on the same file, named by HWSIM_TERMINALS.
TEST(TerminalFileChild, SendsToThePortTerminal)
{
    if (GetEnvironmentVariableW(L"HWSIM_TEST_CHILD", nullptr, 0) == 0) GTEST_SKIP() << "only as a child";
    HwDev_IsDevExist(SerialAddress(3, 1).get());
    std::printf("child sent: %d\n", Send(json{{"port", 3}, {"number", 1}}, "2001", "Temp", Pattern(20, 5)));
}

// The child is this program, run from folder (where its HwDev.dll is found).
kavro::test::ProcessOutcome RunChild(const std::wstring& file, const std::wstring& folder = BinDir())
{
    if (!file.empty()) SetEnvironmentVariableW(L"HWSIM_TERMINALS", file.c_str());
    SetEnvironmentVariableW(L"HWSIM_TEST_CHILD", L"1");
    wchar_t self[MAX_PATH];
    GetModuleFileNameW(nullptr, self, MAX_PATH);
    std::wstring program = self;
    program = folder + program.substr(program.find_last_of(L"\\/") + 1);
    auto outcome = kavro::test::RunProcess(L"\"" + program + L"\" --gtest_filter=TerminalFileChild.*", folder);
    SetEnvironmentVariableW(L"HWSIM_TERMINALS", nullptr);
    SetEnvironmentVariableW(L"HWSIM_TEST_CHILD", nullptr);
    return outcome;
}

size_t Occurrences(const std::string& text, const std::string& part)
{
    size_t n = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++n;
    return n;
}

TEST_F(TerminalFile, SecondProgramsChangeIsKept)
{
    Folder folder;
    const std::wstring file = folder.path() + L"terminals.json";
    WriteText(file, ReadText(kSample));
    ASSERT_TRUE(HwSim_LoadTerminalFile(file.c_str()));
    const json terminals = json::parse(ReadText(file))["terminals"];

    auto child = RunChild(file);
    EXPECT_EQ(child.exitCode, 0u) << child.output;
    EXPECT_NE(child.output.find("child sent: 1"), std::string::npos) << child.output;

    // Our next change starts from the file as the child left it.
    ASSERT_EQ(Erase(terminals[1]), 1);
    const json saved = json::parse(ReadText(file))["terminals"];
    EXPECT_EQ(saved[1]["punches"], json::array());
    ASSERT_EQ(saved[2]["employees"].size(), terminals[2]["employees"].size() + 1);
    EXPECT_EQ(saved[2]["employees"].back()["number"], "2001");
    EXPECT_EQ(HwSim_EmployeeCount(3), static_cast<int>(saved[2]["employees"].size()));

    // A malformed file at the start of a process: said once on standard error, and no terminals.
    const std::wstring bad = folder.path() + L"bad.json";
    WriteText(bad, "{\"terminals\": [");
    child = RunChild(bad);
    EXPECT_EQ(Occurrences(child.output, "bad.json: parse error at line 1"), 1u) << child.output;
    EXPECT_NE(child.output.find("child sent: 0"), std::string::npos) << child.output;
    EXPECT_EQ(ReadText(bad), "{\"terminals\": [");

    // Without HWSIM_TERMINALS: terminals.json beside HwDev.dll.
    Folder beside;
    for (const wchar_t* name : {L"HwDev.dll", L"test_hwdev.exe"})
        ASSERT_TRUE(CopyFileW((BinDir() + name).c_str(), (beside.path() + name).c_str(), FALSE));
    WriteText(beside.path() + L"terminals.json", ReadText(kSample));
    child = RunChild(L"", beside.path());
    EXPECT_NE(child.output.find("child sent: 1"), std::string::npos) << child.output;
    EXPECT_EQ(json::parse(ReadText(beside.path() + L"terminals.json"))["terminals"][2]["employees"].back()["number"],
              "2001");
}

TEST_F(TerminalFile, MalformedFilesAreRefusedAndKept)
{
    struct Case {
        std::string text;
        std::string error;
    };
    const Case cases[] = {
        {"{\"terminals\": [\n  {\"port\": 3,\n   \"number\": 1 \"punches\": []}]}", "parse error at line 3, column"},
        {"{\"terminals\": [{\"port\": \"3\", \"number\": 1}]}", "terminal 1: \"port\" is not a whole number"},
        {"{\"terminals\": [{\"port\": 3, \"number\": 40000}]}", "terminal 1: \"number\" is 40000, outside -32768 to 32767"},
        {"{\"absent_ms\": -5}", "\"absent_ms\" is -5, outside 0 to"},
        {"{\"terminals\": [{\"port\": 3, \"number\": 1, \"punches\": [{\"card\": \"123456789012\", \"time\": 0}]}]}",
         "terminal 1 (port 3, number 1): punch 1: \"card\" is 12 bytes long, at most 11 fit"},
        {"{\"terminals\": [{\"port\": 3, \"number\": 1, \"punches\": [{\"card\": \"1\", \"time\": \"2026-02-29 08:00:00\"}]}]}",
         "punch 1: \"time\" \"2026-02-29 08:00:00\" is not a valid date-time"},
        {"{\"terminals\": [{\"port\": 3, \"number\": 1, \"employees\": [{\"number\": \"1\", \"template\": \"AAA*\"}]}]}",
         "terminal 1 (port 3, number 1): employee 1: \"template\" is not base64"},
        {"{\"terminals\": [{\"port\": 3, \"number\": 1, \"employees\": [{\"number\": \"1\", \"text\": \"" +
             std::string(50, 'x') + "\"}]}]}",
         "employee 1: \"text\" is 50 bytes long, at most 49 fit"},
        {"{\"terminals\": [{\"ip\": \"10.0.0.1\", \"number\": 1}, {\"port\": 3, \"number\": 1}, {\"port\": 3, \"number\": 1}]}",
         "terminal 3 (port 3, number 1): has the link and number of terminal 2"},
        {"{\"terminals\": [{\"ip\": \"10.0.0.1\", \"port\": 3, \"number\": 1}]}", "needs exactly one of \"ip\" and \"port\""},
        {"{\"terminals\": [{\"port\": 3, \"number\": 1, \"latency\": 5}]}", "unknown key \"latency\""},
        {"{\"terminals\": [{\"port\": 3, \"number\": 1, \"employees\": [{\"number\": \"1\", \"text\": \"\xF0\x9F\x98\x80\"}]}]}",
         "employee 1: \"text\" has characters outside the ANSI code page"},
    };
    Folder folder;
    const std::wstring file = folder.path() + L"site.json";
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        WriteText(file, c.text);
        EXPECT_FALSE(HwSim_LoadTerminalFile(file.c_str()));
        std::string error = Utf8(LoadError());
        EXPECT_EQ(error.rfind(Utf8(file) + ": ", 0), 0u) << error;
        EXPECT_NE(error.find(c.error), std::string::npos) << error;
        EXPECT_EQ(HwSim_PunchCount(1), -1) << "no terminals";
        EXPECT_EQ(HwDev_IsDevExist(SerialAddress(3, 1).get()), 0);
        EXPECT_EQ(HwDev_DelAllRcdOnDev(SerialAddress(3, 1).get(), nullptr, nullptr), 0);
        EXPECT_EQ(ReadText(file), c.text) << "the file is never overwritten";
    }
    EXPECT_FALSE(HwSim_LoadTerminalFile((folder.path() + L"none.json").c_str()));
    EXPECT_NE(Utf8(LoadError()).find("none.json: cannot be opened"), std::string::npos);
}

TEST_F(TerminalFile, ProbesAndCallsTakeTheirTime)
{
    Folder folder;
    const std::wstring file = folder.path() + L"slow.json";
    WriteText(file, R"({"absent_ms": 300, "terminals": [{"port": 3, "number": 1, "latency_ms": 200}]})");
    ASSERT_TRUE(HwSim_LoadTerminalFile(file.c_str())) << Utf8(LoadError());
    auto elapsedMs = [](auto&& call) {
        LARGE_INTEGER f, a, b;
        QueryPerformanceFrequency(&f);
        QueryPerformanceCounter(&a);
        call();
        QueryPerformanceCounter(&b);
        return (b.QuadPart - a.QuadPart) * 1000 / f.QuadPart;
    };
    EXPECT_GE(elapsedMs([] { EXPECT_EQ(HwDev_IsDevExist(SerialAddress(4, 1).get()), 0); }), 280)
        << "a probe where no terminal answers waits absent_ms";
    EXPECT_GE(elapsedMs([] { EXPECT_EQ(HwDev_IsDevExist(SerialAddress(3, 1).get()), 1); }), 180)
        << "every call to the terminal takes latency_ms";
    EXPECT_GE(elapsedMs([] {
        AttendanceRecord* list = nullptr;
        int count = 0;
        HwDev_RecvAllRcdFromDev(SerialAddress(3, 1).get(), &list, &count, nullptr, nullptr);
        HwDev_FreeRcdList(&list, &count);
    }), 180);
}

} // namespace
} // namespace hwdev_test
