// A host that knows Kavro.dll and the host's classes only from the manifests
// its own manifest depends on. Run from a folder holding Kavro.dll,
// Kavro.manifest, ZebMachine.dll, ZebMachine.manifest, HwDev.dll (the
// simulator) and the sample terminals.json, in a prefix where nothing was
// ever registered. Prints one line a step; exit 0 when every step worked.
#include <windows.h>
#include <objbase.h>
#include <oleauto.h>
#include <wrl/client.h>

#include <cstdio>
#include <string>

#include <ZebMachine.h>

#include "frame/Identity.h"
#include "frame/Owners.h"

using namespace kavro;

namespace {

int failures = 0;

void Step(const char* what, HRESULT hr, bool ok = true)
{
    bool passed = SUCCEEDED(hr) && ok;
    std::printf("%s %s (0x%08lX)\n", passed ? "ok" : "FAILED", what, static_cast<unsigned long>(hr));
    failures += passed ? 0 : 1;
}

ComPtr<_Collection> NewCollection()
{
    CLSID clsid{};
    ComPtr<_Collection> collection;
    HRESULT hr = CLSIDFromProgID(L"ZebMachine.Collection", &clsid);
    if (SUCCEEDED(hr))
        hr = CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IID__Collection,
                              reinterpret_cast<void**>(collection.GetAddressOf()));
    Step("the host's Collection through its manifest", hr, collection != nullptr);
    return collection;
}

long CountOf(_Collection* collection)
{
    long count = -1;
    if (collection) collection->Count(&count);
    return count;
}

// The first item of a collection answers the host class's interface: the
// component created it through the host's manifest.
bool FirstItemIs(_Collection* collection, REFIID iid)
{
    VARIANT index;
    V_VT(&index) = VT_I4;
    V_I4(&index) = 1;
    Variant item;
    ComPtr<IUnknown> object;
    return collection && SUCCEEDED(collection->Item(&index, item.get())) && V_VT(item.get()) == VT_DISPATCH &&
           V_DISPATCH(item.get()) &&
           SUCCEEDED(V_DISPATCH(item.get())->QueryInterface(iid, reinterpret_cast<void**>(object.GetAddressOf())));
}

void Run()
{
    CLSID byProgId{};
    HRESULT hr = CLSIDFromProgID(L"Kavro.clsMachine", &byProgId);
    // Through a manifest the ProgID names an alias of the class that only
    // this activation context knows, not the CLSID itself.
    Step("the ProgID Kavro.clsMachine resolves", hr);

    ComPtr<IMachine> machine;
    hr = CoCreateInstance(byProgId, nullptr, CLSCTX_INPROC_SERVER, IID_IMachine,
                          reinterpret_cast<void**>(machine.GetAddressOf()));
    Step("Kavro.clsMachine created by its ProgID, as IMachine", hr, machine != nullptr);
    ComPtr<IDispatch> byClsid;
    hr = CoCreateInstance(CLSID_clsMachine, nullptr, CLSCTX_INPROC_SERVER, IID__clsMachine,
                          reinterpret_cast<void**>(byClsid.GetAddressOf()));
    Step("clsMachine created by its CLSID, as _clsMachine", hr, byClsid != nullptr);

    ComPtr<ITypeLib> library;
    hr = LoadRegTypeLib(LIBID_Kavro, kTypeLibMajor, kTypeLibMinor, LOCALE_NEUTRAL, &library);
    Step("the type library Kavro 1.0 through the manifest", hr);
    if (!machine) return;

    ComPtr<_Collection> punches = NewCollection();
    Bstr ip(L"192.168.1.201"), message;
    VARIANT_BOOL ok = VARIANT_FALSE;
    hr = machine->DownloadCarddata(VARIANT_FALSE, ip.get(), 0, 1, punches.GetAddressOf(), message.out(), &ok);
    Step("punches downloaded from 192.168.1.201", hr, ok && CountOf(punches.Get()) > 0 &&
                                                          FirstItemIs(punches.Get(), IID__clsCardData));
    std::printf("punches %ld\n", CountOf(punches.Get()));

    ComPtr<_Collection> found = NewCollection();
    ok = VARIANT_FALSE;
    hr = machine->funcRegister(found.GetAddressOf(), VARIANT_FALSE, 0, 0, ip.get(), ip.get(), 1, 1, message.out(), &ok);
    Step("a terminal discovered at 192.168.1.201", hr, ok && CountOf(found.Get()) == 1 &&
                                                           FirstItemIs(found.Get(), IID__clsMachineItem));
}

} // namespace

int main()
{
    if (FAILED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED))) return 2;
    Run();
    CoUninitialize();
    std::printf("%d failed\n", failures);
    return failures == 0 ? 0 : 1;
}
