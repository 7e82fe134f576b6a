// Every reader of a file a user hands us, fed mutations of a valid file: each
// must answer with a result or its own refusal, never crash, let another
// exception out or loop. Seeds and counts are fixed, so every run tries the
// same cases; a case's bytes follow from its reader's seed and its index alone.
#include <gtest/gtest.h>
#include <windows.h>

#include <algorithm>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <functional>
#include <iterator>
#include <string>
#include <vector>

#include "Process.h"
#include "TerminalFile.h"
#include "tools/kavro/Failure.h"
#include "tools/kavro/ImageFile.h"
#include "tools/kavro/Manifest.h"
#include "tools/kavro/Store.h"

namespace {

using kavro::test::BinDir;
using namespace kavro::tool;

struct Reader {
    const char* name;
    std::uint32_t seed;
    int cases;
    std::string valid;                // what the cases mutate
    std::vector<std::string> tokens;  // spliced in whole
    std::vector<std::pair<size_t, size_t>> hot;  // where half the mutations land; empty: anywhere
    std::string nest;  // a rare case holds it 20000 times over: deep nesting, many tags
    // "" for a result or the reader's own clear refusal, else what was wrong.
    std::function<std::string(const std::string&)> read;
};

// The case running now, for what a crash or a hang prints.
const Reader* g_reader = nullptr;
const std::string* g_input = nullptr;
int g_index = 0;

// Where a case first differs from its valid input, and 24 bytes from there.
std::string Hex(const std::string& bytes, const std::string& valid)
{
    const size_t at = std::mismatch(bytes.begin(), bytes.end(), valid.begin(), valid.end()).first - bytes.begin();
    std::string hex = std::to_string(bytes.size()) + " bytes, from byte " + std::to_string(at) + " on:";
    for (size_t i = at; i < bytes.size() && i < at + 24; ++i)
        hex += {' ', "0123456789abcdef"[(bytes[i] >> 4) & 15], "0123456789abcdef"[bytes[i] & 15]};
    return hex;
}

void PrintRunning(const char* what)
{
    fflush(stdout);
    if (g_reader)
        fprintf(stderr, "%s in %s, seed %u, case %d, input of %s\n", what, g_reader->name, g_reader->seed, g_index,
                Hex(*g_input, g_reader->valid).c_str());
    fflush(stderr);
}

// A crash is printed by a thread of its own, whose stack the crash has not
// used up; a hang the same way before ctest ends the program at 600 s, silently.
HANDLE g_wake = CreateEventW(nullptr, TRUE, FALSE, nullptr), g_printed = CreateEventW(nullptr, TRUE, FALSE, nullptr);
DWORD g_crash = 0;

DWORD WINAPI Watchdog(void*)
{
    char what[32] = "Still running after 540 s";
    if (WaitForSingleObject(g_wake, 540000) == WAIT_TIMEOUT || g_crash) {
        if (g_crash) snprintf(what, sizeof what, "Crash 0x%08lX", g_crash);
        PrintRunning(what);
    }
    SetEvent(g_printed);
    return 0;
}

// Ends the process with the exception's code: a debugger or an error report
// would hold the test until ctest's time limit.
LONG WINAPI OnCrash(EXCEPTION_POINTERS* e)
{
    g_crash = e->ExceptionRecord->ExceptionCode;
    SetEvent(g_wake);
    WaitForSingleObject(g_printed, 10000);
    return EXCEPTION_EXECUTE_HANDLER;
}

// splitmix64, one a case.
struct Random {
    std::uint64_t state;
    size_t Below(size_t n)
    {
        std::uint64_t z = state += 0x9E3779B97F4A7C15ull;
        z = (z ^ z >> 30) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ z >> 27) * 0x94D049BB133111EBull;
        return n ? size_t((z ^ z >> 31) % n) : 0;
    }
};

// One to four of: a bit flipped, a byte set, bytes inserted, a range deleted
// or doubled, a token spliced in or written over (often where a field starts),
// the end cut off; rarely, since such a case costs thousands, deep nesting.
std::string Mutated(const Reader& reader, Random& random)
{
    std::string s = reader.valid;
    for (size_t n = 1 + random.Below(4); n--;) {
        size_t at = random.Below(s.size() + 1);
        if (!reader.hot.empty() && random.Below(2)) {
            auto [from, to] = reader.hot[random.Below(reader.hot.size())];
            at = std::min(s.size(), from + random.Below(to - from));
        }
        const size_t length = std::min(s.size() - at, 1 + random.Below(random.Below(4) ? 8 : 512));
        const bool deep = !reader.nest.empty() && random.Below(4096) == 0;
        std::string token = reader.tokens[random.Below(reader.tokens.size())];
        for (int i = 0; deep && i < 20000; ++i) token += reader.nest;
        switch (deep ? 9 : random.Below(16)) {
        case 0: case 1: if (at < s.size()) s[at] ^= char(1 << random.Below(8)); break;
        case 2: case 3: if (at < s.size()) s[at] = char(random.Below(256)); break;
        case 4: s.insert(at, length, char(random.Below(256))); break;
        case 5: case 6: s.erase(at, length); break;
        case 7: s.insert(at, s.substr(at, length)); break;
        case 8: s.resize(at); break;
        case 9: case 10: case 11: s.insert(at, token); break;
        default: at &= ~size_t(3); s.replace(at, token.size(), token);
        }
    }
    return s;
}

void Fuzz(const Reader& reader)
{
    ASSERT_FALSE(reader.valid.empty()) << reader.name << ": its valid input is in the build";
    ASSERT_EQ(reader.read(reader.valid), "") << reader.name << ": its valid input";
    printf("%s: seed %u, cases 0 to %d\n", reader.name, reader.seed, reader.cases - 1);
    fflush(stdout);
    const ULONGLONG start = GetTickCount64();  // only reported
    int faults = 0;
    for (int i = 0; i < reader.cases; ++i) {
        Random random{std::uint64_t(reader.seed) << 32 | unsigned(i)};
        const std::string input = Mutated(reader, random);
        g_reader = &reader, g_index = i, g_input = &input;
        std::string fault;
        try {
            fault = reader.read(input);
        } catch (const std::exception& e) {
            fault = std::string("an exception escaped: ") + e.what();
        } catch (...) {
            fault = "an exception of no standard type escaped";
        }
        if (!fault.empty() && ++faults <= 5)
            ADD_FAILURE() << reader.name << ", seed " << reader.seed << ", case " << i << ": " << fault
                          << "\n  input of " << Hex(input, reader.valid);
    }
    g_reader = nullptr;
    printf("%s: %d cases, %d faults (%.1f s)\n", reader.name, reader.cases, faults, (GetTickCount64() - start) / 1e3);
    fflush(stdout);
}

std::string FileBytes(const std::wstring& path)
{
    std::ifstream in(path.c_str(), std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

const std::vector<std::string> kJsonTokens = {
    "\"", "{", "}", "[", "]", ":", ",", "\\", "\"\\u0000\"", "\"\\ud800\"", "1e999", "-1e999", "0.5", "-0",
    "18446744073709551616", "9223372036854775808", "-9223372036854775809", "null", "true", "{}", "[]", "\"\"",
    std::string(1, '\0'), "\xff\xfe", "\xc3", "\xed\xa0\x80", "\xf4\x90\x80\x80", "[[[[[[[[", "{\"\":{\"\":",
    "\"time\":\"2038-01-19 11:14:08\"", "\"port\":3", "\"template\":\"=\"", "\"number\":"};

// The sample site cut to its first and last terminal (one on the network, one
// on a serial port) with one employee and one punch each: every kind of key and
// value stays, and a case costs a fraction of a millisecond in the guest.
std::string SiteSeed()
{
    hwsim::Site site = hwsim::ParseSite(FileBytes(BinDir() + L"sample-terminals.json"), "sample-terminals.json");
    site.stdoutText = "printed";
    site.terminals.erase(site.terminals.begin() + 1, site.terminals.end() - 1);
    for (hwsim::Terminal& t : site.terminals) {
        t.employees.resize(1);
        t.punches.resize(1);
        t.employees[0].tpl.resize(7);
    }
    return hwsim::FormatSite(site, "sample-terminals.json");
}

const char kStore[] = R"({"rows": [
  {"cpsn_num": "1001", "iFingerprintNO": 0, "imachineno": 1, "npassword": 0, "bFingerprint": "AQIDBAU="},
  {"cpsn_num": "1002 ", "iFingerprintNO": 9, "imachineno": 2, "bFingerprint": "q80="},
  {"cpsn_num": "\u738b", "npassword": -2147483648}
]}
)";

// A small real DLL: its headers and the section of its import table (".idata"
// as MinGW links it) take half the mutations, offsets 0, all ones or near the end.
Reader ImageReader()
{
    const std::string dll = FileBytes(BinDir() + L"..\\isolated\\partial\\HwDev.dll");
    EXPECT_TRUE(ParseImage({dll.begin(), dll.end()})) << "isolated\\partial\\HwDev.dll of the build";
    const size_t headers = std::min<size_t>(dll.size(), 0x400);
    Reader image{"PE image", 4, 150000, dll, {}, {{0, headers}}, "", nullptr};
    const size_t at = dll.find(std::string(".idata\0", 8));
    IMAGE_SECTION_HEADER s;
    if (at + sizeof s <= headers) {
        memcpy(&s, &dll[at], sizeof s);
        image.hot.emplace_back(s.PointerToRawData, std::min<size_t>(dll.size(), s.PointerToRawData + s.SizeOfRawData));
    }
    for (std::uint32_t v : {0u, 1u, 0xFFFFFFFFu, 0x7FFFFFFFu, 0x80000000u, 0xFFFFu, 0x10000u, 1u + unsigned(dll.size()),
                            unsigned(dll.size()) - 1, unsigned(dll.size()) - 4, unsigned(dll.size()) - 40})
        image.tokens.emplace_back(reinterpret_cast<const char*>(&v), 4);
    image.read = [](const std::string& b) -> std::string {
        std::wstring error;
        return ParseImage({b.begin(), b.end()}, &error) || !error.empty() ? "" : "no image and no error";
    };
    return image;
}

TEST(Fuzz, EveryReaderAnswersAnyBytes)
{
    CloseHandle(CreateThread(nullptr, 0, Watchdog, nullptr, 0, nullptr));
    SetUnhandledExceptionFilter(OnCrash);
    std::signal(SIGABRT, [](int) { PrintRunning("Aborted"); });  // std::terminate ends here too

    Fuzz({"site file", 1, 20000, SiteSeed(), kJsonTokens, {}, "[{\"\":", [](const std::string& b) -> std::string {
        try {
            hwsim::ParseSite(b, "fuzz.json");
        } catch (const hwsim::FileError& e) {
            return std::string(e.what()).rfind("fuzz.json: ", 0) == 0 ? "" : "a refusal without the file's name";
        }
        return "";
    }});
    Fuzz({"fingerprint store", 2, 25000, kStore, kJsonTokens, {}, "[{\"\":", [](const std::string& b) -> std::string {
        try {
            FingerprintStore::Parse(L"fuzz.json", b);
        } catch (const Failure& f) {
            return f.exitCode == kBadArguments && f.message.find(L"fuzz.json") != std::wstring::npos
                       ? "" : "a failure with exit code " + std::to_string(f.exitCode) + " or without the file's name";
        }
        return "";
    }});
    Fuzz({"manifest", 3, 50000, FileBytes(BinDir() + L"..\\fuzz\\Kavro.manifest"),
          {"</>", "<", ">", "/", "/>", "</", "<!--", "-->", "<?", "\"", "'", "=", ":", " ", "\xff\xfe", "\xef\xbb\xbf",
           std::string(1, '\0'), "\xc3", "\xed\xa0\x80", "<file name=\"", "</file>", "<comClass clsid=\"", "<<<<<<<<"},
          {}, "<a>", [](const std::string& b) -> std::string {
        DeclaredClassesIn(b);
        return "";
    }});
    Fuzz(ImageReader());
    SetEvent(g_wake);
}

// Manifests that once ended the doctor with a library's message, and what they declare now.
TEST(Fuzz, BrokenManifestsAnswer)
{
    const std::string good = FileBytes(BinDir() + L"..\\fuzz\\Kavro.manifest");
    const size_t file = good.find("<file");
    const struct {
        std::string bytes;
        std::vector<std::wstring> files;  // of the classes declared
    } cases[] = {
        {"</>", {}},
        {"<assembly></></assembly>", {}},
        {"<a></", {}},
        {good.substr(0, file) + "</>" + good.substr(file), {L"Kavro.dll"}},
        {good + "</", {L"Kavro.dll"}},
        {"<file name=\"a.dll\"><comClass clsid=\"{1}\"", {L"a.dll"}},
        {"<!-- never closed <comClass clsid=\"{1}\"/>", {}},
        {std::string("\xff\xfe<\0/\0>\0<", 9), {}},
    };
    for (const auto& c : cases) {
        std::vector<DeclaredClass> classes;
        EXPECT_NO_THROW(classes = DeclaredClassesIn(c.bytes)) << c.bytes;
        std::vector<std::wstring> files;
        for (const DeclaredClass& declared : classes) files.push_back(declared.file);
        EXPECT_EQ(files, c.files) << c.bytes;
    }
}

} // namespace
