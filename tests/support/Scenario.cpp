#include "Scenario.h"

#include <algorithm>
#include <cstring>

namespace kavro::test {

namespace {

template <class Interface>
ComPtr<Interface> CreateByProgId(const wchar_t* progId, REFIID iid)
{
    CLSID clsid;
    ComPtr<Interface> object;
    if (SUCCEEDED(CLSIDFromProgID(progId, &clsid)))
        CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, iid, reinterpret_cast<void**>(object.GetAddressOf()));
    return object;
}

} // namespace

ComPtr<IMachine> NewMachine() { return CreateByProgId<IMachine>(L"Kavro.clsMachine", IID_IMachine); }

ComPtr<_Collection> NewCollection()
{
    return CreateByProgId<_Collection>(L"ZebMachine.Collection", IID__Collection);
}

AddressBytes AddressOf(const HwSimCall& call)
{
    AddressBytes bytes;
    std::memcpy(bytes.data(), call.address, bytes.size());
    return bytes;
}

std::vector<HwSimCall> AllCalls()
{
    std::vector<HwSimCall> calls(static_cast<size_t>(HwSim_CallCount()));
    for (size_t i = 0; i < calls.size(); ++i) HwSim_GetCall(static_cast<int>(i), &calls[i]);
    return calls;
}

std::vector<HwSimCall> Calls(int func)
{
    std::vector<HwSimCall> matching;
    for (const HwSimCall& call : AllCalls())
        if (call.func == func) matching.push_back(call);
    return matching;
}

void AddPunches(int terminal, const std::vector<Punch>& punches)
{
    for (const Punch& punch : punches) {
        unsigned char card[12] = {};
        std::memcpy(card, punch.cardNo.data(), std::min<size_t>(punch.cardNo.size(), sizeof(card)));
        HwSim_AddPunch(terminal, card, punch.seconds);
    }
}

std::vector<Put> PutsOf(IUnknown* object)
{
    std::vector<Put> puts;
    LONG n = HostStub_PutCount(object);
    for (LONG i = 0; i < n; ++i) {
        Bstr name;
        Variant value;
        if (!HostStub_GetPut(object, i, name.out(), value.out())) break;
        Put put{std::wstring(name.view()), V_VT(value.get()), L"", 0.0};
        if (V_VT(value.get()) == VT_DATE) put.date = V_DATE(value.get());
        Variant text;
        if (SUCCEEDED(VariantChangeType(text.get(), value.get(), 0, VT_BSTR)))
            put.text = V_BSTR(text.get()) ? V_BSTR(text.get()) : L"";
        puts.push_back(put);
    }
    return puts;
}

std::vector<Added> AddsOf(IUnknown* collection)
{
    std::vector<Added> adds;
    LONG n = HostStub_AddCount(collection);
    for (LONG i = 0; i < n; ++i) {
        Variant item;
        BOOL key = FALSE, before = FALSE, after = FALSE;
        if (!HostStub_GetAdd(collection, i, item.out(), &key, &before, &after)) break;
        Added added{nullptr, key != FALSE, before != FALSE, after != FALSE};
        if (V_VT(item.get()) == VT_DISPATCH || V_VT(item.get()) == VT_UNKNOWN) added.item = V_UNKNOWN(item.get());
        adds.push_back(added);
    }
    return adds;
}

std::wstring ErrorDescription()
{
    ComPtr<IErrorInfo> info;
    if (GetErrorInfo(0, &info) != S_OK || !info) return L"";
    Bstr description;
    info->GetDescription(description.out());
    return std::wstring(description.view());
}

LONGLONG Now()
{
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    return now.QuadPart;
}

double Milliseconds(LONGLONG from, LONGLONG to)
{
    LARGE_INTEGER frequency;
    QueryPerformanceFrequency(&frequency);
    return static_cast<double>(to - from) * 1000.0 / static_cast<double>(frequency.QuadPart);
}

} // namespace kavro::test
