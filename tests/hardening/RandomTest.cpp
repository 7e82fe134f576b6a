// Random record bytes and counts for the download and the backup, random
// address texts and ranges for discovery: no crash, the answer the frame
// gives, nothing left behind. The seed is printed with any failure;
// KAVRO_SEED repeats a run.
#include <cstdlib>
#include <random>

#include "Hardening.h"
#include "MessageBoxes.h"

namespace kavro::test {
namespace {

class RandomTest : public HardeningTest {
protected:
    void SetUp() override
    {
        HardeningTest::SetUp();
        const char* given = std::getenv("KAVRO_SEED");
        seed = given ? static_cast<unsigned>(std::strtoul(given, nullptr, 10)) : std::random_device{}();
        random.seed(seed);
    }

    int Between(int low, int high) { return std::uniform_int_distribution<int>(low, high)(random); }
    bool OneIn(int n) { return Between(1, n) == 1; }
    Bytes RandomBytes(size_t n)
    {
        Bytes bytes(n);
        for (auto& b : bytes) b = static_cast<std::uint8_t>(Between(0, 255));
        return bytes;
    }
    std::string RandomText(const char* alphabet, int longest)
    {
        std::string text(static_cast<size_t>(Between(0, longest)), ' ');
        const int last = static_cast<int>(std::strlen(alphabet)) - 1;
        for (char& c : text) c = alphabet[Between(0, last)];
        return text;
    }
    // A count as a lying library reports it, or none (the real one).
    std::optional<int> RandomCount(int held)
    {
        switch (Between(0, 5)) {
        case 0: return -Between(1, 1000);
        case 1: return Between(0, held + 4);
        case 2: return OneIn(2) ? 0x7FFFFFFF : 20'000'000;
        default: return std::nullopt;
        }
    }

    unsigned seed = 0;
    std::mt19937 random;
};

TEST_F(RandomTest, DownloadsOfRandomRecordsAndCounts)
{
    SCOPED_TRACE("seed " + std::to_string(seed));
    for (int round = 0; round < 150; ++round) {
        int terminal = HwSim_AddNetTerminal("10.0.0.1", 1);
        const int held = Between(0, 6);
        for (int i = 0; i < held; ++i) {
            Bytes card = RandomBytes(12);
            HwSim_AddPunch(terminal, card.data(), static_cast<int>(random()));
        }
        const std::optional<int> count = RandomCount(held);
        if (count) HwSim_ForceCount(HWSIM_RecvAllRcdFromDev, *count);
        const int listed = count.value_or(held);
        if (listed > 0 && listed < 100 && OneIn(3)) {
            Bytes record = RandomBytes(36);
            HwSim_ForceListRecord(HWSIM_RecvAllRcdFromDev, Between(0, listed - 1), record.data(), 36, nullptr, 0);
        }
        ComPtr<_Collection> col = NewCollection();
        BSTR message = nullptr;
        VARIANT_BOOL result = 7;
        Bstr ip(L"10.0.0.1");
        HRESULT hr = machine->DownloadCarddata(VARIANT_FALSE, ip.get(), 0, 1, col.GetAddressOf(), &message, &result);
        const bool possible = listed >= 0 && listed <= held + 4;
        EXPECT_EQ(SUCCEEDED(hr), possible) << "round " << round << " count " << listed;
        EXPECT_EQ(result, possible ? VARIANT_TRUE : VARIANT_FALSE) << "round " << round;
        long added = -1;
        col->Count(&added);
        EXPECT_EQ(added, possible ? listed : 0) << "round " << round;
        SysFreeString(message);
        col.Reset();
        ExpectBalanced("round " + std::to_string(round));
        HwSim_Reset();
    }
}

TEST_F(RandomTest, BackupsOfRandomEmployeesCountsAndTemplates)
{
    SCOPED_TRACE("seed " + std::to_string(seed));
    for (int round = 0; round < 150; ++round) {
        int terminal = HwSim_AddSerialTerminal(1, 1);
        std::vector<std::string> numbers;
        const int held = Between(0, 5);
        for (int i = 0; i < held; ++i) {
            numbers.push_back(RandomText(" 01aA", 11));
            AddEmployee(terminal, numbers.back(), RandomBytes(static_cast<size_t>(Between(0, 40))));
        }
        std::string person = numbers.empty() || OneIn(3) ? RandomText(" 01aA", 6) : numbers[Between(0, held - 1)];
        if (OneIn(2)) person = " " + person + "  ";
        auto trimmed = [](const std::string& s) {
            size_t first = s.find_first_not_of(' ');
            return first == std::string::npos ? std::string() : s.substr(first, s.find_last_not_of(' ') - first + 1);
        };
        const std::optional<int> count = RandomCount(held);
        const int listed = count.value_or(held);
        // What the search sees: the first records listed, then the zero records a longer count pads with.
        bool matches = false;
        for (int i = 0; i < listed && i < held + 4; ++i)
            matches = matches || trimmed(i < held ? numbers[i] : std::string()) == trimmed(person);

        if (count) HwSim_ForceCount(HWSIM_RecvEmployeeFromDev, *count);
        bool garbage = false;
        if (held > 0 && !count && OneIn(3)) {
            // One record of random bytes whose number is the person's: its
            // template length and address are whatever the bytes say.
            Bytes record = RandomBytes(156);
            std::fill(record.begin(), record.begin() + 12, 0);
            std::memcpy(record.data(), person.data(), std::min<size_t>(person.size(), 11));
            HwSim_ForceListRecord(HWSIM_RecvEmployeeFromDev, 0, record.data(), 156, nullptr, 0);
            garbage = true;
        }
        auto rs = std::make_optional(FingerprintRecordset());
        _Recordset* target = rs->get();
        std::wstring wide(person.begin(), person.end());
        Bstr personText(wide);
        BSTR message = SysAllocString(L"host");
        VARIANT_BOOL result = 7;
        EXPECT_EQ(machine->funcBackFingure(VARIANT_TRUE, nullptr, 1, 1, personText.get(), &target, &message, &result),
                  S_OK) << "round " << round;
        if (!garbage) {
            const bool found = matches && listed <= held + 4;
            EXPECT_EQ(result, found ? VARIANT_TRUE : VARIANT_FALSE) << "round " << round << " person [" << person << "]";
            const bool told = listed >= 0 && listed <= held + 4 && !found;
            EXPECT_EQ(std::wstring(ViewOf(message)),
                      told ? L"卡号为" + wide + L"的员工没有登记指纹数据" : std::wstring(L"host")) << "round " << round;
        }
        SysFreeString(message);
        rs.reset();
        ExpectBalanced("round " + std::to_string(round));
        HwSim_Reset();
    }
}

TEST_F(RandomTest, SearchesOfRandomAddressTextsAndRanges)
{
    SCOPED_TRACE("seed " + std::to_string(seed));
    for (int round = 0; round < 6; ++round) {
        HwSim_AddNetTerminal("1.2.3.4", 1);
        HwSim_AddSerialTerminal(2, 1);
        const bool serial = OneIn(2);
        const std::string low = RandomText("0123456789.-+ a", 18), high = RandomText("0123456789.-+ a", 18);
        const short portMin = static_cast<short>(OneIn(4) ? 32767 - Between(0, 2) : Between(-2, 4));
        const short portMax = static_cast<short>(OneIn(4) ? 32767 : portMin + Between(-1, 2));
        const short numberMin = static_cast<short>(Between(-1, 2));
        const short numberMax = static_cast<short>(numberMin + Between(-1, 2));
        Bstr lowText(std::wstring(low.begin(), low.end())), highText(std::wstring(high.begin(), high.end()));
        ComPtr<_Collection> col = NewCollection();
        BSTR message = SysAllocString(L"host");
        VARIANT_BOOL result = 7;
        MessageBoxWatch watch;
        EXPECT_EQ(machine->funcRegister(col.GetAddressOf(), serial ? VARIANT_TRUE : VARIANT_FALSE, portMin, portMax,
                                        lowText.get(), highText.get(), numberMin, numberMax, &message, &result), S_OK);
        const size_t boxes = watch.Stop().size();
        const std::string what = "round " + std::to_string(round) + " [" + low + "] [" + high + "]";
        EXPECT_EQ(boxes, result == VARIANT_TRUE ? 0u : 1u) << what;
        EXPECT_STREQ(message, result == VARIANT_TRUE ? L"host" : L"搜索考勤机失败，请重试！") << what;
        long added = -1;
        col->Count(&added);
        EXPECT_EQ(HostStub_LiveObjects(HOSTSTUB_MachineItem), added) << what;
        SysFreeString(message);
        col.Reset();
        ExpectBalanced(what);
        HwSim_Reset();
    }
}

} // namespace
} // namespace kavro::test
