// Bad host input through IDispatch: omitted, mistyped and missing arguments,
// wrong argument counts, and script variables that hold no string.
#include <vector>

#include "Arguments.h"
#include "Hardening.h"

namespace kavro::test {
namespace {

using InputTest = HardeningTest;

// A collection and a recordset as a script holds them: by IDispatch.
struct HostArguments {
    HostArguments()
    {
        NewCollection().As(&col);
        rs->get()->QueryInterface(IID_IDispatch, reinterpret_cast<void**>(records.GetAddressOf()));
    }
    void Release()
    {
        col.Reset();
        records.Reset();
        rs.reset();
    }
    ComPtr<IDispatch> col, records;
    std::optional<memrs::MemoryRecordset> rs = FingerprintRecordset();
};

struct Member {
    const char* name;
    DISPID id;
    std::vector<VARIANT> args;  // valid arguments, first to last
};

TEST_F(InputTest, EveryArgumentIsCheckedWithItsIndexBeforeTheCall)
{
    HostArguments host;
    IDispatch* col = host.col.Get();
    IDispatch* records = host.records.Get();
    BSTR message = SysAllocString(L"m");
    Bstr ip(L"10.0.0.1"), person(L"1");
    const std::vector<Member> members = {
        {"funcRegister", 0x60030000,
         {DispatchRef(&col), Bool(VARIANT_TRUE), I2(2), I2(1), Text(ip), Text(ip), I2(1), I2(1), TextRef(&message)}},
        {"funcBackFingure", 0x60030001,
         {Bool(VARIANT_TRUE), Text(ip), I2(1), I2(1), Text(person), DispatchRef(&records), TextRef(&message)}},
        {"funcReWrite", 0x60030002,
         {Bool(VARIANT_TRUE), Text(ip), I2(1), I2(1), Text(person), Dispatch(records), TextRef(&message)}},
        {"DownloadCarddata", 0x60030003,
         {Bool(VARIANT_TRUE), Text(ip), I2(1), I2(1), DispatchRef(&col), TextRef(&message)}},
        {"funcWriteCard", 0x60030004, {Bool(VARIANT_TRUE), Text(ip), I2(1), I2(1), Dispatch(col), TextRef(&message)}},
        {"delCardData", 0x60030005, {Bool(VARIANT_TRUE), Text(ip), I2(1), I2(1)}},
    };
    Bstr notANumber(L"abc");
    VARIANT nothing;
    V_VT(&nothing) = VT_BYREF | VT_VARIANT;
    V_VARIANTREF(&nothing) = nullptr;
    for (const Member& m : members) {
        const UINT n = static_cast<UINT>(m.args.size());
        for (UINT p = 0; p < n; ++p) {
            const UINT index = n - 1 - p;  // Invoke counts arguments from the last
            struct Bad { VARIANT value; HRESULT hr; };
            const VARTYPE given = V_VT(&m.args[p]);
            const bool object = given == VT_DISPATCH || given == (VT_BYREF | VT_DISPATCH);
            const bool text = given == VT_BSTR || given == (VT_BYREF | VT_BSTR);
            for (Bad bad : {Bad{Missing(), DISP_E_PARAMNOTOPTIONAL}, Bad{Ref(&nothing), E_POINTER},
                            Bad{object ? I4(5) : Dispatch(col), DISP_E_TYPEMISMATCH},
                            Bad{object ? I2(1) : Text(notANumber), DISP_E_TYPEMISMATCH}}) {
                if (V_VT(&bad.value) == VT_BSTR && text) continue;  // any text is a string
                auto args = m.args;
                args[p] = bad.value;
                UINT argErr = 99;
                EXPECT_EQ(InvokeWith(machine.Get(), m.id, DISPATCH_METHOD, args, nullptr, nullptr, &argErr), bad.hr)
                    << m.name << " argument " << p << " given type " << V_VT(&bad.value);
                EXPECT_EQ(argErr, index) << m.name << " argument " << p;
            }
        }
        for (UINT count : {0u, n - 1, n + 1}) {
            auto args = m.args;
            args.resize(count, I2(0));
            EXPECT_EQ(InvokeWith(machine.Get(), m.id, DISPATCH_METHOD, args), DISP_E_BADPARAMCOUNT)
                << m.name << " with " << count << " arguments";
        }
    }
    EXPECT_EQ(HwSim_CallCount(), 0) << "nothing reached the library";
    EXPECT_STREQ(message, L"m");
    SysFreeString(message);
    host.Release();
    ExpectBalanced("bad arguments");
}

// A script's strMsg variable changes only when the method sets it.
TEST_F(InputTest, AScriptsMessageVariableKeepsItsValueUnlessTheMethodSetsIt)
{
    int terminal = HwSim_AddSerialTerminal(1, 1);
    AddEmployee(terminal, "7", Template(20, 1));
    HostArguments host;
    IDispatch* col = host.col.Get();
    IDispatch* records = host.records.Get();
    Bstr person(L"7"), nobody(L"8");
    struct Case {
        const char* what;
        DISPID id;
        std::function<std::vector<VARIANT>(VARIANT* message)> args;
        VARTYPE after;
        const wchar_t* text;  // what a string holds afterwards
    };
    VARIANT colVar = Dispatch(col), rsVar = Dispatch(records);
    const Case cases[] = {
        {"a search that succeeds", 0x60030000, [&](VARIANT* m) {
             return std::vector<VARIANT>{Ref(&colVar), Bool(VARIANT_TRUE), I2(1), I2(0), Text(nullptr), Text(nullptr),
                                         I2(1), I2(1), Ref(m)}; }, VT_I4, nullptr},
        {"a backup that finds the employee", 0x60030001, [&](VARIANT* m) {
             return std::vector<VARIANT>{Bool(VARIANT_TRUE), Text(nullptr), I2(1), I2(1), Text(person), Ref(&rsVar),
                                         Ref(m)}; }, VT_I4, nullptr},
        {"a backup that finds nobody", 0x60030001, [&](VARIANT* m) {
             return std::vector<VARIANT>{Bool(VARIANT_TRUE), Text(nullptr), I2(1), I2(1), Text(nobody), Ref(&rsVar),
                                         Ref(m)}; }, VT_BSTR, L"卡号为8的员工没有登记指纹数据"},
        {"a download", 0x60030003, [&](VARIANT* m) {
             return std::vector<VARIANT>{Bool(VARIANT_TRUE), Text(nullptr), I2(1), I2(1), Ref(&colVar), Ref(m)}; },
         VT_BSTR, L""},
        {"card writing", 0x60030004, [&](VARIANT* m) {
             return std::vector<VARIANT>{Bool(VARIANT_TRUE), Text(nullptr), I2(1), I2(1), colVar, Ref(m)}; },
         VT_I4, nullptr},
    };
    for (const Case& c : cases) {
        VARIANT message = I4(5);
        Variant result;
        EXPECT_EQ(InvokeWith(machine.Get(), c.id, DISPATCH_METHOD, c.args(&message), result.out()), S_OK) << c.what;
        ASSERT_EQ(V_VT(&message), c.after) << c.what;
        if (c.after == VT_I4) EXPECT_EQ(V_I4(&message), 5) << c.what;
        else EXPECT_STREQ(V_BSTR(&message), c.text) << c.what;
        VariantClear(&message);
    }
    host.Release();
    ExpectBalanced("message variables");
}

} // namespace
} // namespace kavro::test
