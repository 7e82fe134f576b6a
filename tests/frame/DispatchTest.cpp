// Late binding: the DISPID tables of IMachine and _clsMachine and the argument
// forms that typed callers and scripts pass.
#include <vector>

#include "Arguments.h"
#include "Scenario.h"
#include "frame/Errors.h"

namespace kavro::test {
namespace {

constexpr DISPID kDownloadCarddata = 0x60030003;
constexpr DISPID kMachineDelCardData = 0x60030005;
constexpr DISPID kDefaultDelCardData = 0x60030006;

class DispatchTest : public ComTest {
protected:
    void SetUp() override
    {
        ComTest::SetUp();
        machine = NewMachine();
        ASSERT_TRUE(machine);
        ASSERT_EQ(machine.As(&byDefault), S_OK);
    }

    static HRESULT Invoke(IDispatch* target, DISPID id, const std::vector<VARIANT>& args, VARIANT* result = nullptr,
                          EXCEPINFO* exception = nullptr, UINT* argErr = nullptr)
    {
        return InvokeWith(target, id, DISPATCH_METHOD, args, result, exception, argErr);
    }

    ComPtr<IDispatch> CollectionDispatch()
    {
        ComPtr<IDispatch> dispatch;
        collection = NewCollection();
        EXPECT_EQ(collection.As(&dispatch), S_OK);
        return dispatch;
    }

    ComPtr<IMachine> machine;
    ComPtr<IDispatch> byDefault;  // what IDispatch hands out: _clsMachine
    ComPtr<_Collection> collection;
};

TEST_F(DispatchTest, DelCardDataHasItsOwnDispidOnEachInterface)
{
    HwSim_AddSerialTerminal(2, 1);
    Variant result;
    std::vector<VARIANT> args{Bool(VARIANT_TRUE), Text(nullptr), I2(2), I2(1)};
    ASSERT_EQ(Invoke(machine.Get(), kMachineDelCardData, args, result.out()), S_OK);
    EXPECT_EQ(V_VT(result.get()), VT_BOOL);
    EXPECT_EQ(V_BOOL(result.get()), VARIANT_TRUE);
    ASSERT_EQ(Invoke(byDefault.Get(), kDefaultDelCardData, args, result.out()), S_OK);
    EXPECT_EQ(V_BOOL(result.get()), VARIANT_TRUE);
    EXPECT_EQ(Calls(HWSIM_DelAllRcdOnDev).size(), 2u);

    EXPECT_EQ(Invoke(byDefault.Get(), kMachineDelCardData, args), DISP_E_MEMBERNOTFOUND)
        << "0x60030005 names nothing on the default interface";
    EXPECT_EQ(Invoke(machine.Get(), kDefaultDelCardData, args), DISP_E_MEMBERNOTFOUND);
    EXPECT_EQ(Calls(HWSIM_DelAllRcdOnDev).size(), 2u);
}

TEST_F(DispatchTest, NamesResolvePerInterfaceWithoutRegardToCase)
{
    LPOLESTR names[] = {const_cast<LPOLESTR>(L"DELCARDDATA"), const_cast<LPOLESTR>(L"imachineno")};
    DISPID ids[2] = {};
    ASSERT_EQ(machine->GetIDsOfNames(IID_NULL, names, 2, LOCALE_USER_DEFAULT, ids), S_OK);
    EXPECT_EQ(ids[0], kMachineDelCardData);
    EXPECT_EQ(ids[1], 3) << "a parameter's id is its position";

    LPOLESTR defaultName[] = {const_cast<LPOLESTR>(L"IMachine_delCardData")};
    ASSERT_EQ(byDefault->GetIDsOfNames(IID_NULL, defaultName, 1, LOCALE_USER_DEFAULT, ids), S_OK);
    EXPECT_EQ(ids[0], kDefaultDelCardData);
    EXPECT_EQ(byDefault->GetIDsOfNames(IID_NULL, names, 1, LOCALE_USER_DEFAULT, ids), DISP_E_UNKNOWNNAME);
    EXPECT_EQ(ids[0], DISPID_UNKNOWN);
}

TEST_F(DispatchTest, ScriptVariablesByReferenceAreCoercedAndWrittenBack)
{
    int terminal = HwSim_AddNetTerminal("10.1.1.5", 7);
    AddPunches(terminal, {{"1001", 0}, {"1002", 60}});
    ComPtr<IDispatch> collectionDispatch = CollectionDispatch();

    // A script passes every variable as VT_BYREF|VT_VARIANT, whatever it holds.
    VARIANT cdata; V_VT(&cdata) = VT_DISPATCH; V_DISPATCH(&cdata) = collectionDispatch.Get();
    VARIANT message = I4(42);
    Bstr ip(L"10.1.1.5"), port(L"0"), number(L"7");
    VARIANT serial = I4(0), ipValue = Text(ip.get()), portValue = Text(port.get()), numberValue = Text(number.get());
    std::vector<VARIANT> args{Ref(&serial), Ref(&ipValue), Ref(&portValue), Ref(&numberValue), Ref(&cdata), Ref(&message)};
    Variant result;
    ASSERT_EQ(Invoke(byDefault.Get(), kDownloadCarddata, args, result.out()), S_OK);
    EXPECT_EQ(V_BOOL(result.get()), VARIANT_TRUE);
    ASSERT_EQ(V_VT(&message), VT_BSTR) << "the message comes back as a string";
    EXPECT_EQ(SysStringLen(V_BSTR(&message)), 0u);
    VariantClear(&message);
    long count = 0;
    collection->Count(&count);
    EXPECT_EQ(count, 2);
}

TEST_F(DispatchTest, TypedCallersPassReferencesToTheirOwnVariables)
{
    HwSim_AddSerialTerminal(1, 1);
    ComPtr<IDispatch> collectionDispatch = CollectionDispatch();
    IDispatch* held = collectionDispatch.Get();
    BSTR message = SysAllocString(L"old");
    std::vector<VARIANT> args{Bool(VARIANT_TRUE), Text(nullptr), I2(1), I2(1), DispatchRef(&held), TextRef(&message)};
    Variant result;
    ASSERT_EQ(Invoke(machine.Get(), kDownloadCarddata, args, result.out()), S_OK);
    EXPECT_EQ(V_BOOL(result.get()), VARIANT_TRUE);
    EXPECT_EQ(SysStringLen(message), 0u) << "the caller's string is replaced";
    EXPECT_EQ(held, collectionDispatch.Get()) << "the collection reference is never replaced";
    SysFreeString(message);
}

TEST_F(DispatchTest, BadArgumentsAreRefusedBeforeTheCall)
{
    Bstr notANumber(L"abc");
    UINT argErr = 99;
    std::vector<VARIANT> mismatch{Bool(VARIANT_TRUE), Text(nullptr), Text(notANumber.get()), I2(1)};
    EXPECT_EQ(Invoke(machine.Get(), kMachineDelCardData, mismatch, nullptr, nullptr, &argErr), DISP_E_TYPEMISMATCH);
    EXPECT_EQ(argErr, 1u) << "iPort is the second argument from the end";

    std::vector<VARIANT> overflow{Bool(VARIANT_TRUE), Text(nullptr), I4(40000), I2(1)};
    EXPECT_EQ(Invoke(machine.Get(), kMachineDelCardData, overflow), DISP_E_OVERFLOW);

    std::vector<VARIANT> tooFew{Bool(VARIANT_TRUE), Text(nullptr), I2(1)};
    EXPECT_EQ(Invoke(machine.Get(), kMachineDelCardData, tooFew), DISP_E_BADPARAMCOUNT);

    std::vector<VARIANT> notACollection{Bool(VARIANT_TRUE), Text(nullptr), I2(1), I2(1), I4(5), TextRef(nullptr)};
    EXPECT_EQ(Invoke(machine.Get(), kDownloadCarddata, notACollection), DISP_E_TYPEMISMATCH);
    EXPECT_EQ(HwSim_CallCount(), 0) << "nothing reached the library";
}

TEST_F(DispatchTest, FailureReachesALateBoundClientAsAnException)
{
    ComPtr<IDispatch> collectionDispatch = CollectionDispatch();
    IDispatch* held = collectionDispatch.Get();
    BSTR message = SysAllocString(L"old");
    Bstr tooLong(L"1234567890123456");
    std::vector<VARIANT> args{Bool(VARIANT_FALSE), Text(tooLong.get()), I2(1), I2(1), DispatchRef(&held), TextRef(&message)};
    EXCEPINFO exception{};
    EXPECT_EQ(Invoke(machine.Get(), kDownloadCarddata, args, nullptr, &exception), DISP_E_EXCEPTION);
    EXPECT_EQ(exception.scode, ToHresult(RunTimeError::SubscriptOutOfRange));
    ASSERT_NE(exception.bstrDescription, nullptr);
    EXPECT_STREQ(exception.bstrDescription, L"Subscript out of range");
    EXPECT_STREQ(message, L"old");
    SysFreeString(exception.bstrDescription);
    SysFreeString(exception.bstrSource);
    SysFreeString(exception.bstrHelpFile);
    SysFreeString(message);
}

} // namespace
} // namespace kavro::test
