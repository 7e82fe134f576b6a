// Discovery: funcRegister over serial ports by terminal numbers, with one
// terminal on every port, so one probe in `numbers` finds one.
// Baseline: HwDev_IsDevExist on addresses prepared beforehand, and the same
// clsMachineItem objects made through a factory obtained once.
#include "Bench.h"

namespace bench {
namespace {

struct Probe {
    DevAddress address;
    short port;
};

std::vector<Probe> FillTerminals(const Sizes& sizes)
{
    std::vector<Probe> probes;
    for (int port = 1; port <= sizes.ports; ++port) {
        if (!HwSim_AddSerialTerminal(port, (port - 1) % sizes.numbers + 1))
            Fail("the simulator refused a discovery terminal");
        for (int number = 1; number <= sizes.numbers; ++number)
            probes.push_back({SerialAddress(port, number), static_cast<short>(port)});
    }
    return probes;
}

double RunComponent(IMachine& machine, const Sizes& sizes)
{
    Bstr none(L"");
    return TimeIntoCollection("funcRegister", sizes.ports, [&](_Collection** col, BSTR* message, VARIANT_BOOL* result) {
        return machine.funcRegister(col, VARIANT_TRUE, 1, static_cast<short>(sizes.ports), none.get(), none.get(),
                                    1, static_cast<short>(sizes.numbers), message, result);
    });
}

VARIANT ShortValue(short value)
{
    VARIANT v;
    V_VT(&v) = VT_I2;
    V_I2(&v) = value;
    return v;
}

double RunBaseline(IClassFactory& factory, std::vector<Probe>& probes, const std::vector<Bstr>& portTexts)
{
    auto collection = CreateCollection();
    FreshLog();
    double start = Now();
    for (Probe& probe : probes) {
        if (HwDev_IsDevExist(&probe.address) != 1) continue;
        ComPtr<_clsMachineItem> item;
        factory.CreateInstance(nullptr, IID__clsMachineItem, reinterpret_cast<void**>(item.GetAddressOf()));
        item->put_imachineno(ShortValue(probe.port));
        VARIANT text;
        V_VT(&text) = VT_BSTR;
        V_BSTR(&text) = portTexts[probe.port].get();
        item->put_iPort(text);
        item->put_vMachineInfo(ShortValue(probe.port));
        AddToCollection(*collection.Get(), item.Get());
    }
    double elapsed = Now() - start;
    ExpectCount(*collection.Get(), static_cast<LONG>(portTexts.size()) - 1, "the discovery baseline");
    return elapsed;
}

} // namespace

Figure Discovery(const Sizes& sizes, IMachine& machine)
{
    HwSim_Reset();
    std::vector<Probe> probes = FillTerminals(sizes);
    std::vector<Bstr> portTexts(1);
    for (int port = 1; port <= sizes.ports; ++port) portTexts.emplace_back(std::to_wstring(port));
    auto factory = FactoryOf(CLSID_clsMachineItem);
    return Compare("discovery_ratio", "discovery, " + std::to_string(probes.size()) + " probes",
                   sizes.repetitions, [&] { return RunComponent(machine, sizes); },
                   [&] { return RunBaseline(*factory.Get(), probes, portTexts); });
}

} // namespace bench
