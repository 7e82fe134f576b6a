// The soak program, run briefly: no operation may leave memory behind that
// grows with the number of calls. The program prints the figures; this
// only looks for growth far beyond what the heap's own rounding gives.
#include <sstream>

#include "Hardening.h"

namespace kavro::test {
namespace {

constexpr long kMostGrowthKB = 128;  // a leaked list of 100 records over 500 calls is 1.7 MB

std::string Soak(const std::wstring& arguments)
{
    auto outcome = RunProcess(L"\"" + BinDir() + L"soak.exe\" " + arguments, BinDir(), 300000);
    EXPECT_EQ(outcome.exitCode, 0u) << outcome.output;
    return outcome.output;
}

TEST(SoakTest, NoOperationGrowsMemoryWithItsCalls)
{
    const std::string out = Soak(L"600 100 100 DownloadCarddata DownloadCarddata-failing funcBackFingure "
                                 L"funcBackFingure-nomatch funcReWrite funcRegister funcWriteCard") +
                            Soak(L"25 5 1 delCardData");
    std::istringstream lines(out);
    int operations = 0;
    for (std::string line; std::getline(lines, line);) {
        const size_t at = line.find(" growth=");
        if (at == std::string::npos) continue;
        ++operations;
        EXPECT_LT(std::stol(line.substr(at + 8)), kMostGrowthKB) << line;
        EXPECT_NE(line.find(" wrong=0 lists=0"), std::string::npos) << line;
    }
    EXPECT_EQ(operations, 8) << out;
}

} // namespace
} // namespace kavro::test
