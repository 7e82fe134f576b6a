// Measures DownloadCarddata against the simulator: a terminal with many
// punches, downloaded into a fresh collection, next to the host-side cost of
// creating, filling and adding the same number of clsCardData objects
// directly. The ratio of the two is the component's own share.
//
//   build/wine-run.sh build/bin/download_bench.exe [records] [rounds]
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "HwSim.h"
#include "frame/Owners.h"
#include "ZebMachine.h"

using kavro::Bstr;
using kavro::ComPtr;

namespace {

double Seconds()
{
    LARGE_INTEGER now, frequency;
    QueryPerformanceCounter(&now);
    QueryPerformanceFrequency(&frequency);
    return static_cast<double>(now.QuadPart) / static_cast<double>(frequency.QuadPart);
}

template <class Interface>
ComPtr<Interface> Create(const wchar_t* progId, REFIID iid)
{
    CLSID clsid;
    ComPtr<Interface> object;
    if (SUCCEEDED(CLSIDFromProgID(progId, &clsid)))
        CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, iid, reinterpret_cast<void**>(object.GetAddressOf()));
    return object;
}

double TimeDownload(IMachine& machine)
{
    auto collection = Create<_Collection>(L"ZebMachine.Collection", IID__Collection);
    Bstr ip(L"10.0.0.1");
    BSTR message = nullptr;
    VARIANT_BOOL result = VARIANT_FALSE;
    double start = Seconds();
    HRESULT hr = machine.DownloadCarddata(VARIANT_FALSE, ip.get(), 0, 1, collection.GetAddressOf(), &message, &result);
    double elapsed = Seconds() - start;
    SysFreeString(message);
    if (FAILED(hr) || result != VARIANT_TRUE) std::printf("download failed: 0x%08lx\n", static_cast<unsigned long>(hr));
    return elapsed;
}

// What the host's own objects cost for the same records, without the component.
double TimeHostObjects(int records)
{
    auto collection = Create<_Collection>(L"ZebMachine.Collection", IID__Collection);
    ComPtr<IClassFactory> factory;
    CoGetClassObject(CLSID_clsCardData, CLSCTX_INPROC_SERVER, nullptr, IID_IClassFactory,
                     reinterpret_cast<void**>(factory.GetAddressOf()));
    VARIANT omitted;
    V_VT(&omitted) = VT_ERROR;
    V_ERROR(&omitted) = DISP_E_PARAMNOTFOUND;
    double start = Seconds();
    for (int i = 0; i < records; ++i) {
        ComPtr<_clsCardData> card;
        factory->CreateInstance(nullptr, IID__clsCardData, reinterpret_cast<void**>(card.GetAddressOf()));
        VARIANT number;
        V_VT(&number) = VT_BSTR;
        Bstr text(L"1000123");
        V_BSTR(&number) = text.get();
        card->put_vCardNo(number);
        VARIANT time;
        V_VT(&time) = VT_DATE;
        V_DATE(&time) = 45000.5;
        card->put_vCardTime(time);
        VARIANT item;
        V_VT(&item) = VT_DISPATCH;
        V_DISPATCH(&item) = card.Get();
        VARIANT key = omitted, before = omitted, after = omitted;
        collection->Add(&item, &key, &before, &after);
    }
    return Seconds() - start;
}

double Median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

} // namespace

int main(int argc, char** argv)
{
    int records = argc > 1 ? std::atoi(argv[1]) : 50000;
    int rounds = argc > 2 ? std::atoi(argv[2]) : 5;
    CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    auto machine = Create<IMachine>(L"Kavro.clsMachine", IID_IMachine);
    if (!machine) {
        std::printf("Kavro.clsMachine is not registered (run ./run.sh first)\n");
        return 1;
    }

    HwSim_Reset();
    int terminal = HwSim_AddNetTerminal("10.0.0.1", 1);
    for (int i = 0; i < records; ++i) {
        unsigned char card[12] = {};
        std::snprintf(reinterpret_cast<char*>(card), sizeof(card), "%d", 1000000 + i);
        HwSim_AddPunch(terminal, card, i * 60);
    }

    std::vector<double> download, host;
    for (int r = 0; r < rounds; ++r) {
        download.push_back(TimeDownload(*machine.Get()));
        host.push_back(TimeHostObjects(records));
    }
    double d = Median(download), h = Median(host);
    std::printf("records per download:            %d\n", records);
    std::printf("DownloadCarddata, median:        %.1f ms (%.2f us per record)\n", d * 1e3, d * 1e6 / records);
    std::printf("host objects alone, median:      %.1f ms (%.2f us per record)\n", h * 1e3, h * 1e6 / records);
    std::printf("download / host objects alone:   %.2f\n", d / h);
    std::printf("lists not handed back:           %d\n", HwSim_OutstandingLists());
    machine.Reset();
    CoUninitialize();
    return 0;
}
