// clsCardData: the two puts the download makes through the vtable, and
// injected put failures.
#include "HostTest.h"

namespace hosttest {
namespace {

class CardDataTest : public HostTest {
protected:
    ComPtr<_clsCardData> card = Create<_clsCardData>(CLSID_clsCardData);
};

VARIANT Date(DATE value)
{
    VARIANT v;
    V_VT(&v) = VT_DATE;
    V_DATE(&v) = value;
    return v;
}

TEST_F(CardDataTest, VtablePutsAreRecordedWithTheirType)
{
    Bstr number(L"00123");
    const DATE punch = 25569 + (1700000000.0 + 28800) / 86400;
    ASSERT_EQ(card->put_vCardNo(Text(number)), S_OK);
    ASSERT_EQ(card->put_vCardTime(Date(punch)), S_OK);

    EXPECT_EQ(HostStub_PutCount(card.Get()), 2);
    EXPECT_EQ(PutAt(card.Get(), 0), L"vCardNo = BSTR 00123");
    Bstr name;
    Variant value;
    ASSERT_TRUE(HostStub_GetPut(card.Get(), 1, name.out(), value.out()));
    EXPECT_EQ(name.view(), L"vCardTime");
    ASSERT_EQ(V_VT(value.get()), VT_DATE);
    EXPECT_EQ(V_DATE(value.get()), punch) << "the date is kept exactly";
}

// The component calls the second and fourth own entries of the function
// table (after IUnknown and IDispatch), not the methods by name.
TEST_F(CardDataTest, OwnEntriesTwoAndFourPutNumberAndTime)
{
    using Put = HRESULT(STDMETHODCALLTYPE*)(_clsCardData*, VARIANT);
    void** table = *reinterpret_cast<void***>(card.Get());
    Bstr number(L"42");
    ASSERT_EQ(reinterpret_cast<Put>(table[7 + 1])(card.Get(), Text(number)), S_OK);
    ASSERT_EQ(reinterpret_cast<Put>(table[7 + 3])(card.Get(), Date(25569)), S_OK);
    EXPECT_EQ(PutAt(card.Get(), 0), L"vCardNo = BSTR 42");
    Bstr name;
    ASSERT_TRUE(HostStub_GetPut(card.Get(), 1, name.out(), nullptr));
    EXPECT_EQ(name.view(), L"vCardTime");
}

TEST_F(CardDataTest, DispatchReachesTheSameProperties)
{
    ComPtr<IDispatch> dispatch;
    ASSERT_EQ(card.As(&dispatch), S_OK);
    EXPECT_EQ(IdOf(dispatch.Get(), L"VCARDTIME"), 2);
    Bstr number(L"7");
    ASSERT_EQ(PutByName(dispatch.Get(), L"vcardno", Text(number)), S_OK);
    Variant value;
    ASSERT_EQ(card->get_vCardNo(value.out()), S_OK);
    EXPECT_EQ(Shown(*value.get()), L"BSTR 7");
    EXPECT_EQ(PutAt(card.Get(), 0), L"vCardNo = BSTR 7");
}

TEST_F(CardDataTest, AnInjectedPutFailureCountsPutsOnAnyObjectAndIsNotRecorded)
{
    HostStub_FailPut(L"VCARDNO", 2, E_OUTOFMEMORY);
    ComPtr<_clsCardData> second = Create<_clsCardData>(CLSID_clsCardData);
    Bstr number(L"1");
    EXPECT_EQ(card->put_vCardTime(Date(1)), S_OK) << "another property does not count";
    EXPECT_EQ(card->put_vCardNo(Text(number)), S_OK) << "first put of vCardNo";
    EXPECT_EQ(second->put_vCardNo(Text(number)), E_OUTOFMEMORY) << "second put of vCardNo, on another object";
    EXPECT_EQ(second->put_vCardNo(Text(number)), S_OK) << "an injection fires once";

    EXPECT_EQ(HostStub_PutCount(card.Get()), 2);
    EXPECT_EQ(HostStub_PutCount(second.Get()), 1) << "the failed put is not recorded";
    Variant value;
    ASSERT_EQ(second->get_vCardTime(value.out()), S_OK);
    EXPECT_EQ(Shown(*value.get()), L"Empty");
}

TEST_F(CardDataTest, AnInjectedFailureReachesDispatchCallersAsIs)
{
    HostStub_FailPut(L"vCardTime", 1, 0x800A0006);
    ComPtr<IDispatch> dispatch;
    ASSERT_EQ(card.As(&dispatch), S_OK);
    EXPECT_EQ(PutByName(dispatch.Get(), L"vCardTime", Date(1)), static_cast<HRESULT>(0x800A0006));
    EXPECT_EQ(HostStub_PutCount(card.Get()), 0);
}

TEST_F(CardDataTest, ResetClearsInjectedFailures)
{
    HostStub_FailPut(L"vCardNo", 1, E_FAIL);
    HostStub_Reset();
    Bstr number(L"1");
    EXPECT_EQ(card->put_vCardNo(Text(number)), S_OK);
}

} // namespace
} // namespace hosttest
