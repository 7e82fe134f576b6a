// Terminal discovery: every port or address of a range is probed at every
// terminal number of a second range, each answering terminal arrives in the
// host's collection as a clsMachineItem, and a failure shows one box and sets
// the fixed message.
#include <cstring>

#include "Arguments.h"
#include "MessageBoxes.h"
#include "Scenario.h"
#include "link/Records.h"

namespace kavro::test {
namespace {

constexpr wchar_t kFailureMessage[] = L"搜索考勤机失败，请重试！";
constexpr DISPID kRegister = 0x60030000;

struct Range {
    VARIANT_BOOL blnPort;
    short iPortMin, iPortMax;
    const wchar_t* strIPMin;
    const wchar_t* strIPMax;
    short imin, imax;
};

Range Serial(short from, short to, short imin, short imax) { return {VARIANT_TRUE, from, to, L"", L"", imin, imax}; }
Range Network(const wchar_t* from, const wchar_t* to, short imin, short imax)
{
    return {VARIANT_FALSE, 0, 0, from, to, imin, imax};
}

// The probe as the library received it: the terminal number and the link.
struct Probe {
    int machineNo;
    std::string link;  // "COM<n>" or the address text
    friend bool operator==(const Probe&, const Probe&) = default;
    friend std::ostream& operator<<(std::ostream& os, const Probe& p) { return os << p.link << "#" << p.machineNo; }
};

std::vector<Probe> Probes()
{
    std::vector<Probe> probes;
    for (const HwSimCall& call : Calls(HWSIM_IsDevExist)) {
        DevAddress a;
        std::memcpy(&a, call.address, sizeof a);
        probes.push_back({a.MachineNo, a.IsSerial ? "COM" + std::to_string(a.ComPort) : std::string(reinterpret_cast<const char*>(a.IpAddress))});
    }
    return probes;
}

struct ItemPuts {
    std::vector<std::wstring> names;
    std::vector<VARTYPE> types;
    std::vector<std::wstring> values;
    friend bool operator==(const ItemPuts&, const ItemPuts&) = default;
};

class funcRegisterTest : public ComTest {
protected:
    void SetUp() override { ComTest::SetUp(); ASSERT_TRUE(machine && collection); }

    HRESULT Register(const Range& r)
    {
        Bstr from(r.strIPMin ? r.strIPMin : L""), to(r.strIPMax ? r.strIPMax : L"");
        result = 7;
        return machine->funcRegister(collection.GetAddressOf(), r.blnPort, r.iPortMin, r.iPortMax,
                                     r.strIPMin ? from.get() : nullptr, r.strIPMax ? to.get() : nullptr, r.imin,
                                     r.imax, &message.text, &result);
    }

    // Runs a search that must fail: one box, captioned Kavro, OK only; the
    // call succeeds with false and the fixed message. Answers the box's text.
    std::wstring RegisterFailing(const Range& r)
    {
        MessageBoxWatch watch;
        HRESULT hr = Register(r);
        auto boxes = watch.Stop();
        EXPECT_EQ(hr, S_OK);
        EXPECT_EQ(result, VARIANT_FALSE);
        EXPECT_STREQ(message.text, kFailureMessage);
        EXPECT_EQ(boxes.size(), 1u) << "one message box";
        if (boxes.empty()) return L"";
        EXPECT_EQ(boxes[0].buttons, std::vector<int>{IDOK}) << "an OK button only";
        return boxes[0].text;
    }

    long Count()
    {
        long count = -1;
        collection->Count(&count);
        return count;
    }

    std::vector<ItemPuts> Items()
    {
        std::vector<ItemPuts> items;
        for (const Added& added : AddsOf(collection.Get())) {
            EXPECT_TRUE(added.keyOmitted && added.beforeOmitted && added.afterOmitted);
            ItemPuts item;
            for (const Put& put : PutsOf(added.item.Get())) {
                item.names.push_back(put.name);
                item.types.push_back(put.type);
                item.values.push_back(put.text);
            }
            items.push_back(item);
        }
        return items;
    }

    ComPtr<IMachine> machine = NewMachine();
    ComPtr<_Collection> collection = NewCollection();
    struct Message {
        BSTR text = SysAllocString(L"earlier message");
        ~Message() { SysFreeString(text); }
    } message;
    VARIANT_BOOL result = 7;
};

const ItemPuts SerialItem(const wchar_t* port)
{
    return {{L"imachineno", L"iPort", L"vMachineInfo"}, {VT_I2, VT_BSTR, VT_I2}, {port, port, port}};
}

const ItemPuts NetworkItem(const wchar_t* last, const wchar_t* address)
{
    return {{L"imachineno", L"vIp", L"vMachineInfo"}, {VT_I2, VT_BSTR, VT_I2}, {last, address, last}};
}

TEST_F(funcRegisterTest, SerialSearchProbesEveryNumberAtEveryPortAndReportsEachAnswer)
{
    HwSim_AddSerialTerminal(2, 1);
    HwSim_AddSerialTerminal(2, 2);
    HwSim_AddSerialTerminal(4, 2);
    HwSim_AddSerialTerminal(4, 3);  // outside the numbers searched

    ASSERT_EQ(Register(Serial(1, 4, 1, 2)), S_OK);
    EXPECT_EQ(result, VARIANT_TRUE);
    EXPECT_STREQ(message.text, L"earlier message") << "success leaves strMsg alone";
    EXPECT_EQ(Probes(), (std::vector<Probe>{{1, "COM1"}, {2, "COM1"}, {1, "COM2"}, {2, "COM2"},
                                            {1, "COM3"}, {2, "COM3"}, {1, "COM4"}, {2, "COM4"}}));
    EXPECT_EQ(Items(), (std::vector<ItemPuts>{SerialItem(L"2"), SerialItem(L"2"), SerialItem(L"4")}))
        << "the number that answered is put nowhere";

    DevAddress expected{};
    expected.MachineNo = 2;
    expected.FixedValue = 10;
    expected.IsSerial = 1;
    expected.ComPort = 4;
    expected.BaudRate = 38400;
    AddressBytes bytes;
    std::memcpy(bytes.data(), &expected, sizeof expected);
    EXPECT_EQ(AddressOf(Calls(HWSIM_IsDevExist).back()), bytes);

    EXPECT_EQ(HostStub_LiveObjects(HOSTSTUB_MachineItem), 3) << "the collection holds the only references";
    collection.Reset();
    EXPECT_EQ(HostStub_LiveObjects(HOSTSTUB_MachineItem), 0);
}

TEST_F(funcRegisterTest, NetworkSearchTakesThePrefixFromTheLastAddressAsItStands)
{
    HwSim_AddNetTerminal("192.168.001.11", 2);
    HwSim_AddNetTerminal("192.168.1.11", 1);  // the prefix is compared as text

    ASSERT_EQ(Register(Network(L"10.0.0.10", L"192.168.001.12", 1, 2)), S_OK);
    EXPECT_EQ(result, VARIANT_TRUE);
    EXPECT_EQ(Probes(), (std::vector<Probe>{{1, "192.168.001.10"}, {2, "192.168.001.10"}, {1, "192.168.001.11"},
                                            {2, "192.168.001.11"}, {1, "192.168.001.12"}, {2, "192.168.001.12"}}));
    EXPECT_EQ(Items(), std::vector<ItemPuts>{NetworkItem(L"11", L"192.168.001.11")});
    for (const HwSimCall& call : Calls(HWSIM_IsDevExist)) {
        AddressBytes bytes = AddressOf(call);
        EXPECT_EQ(std::vector<std::uint8_t>(bytes.begin() + 42, bytes.end()), std::vector<std::uint8_t>(10, 0))
            << "a network record: IsSerial, ComPort and BaudRate zero";
    }
}

// Blanks around the fourth part, halves to even, any number of parts; the
// texts shrink from 1.2.3.-2 to 1.2.3.1, and the library never sees stale bytes
// behind a terminator, since each text is at most one byte shorter than the last.
TEST_F(funcRegisterTest, FourthPartsConvertAsIntegersAndShrinkingTextsLeaveNoStaleBytes)
{
    ASSERT_EQ(Register(Network(L"a.b.c. -25E-1 .99.x", L"1.2.3. 15E-1 ", 1, 1)), S_OK);
    EXPECT_EQ(result, VARIANT_TRUE);
    auto calls = Calls(HWSIM_IsDevExist);
    const char* texts[] = {"1.2.3.-2", "1.2.3.-1", "1.2.3.0", "1.2.3.1", "1.2.3.2"};
    ASSERT_EQ(calls.size(), std::size(texts)) << "-2.5 rounds to -2, 1.5 to 2";
    for (size_t i = 0; i < calls.size(); ++i) {
        AddressBytes bytes = AddressOf(calls[i]);
        std::array<std::uint8_t, 16> field{};
        std::memcpy(field.data(), texts[i], std::strlen(texts[i]));
        EXPECT_TRUE(std::equal(field.begin(), field.end(), bytes.begin() + 26)) << "probe " << i << ": " << texts[i];
    }
}

TEST_F(funcRegisterTest, EmptyRangesProbeNothingAndNeedNoLibraryOrHostClass)
{
    HostStub_FailCreate(HOSTSTUB_MachineItem, 1, E_FAIL);
    for (const Range& r : {Serial(5, 4, 1, 1), Serial(1, 4, 2, 1), Network(L"1.1.1.9", L"1.1.1.8", 1, 1),
                           Network(L"1.1.1.1", L"1.1.1.1", 3, -3)}) {
        ASSERT_EQ(Register(r), S_OK);
        EXPECT_EQ(result, VARIANT_TRUE);
    }
    EXPECT_STREQ(message.text, L"earlier message");
    EXPECT_EQ(HwSim_CallCount(), 0);
    EXPECT_EQ(Count(), 0);
}

TEST_F(funcRegisterTest, RangesEndingAt32767FinishAfterTheirLastPass)
{
    HwSim_AddSerialTerminal(32767, 32767);
    HwSim_AddNetTerminal("1.1.1.32767", 32767);
    ASSERT_EQ(Register(Serial(32766, 32767, 32766, 32767)), S_OK);
    EXPECT_EQ(result, VARIANT_TRUE);
    ASSERT_EQ(Register(Network(L"0.0.0.32766", L"1.1.1.32767", 32767, 32767)), S_OK);
    EXPECT_EQ(result, VARIANT_TRUE);
    EXPECT_STREQ(message.text, L"earlier message");
    EXPECT_EQ(Probes(), (std::vector<Probe>{{32766, "COM32766"}, {32767, "COM32766"}, {32766, "COM32767"},
                                            {32767, "COM32767"}, {32767, "1.1.1.32766"}, {32767, "1.1.1.32767"}}));
    EXPECT_EQ(Items(), (std::vector<ItemPuts>{SerialItem(L"32767"), NetworkItem(L"32767", L"1.1.1.32767")}));
}

TEST_F(funcRegisterTest, OnlyOneAnswersAndAnAnswerBeyond16BitsFailsAfterWhatWasFound)
{
    const int answers[] = {2, -1, -32768, 1, 65537, 1};
    for (int port = 1; port <= 6; ++port) HwSim_SetExistAnswer(HwSim_AddSerialTerminal(port, 1), answers[port - 1]);

    std::wstring text = RegisterFailing(Serial(1, 6, 1, 1));
    EXPECT_NE(text.find(L"serial port 5"), std::wstring::npos) << text;
    EXPECT_NE(text.find(L"65537"), std::wstring::npos) << text;
    EXPECT_EQ(Items(), std::vector<ItemPuts>{SerialItem(L"4")}) << "what was found before stays";
    EXPECT_EQ(Probes().size(), 5u) << "the search ends at the failure";
}

TEST_F(funcRegisterTest, BadAddressTextsFailBeforeAnyProbeWithADescriptionNamingThem)
{
    struct Case { const wchar_t* from; const wchar_t* to; const wchar_t* named; };
    const Case cases[] = {
        {L"192.168.1", L"192.168.1.5", L"strIPMin \"192.168.1\" has no fourth"},
        {nullptr, L"192.168.1.5", L"strIPMin \"\" has no fourth"},
        {L"1.1.1.1", L"", L"strIPMax \"\" has no fourth"},
        {L"1.2.3.abc", L"1.2.3.4", L"\"abc\" of strIPMin \"1.2.3.abc\" is not a number"},
        {L"1.2.3.", L"1.2.3.4", L"\"\" of strIPMin \"1.2.3.\" is not a number"},
        {L"1.2.3.1", L"1.2.3.40000", L"\"40000\" of strIPMax \"1.2.3.40000\" lies outside -32768 to 32767"},
        {L"1.2.3.-32769", L"1.2.3.4", L"\"-32769\" of strIPMin"},
    };
    for (const Case& c : cases) {
        std::wstring text = RegisterFailing(Network(c.from, c.to, 1, 1));
        EXPECT_NE(text.find(c.named), std::wstring::npos) << "box: " << std::string(text.begin(), text.end());
    }
    EXPECT_EQ(HwSim_CallCount(), 0);

    SysFreeString(message.text);
    message.text = nullptr;  // a NULL strMsg is the empty string, replaced as any other
    std::wstring text = RegisterFailing(Network(L"192.168.100.998", L"192.168.100.1000", 1, 1));
    EXPECT_NE(text.find(L"address 192.168.100.1000"), std::wstring::npos) << "16 bytes do not fit the record";
    EXPECT_EQ(Probes().size(), 2u) << "the last address never reaches the library";
    EXPECT_EQ(Count(), 0);
}

TEST_F(funcRegisterTest, FailingHostCallsEndTheSearchAndKeepWhatWasAdded)
{
    for (int port = 1; port <= 3; ++port) HwSim_AddSerialTerminal(port, 1);
    struct Case { void (*inject)(); const wchar_t* named; };
    const Case cases[] = {
        {[] { HostStub_FailCreate(HOSTSTUB_MachineItem, 2, REGDB_E_CLASSNOTREG); }, L"clsMachineItem cannot be created"},
        {[] { HostStub_FailPut(L"iPort", 2, E_ACCESSDENIED); }, L"Putting iPort on clsMachineItem failed"},
        {[] { HostStub_FailAdd(2, E_OUTOFMEMORY); }, L"Add on the collection failed"},
    };
    long before = 0;
    for (const Case& c : cases) {
        c.inject();
        std::wstring text = RegisterFailing(Serial(1, 3, 1, 1));
        EXPECT_NE(text.find(c.named), std::wstring::npos) << std::string(text.begin(), text.end());
        EXPECT_NE(text.find(L"serial port 2"), std::wstring::npos);
        EXPECT_EQ(Count(), before + 1) << "the first terminal's object stays";
        before = Count();
        HostStub_Reset();
    }

    _Collection* none = nullptr;
    MessageBoxWatch watch;
    Bstr empty(L"");
    ASSERT_EQ(machine->funcRegister(&none, VARIANT_TRUE, 1, 1, empty.get(), empty.get(), 1, 1, &message.text, &result),
              S_OK);
    auto boxes = watch.Stop();
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_NE(boxes[0].text.find(L"Object required: col"), std::wstring::npos);
    EXPECT_EQ(result, VARIANT_FALSE);
    EXPECT_EQ(HostStub_LiveObjects(HOSTSTUB_MachineItem), static_cast<LONG>(Count()))
        << "the object that had nowhere to go is released";
}

TEST_F(funcRegisterTest, DefaultInterfaceAndInvokeRunTheSameSearch)
{
    HwSim_AddNetTerminal("10.0.0.2", 1);
    ComPtr<_clsMachine> byDefault;
    ASSERT_EQ(machine->QueryInterface(IID__clsMachine, reinterpret_cast<void**>(byDefault.GetAddressOf())), S_OK);
    Bstr from(L"10.0.0.1"), to(L"10.0.0.2");
    ASSERT_EQ(byDefault->IMachine_funcRegister(collection.GetAddressOf(), VARIANT_FALSE, 0, 0, from.get(), to.get(),
                                               1, 1, &message.text, &result), S_OK);
    EXPECT_EQ(result, VARIANT_TRUE);

    // As a script passes its variables: every one by reference as a VARIANT.
    ComPtr<IDispatch> collectionDispatch;
    ASSERT_EQ(collection.As(&collectionDispatch), S_OK);
    for (IDispatch* target : {static_cast<IDispatch*>(machine.Get()), static_cast<IDispatch*>(byDefault.Get())}) {
        VARIANT col = Dispatch(collectionDispatch.Get()), serial = Bool(VARIANT_FALSE), none = I2(0);
        VARIANT low = Text(from), high = Text(to), one = I2(1), text = Text(SysAllocString(L"as passed"));
        Variant answer;
        ASSERT_EQ(InvokeWith(target, kRegister, DISPATCH_METHOD,
                             {Ref(&col), Ref(&serial), Ref(&none), Ref(&none), Ref(&low), Ref(&high), Ref(&one),
                              Ref(&one), Ref(&text)}, answer.out()), S_OK);
        EXPECT_EQ(V_VT(answer.get()), VT_BOOL);
        EXPECT_EQ(V_BOOL(answer.get()), VARIANT_TRUE);
        EXPECT_STREQ(V_BSTR(&text), L"as passed") << "success leaves the script's variable alone";

        Bstr bad(L"10.0.0");
        low = Text(bad);
        MessageBoxWatch watch;
        ASSERT_EQ(InvokeWith(target, kRegister, DISPATCH_METHOD,
                             {Ref(&col), Ref(&serial), Ref(&none), Ref(&none), Ref(&low), Ref(&high), Ref(&one),
                              Ref(&one), Ref(&text)}, answer.out()), S_OK);
        EXPECT_EQ(watch.Stop().size(), 1u);
        EXPECT_EQ(V_BOOL(answer.get()), VARIANT_FALSE);
        ASSERT_EQ(V_VT(&text), VT_BSTR);
        EXPECT_STREQ(V_BSTR(&text), kFailureMessage);
        VariantClear(&text);
    }
    EXPECT_EQ(Items(), std::vector<ItemPuts>(3, NetworkItem(L"2", L"10.0.0.2")));
}

// A clsMachineItem that records how it is called, served in place of the
// host's class for one test: puts must come by name, as property puts.
class SpyItem final : public IDispatch, public IClassFactory {
public:
    struct Call { std::wstring name; WORD flags; UINT args, named; DISPID namedId; VARTYPE type; };
    std::vector<std::wstring> looked;
    std::vector<Call> calls;

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override
    {
        if (iid == IID_IUnknown || iid == IID_IClassFactory) *out = static_cast<IClassFactory*>(this);
        else if (iid == IID_IDispatch || iid == IID__clsMachineItem) *out = static_cast<IDispatch*>(this);
        else return *out = nullptr, E_NOINTERFACE;
        return S_OK;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return 2; }
    ULONG STDMETHODCALLTYPE Release() override { return 1; }
    HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown*, REFIID iid, void** out) override { return QueryInterface(iid, out); }
    HRESULT STDMETHODCALLTYPE LockServer(BOOL) override { return S_OK; }
    HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT* n) override { return *n = 0, S_OK; }
    HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID, LPOLESTR* names, UINT count, LCID, DISPID* ids) override
    {
        looked.push_back(names[0]);
        for (UINT i = 0; i < count; ++i) ids[i] = static_cast<DISPID>(looked.size());
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE Invoke(DISPID id, REFIID, LCID, WORD flags, DISPPARAMS* p, VARIANT*, EXCEPINFO*,
                                     UINT*) override
    {
        calls.push_back({looked.at(id - 1), flags, p->cArgs, p->cNamedArgs,
                         p->cNamedArgs ? p->rgdispidNamedArgs[0] : 0, p->cArgs ? V_VT(&p->rgvarg[0]) : VARTYPE(VT_EMPTY)});
        return S_OK;
    }
};

TEST_F(funcRegisterTest, PutsGoByNameAsPropertyPutsWithTheirOneNamedArgument)
{
    SpyItem spy;
    DWORD cookie = 0;
    ASSERT_EQ(CoRegisterClassObject(CLSID_clsMachineItem, static_cast<IClassFactory*>(&spy), CLSCTX_INPROC_SERVER,
                                    REGCLS_MULTIPLEUSE, &cookie), S_OK);
    HwSim_AddNetTerminal("10.0.0.3", 1);
    HwSim_AddSerialTerminal(3, 1);
    HRESULT network = Register(Network(L"10.0.0.3", L"10.0.0.3", 1, 1));
    HRESULT serial = Register(Serial(3, 3, 1, 1));
    CoRevokeClassObject(cookie);
    ASSERT_EQ(network, S_OK);
    ASSERT_EQ(serial, S_OK);

    EXPECT_EQ(spy.looked, (std::vector<std::wstring>{L"imachineno", L"vIp", L"vMachineInfo", L"imachineno", L"iPort",
                                                     L"vMachineInfo"}));
    const VARTYPE types[] = {VT_I2, VT_BSTR, VT_I2, VT_I2, VT_BSTR, VT_I2};
    ASSERT_EQ(spy.calls.size(), 6u);
    for (size_t i = 0; i < spy.calls.size(); ++i) {
        const SpyItem::Call& c = spy.calls[i];
        EXPECT_EQ(c.name, spy.looked[i]);
        EXPECT_EQ(c.flags, DISPATCH_PROPERTYPUT) << i;
        EXPECT_EQ(c.args, 1u) << i;
        EXPECT_EQ(c.named, 1u) << i;
        EXPECT_EQ(c.namedId, DISPID_PROPERTYPUT) << i;
        EXPECT_EQ(c.type, types[i]) << i;
    }
    collection.Reset();  // the spy lives on the stack
}

} // namespace
} // namespace kavro::test
