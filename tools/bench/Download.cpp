// Download: DownloadCarddata of a terminal's punches into a fresh collection.
// Baseline: the same receive and free, and the same clsCardData objects made
// through a factory obtained once, given values prepared beforehand.
#include "Bench.h"

#include <cstdio>

namespace bench {
namespace {

constexpr const char* kIp = "10.0.0.1";
constexpr int kMachineNo = 1;

struct CardValues {
    std::vector<Bstr> numbers;
    std::vector<DATE> times;
};

CardValues FillTerminal(int records)
{
    int terminal = HwSim_AddNetTerminal(kIp, kMachineNo);
    if (!terminal) Fail("the simulator refused the download terminal");
    CardValues values;
    for (int i = 0; i < records; ++i) {
        unsigned char card[12] = {};
        std::snprintf(reinterpret_cast<char*>(card), sizeof card, "%d", 1000000 + i);
        int seconds = i * 60;
        HwSim_AddPunch(terminal, card, seconds);
        wchar_t text[12];
        std::swprintf(text, 12, L"%d", 1000000 + i);
        values.numbers.emplace_back(text);
        values.times.push_back(25569.0 + (seconds + 28800.0) / 86400.0);
    }
    return values;
}

double RunComponent(IMachine& machine, int records)
{
    Bstr ip(L"10.0.0.1");
    return TimeIntoCollection("DownloadCarddata", records, [&](_Collection** cdata, BSTR* message, VARIANT_BOOL* result) {
        return machine.DownloadCarddata(VARIANT_FALSE, ip.get(), 0, kMachineNo, cdata, message, result);
    });
}

double RunBaseline(IClassFactory& factory, const CardValues& values)
{
    auto collection = CreateCollection();
    DevAddress address = NetAddress(kIp, kMachineNo);
    FreshLog();
    double start = Now();
    AttendanceRecord* list = nullptr;
    int count = 0;
    HwDev_RecvAllRcdFromDev(&address, &list, &count, Progress, Query);
    for (int i = 0; i < count; ++i) {
        ComPtr<_clsCardData> card;
        factory.CreateInstance(nullptr, IID__clsCardData, reinterpret_cast<void**>(card.GetAddressOf()));
        VARIANT number;
        V_VT(&number) = VT_BSTR;
        V_BSTR(&number) = values.numbers[i].get();
        card->put_vCardNo(number);
        VARIANT time;
        V_VT(&time) = VT_DATE;
        V_DATE(&time) = values.times[i];
        card->put_vCardTime(time);
        AddToCollection(*collection.Get(), card.Get());
    }
    HwDev_FreeRcdList(&list, &count);
    double elapsed = Now() - start;
    ExpectCount(*collection.Get(), static_cast<LONG>(values.numbers.size()), "the download baseline");
    return elapsed;
}

} // namespace

Figure Download(const Sizes& sizes, IMachine& machine)
{
    HwSim_Reset();
    const CardValues values = FillTerminal(sizes.records);
    auto factory = FactoryOf(CLSID_clsCardData);
    return Compare("download_ratio", "download, " + std::to_string(sizes.records) + " punches",
                   sizes.repetitions, [&] { return RunComponent(machine, sizes.records); },
                   [&] { return RunBaseline(*factory.Get(), values); });
}

} // namespace bench
