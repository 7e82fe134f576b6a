#include "Bench.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <stdexcept>

namespace bench {

std::wstring ProgramFolder()
{
    wchar_t path[MAX_PATH * 4];
    DWORD n = GetModuleFileNameW(nullptr, path, MAX_PATH * 4);
    std::wstring program(path, n);
    return program.substr(0, program.find_last_of(L"\\/") + 1);
}

void Fail(const std::string& what, HRESULT hr)
{
    char code[32] = "";
    if (hr != S_OK) std::snprintf(code, sizeof code, " (0x%08lx)", static_cast<unsigned long>(hr));
    throw std::runtime_error(what + code);
}

void Expect(HRESULT hr, VARIANT_BOOL result, const char* call)
{
    if (FAILED(hr) || result != VARIANT_TRUE) Fail(std::string(call) + " did not answer true", hr);
}

double Now()
{
    static const double frequency = [] {
        LARGE_INTEGER f;
        QueryPerformanceFrequency(&f);
        return static_cast<double>(f.QuadPart);
    }();
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    return static_cast<double>(now.QuadPart) / frequency;
}

double Median(std::vector<double> values)
{
    if (values.empty()) return 0;
    std::sort(values.begin(), values.end());
    size_t middle = values.size() / 2;
    return values.size() % 2 ? values[middle] : (values[middle - 1] + values[middle]) / 2;
}

namespace {

template <class Interface>
ComPtr<Interface> CreateByProgId(const wchar_t* progId, REFIID iid)
{
    CLSID clsid;
    HRESULT hr = CLSIDFromProgID(progId, &clsid);
    if (FAILED(hr)) Fail("a ProgID is not registered (scripts/bench.sh registers them)", hr);
    ComPtr<Interface> object;
    hr = CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, iid, reinterpret_cast<void**>(object.GetAddressOf()));
    if (FAILED(hr)) Fail("creating a registered class failed", hr);
    return object;
}

} // namespace

ComPtr<IMachine> CreateMachine() { return CreateByProgId<IMachine>(L"Kavro.clsMachine", IID_IMachine); }

ComPtr<_Collection> CreateCollection()
{
    return CreateByProgId<_Collection>(L"ZebMachine.Collection", IID__Collection);
}

ComPtr<IClassFactory> FactoryOf(REFCLSID clsid)
{
    ComPtr<IClassFactory> factory;
    HRESULT hr = CoGetClassObject(clsid, CLSCTX_INPROC_SERVER, nullptr, IID_IClassFactory,
                                  reinterpret_cast<void**>(factory.GetAddressOf()));
    if (FAILED(hr)) Fail("a host class has no class factory", hr);
    return factory;
}

void AddToCollection(_Collection& collection, IDispatch* item)
{
    VARIANT value;
    V_VT(&value) = VT_DISPATCH;
    V_DISPATCH(&value) = item;
    VARIANT omitted;
    V_VT(&omitted) = VT_ERROR;
    V_ERROR(&omitted) = DISP_E_PARAMNOTFOUND;
    VARIANT key = omitted, before = omitted, after = omitted;
    HRESULT hr = collection.Add(&value, &key, &before, &after);
    if (FAILED(hr)) Fail("Collection.Add failed", hr);
}

void ExpectCount(_Collection& collection, LONG expected, const char* filledBy)
{
    LONG count = -1;
    collection.Count(&count);
    if (count != expected) Fail(std::string("the collection filled by ") + filledBy + " holds the wrong number of items");
}

void __stdcall Progress(int) {}
int __stdcall Query(int, int) { return 0; }

DevAddress NetAddress(const char* ip, int machineNo)
{
    DevAddress address{};
    address.MachineNo = machineNo;
    address.FixedValue = 10;
    std::strncpy(address.IpAddress, ip, sizeof address.IpAddress - 1);
    return address;
}

DevAddress SerialAddress(int port, int machineNo)
{
    DevAddress address{};
    address.MachineNo = machineNo;
    address.FixedValue = 10;
    address.IsSerial = 1;
    address.ComPort = port;
    address.BaudRate = 38400;
    return address;
}

} // namespace bench
