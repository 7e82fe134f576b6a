// clsMachineItem: puts by name through IDispatch, as discovery makes them.
#include "HostTest.h"

namespace hosttest {
namespace {

class MachineItemTest : public HostTest {
protected:
    ComPtr<IDispatch> item = Create<IDispatch>(CLSID_clsMachineItem);
};

TEST_F(MachineItemTest, PutsByNameAreRecordedInOrderWithTheirType)
{
    Bstr port(L"2");
    ASSERT_EQ(PutByName(item.Get(), L"imachineno", I2(2)), S_OK);
    ASSERT_EQ(PutByName(item.Get(), L"iPort", Text(port)), S_OK);
    ASSERT_EQ(PutByName(item.Get(), L"vMachineInfo", I2(2)), S_OK);

    EXPECT_EQ(HostStub_PutCount(item.Get()), 3);
    EXPECT_EQ(PutAt(item.Get(), 0), L"imachineno = I2 2");
    EXPECT_EQ(PutAt(item.Get(), 1), L"iPort = BSTR 2");
    EXPECT_EQ(PutAt(item.Get(), 2), L"vMachineInfo = I2 2");
    EXPECT_EQ(PutAt(item.Get(), 3), L"(none)") << "no record past the last put";
}

TEST_F(MachineItemTest, NamesMatchWithoutRegardToCaseAndAreRecordedAsDeclared)
{
    EXPECT_EQ(IdOf(item.Get(), L"IMACHINENO"), 1);
    EXPECT_EQ(IdOf(item.Get(), L"iport"), 2);
    EXPECT_EQ(IdOf(item.Get(), L"VIP"), 3);
    EXPECT_EQ(IdOf(item.Get(), L"vmachineinfo"), 4);
    EXPECT_EQ(IdOf(item.Get(), L"vCardNo"), DISPID_UNKNOWN) << "a card-data name is not a machine-item name";

    Bstr ip(L"192.168.1.10");
    ASSERT_EQ(PutByName(item.Get(), L"VIP", Text(ip)), S_OK);
    EXPECT_EQ(PutAt(item.Get(), 0), L"vIp = BSTR 192.168.1.10");
}

TEST_F(MachineItemTest, GetsReturnTheLastValuePut)
{
    Variant value;
    ASSERT_EQ(Call(item.Get(), 3, DISPATCH_PROPERTYGET, {}, value.out()), S_OK);
    EXPECT_EQ(Shown(*value.get()), L"Empty") << "nothing put yet";

    ASSERT_EQ(PutByName(item.Get(), L"vIp", I2(1)), S_OK);
    Bstr ip(L"10.0.0.7");
    ASSERT_EQ(PutByName(item.Get(), L"vIp", Text(ip)), S_OK);
    ASSERT_EQ(Call(item.Get(), 3, DISPATCH_PROPERTYGET | DISPATCH_METHOD, {}, value.out()), S_OK);
    EXPECT_EQ(Shown(*value.get()), L"BSTR 10.0.0.7");

    ComPtr<_clsMachineItem> typed;
    ASSERT_EQ(item.As(&typed), S_OK);
    ASSERT_EQ(typed->get_vIp(value.out()), S_OK);
    EXPECT_EQ(Shown(*value.get()), L"BSTR 10.0.0.7") << "the vtable reads the same value";
}

TEST_F(MachineItemTest, AScriptVariableByReferenceIsRecordedAsItsValue)
{
    VARIANT number = I2(4);
    ASSERT_EQ(PutByName(item.Get(), L"imachineno", Ref(&number)), S_OK);
    EXPECT_EQ(PutAt(item.Get(), 0), L"imachineno = I2 4");
}

TEST_F(MachineItemTest, MalformedCallsFailAndRecordNothing)
{
    EXPECT_EQ(Call(item.Get(), 1, DISPATCH_PROPERTYPUT, {}), DISP_E_BADPARAMCOUNT) << "a put without its value";
    EXPECT_EQ(Call(item.Get(), 9, DISPATCH_PROPERTYPUT, {I2(1)}), DISP_E_MEMBERNOTFOUND) << "no property 9";
    DISPID id = DISPID_UNKNOWN;
    LPOLESTR names[] = {const_cast<LPOLESTR>(L"imachine")};
    EXPECT_EQ(item->GetIDsOfNames(IID_NULL, names, 1, 0, &id), DISP_E_UNKNOWNNAME);
    EXPECT_EQ(HostStub_PutCount(item.Get()), 0);
}

} // namespace
} // namespace hosttest
