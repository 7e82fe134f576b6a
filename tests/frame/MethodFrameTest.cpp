// The frame every method runs through: the Boolean result, the serial flag,
// and what each kind of error trap lets the host see.
#include "Scenario.h"
#include "frame/Errors.h"

namespace kavro::test {
namespace {

using MethodFrameTest = ComTest;

TEST_F(MethodFrameTest, TrueIsAllBitsSetAndFalseIsZero)
{
    auto machine = NewMachine();
    ASSERT_TRUE(machine);
    auto collection = NewCollection();
    Bstr ip(L"10.0.0.1"), message(L"old");
    VARIANT_BOOL result = 123;
    ASSERT_EQ(machine->DownloadCarddata(VARIANT_FALSE, ip.get(), 0, 1, collection.GetAddressOf(),
                                        message.out(), &result), S_OK);
    EXPECT_EQ(result, -1) << "true is -1, never 1";

    result = 123;
    ASSERT_EQ(machine->funcWriteCard(VARIANT_TRUE, ip.get(), 1, 1, collection.Get(), message.out(), &result), S_OK);
    EXPECT_EQ(result, 0);
}

TEST_F(MethodFrameTest, AnyNonZeroFlagSelectsTheSerialLinkAsMinusOneDoes)
{
    HwSim_AddSerialTerminal(4, 2);
    auto machine = NewMachine();
    VARIANT_BOOL result = VARIANT_FALSE;
    ASSERT_EQ(machine->delCardData(VARIANT_TRUE, nullptr, 4, 2, &result), S_OK);
    EXPECT_EQ(result, VARIANT_TRUE);
    ASSERT_EQ(machine->delCardData(VARIANT_BOOL(1), nullptr, 4, 2, &result), S_OK);
    EXPECT_EQ(result, VARIANT_TRUE);

    auto calls = Calls(HWSIM_DelAllRcdOnDev);
    ASSERT_EQ(calls.size(), 2u);
    EXPECT_EQ(AddressOf(calls[0]), AddressOf(calls[1])) << "flag 1 builds the same record as flag -1";
}

TEST_F(MethodFrameTest, TrappedFailureIsASuccessfulCallAnsweringFalse)
{
    auto machine = NewMachine();
    Bstr tooLong(L"1234567890123456");
    VARIANT_BOOL result = VARIANT_TRUE;
    SetErrorInfo(0, nullptr);
    EXPECT_EQ(machine->delCardData(VARIANT_FALSE, tooLong.get(), 0, 1, &result), S_OK);
    EXPECT_EQ(result, VARIANT_FALSE);
    EXPECT_EQ(ErrorDescription(), L"") << "a trapped failure leaves no error information";
}

TEST_F(MethodFrameTest, UntrappedFailureReturnsTheErrorWithErrorInformation)
{
    auto machine = NewMachine();
    auto collection = NewCollection();
    Bstr tooLong(L"1234567890123456");
    VARIANT_BOOL result = VARIANT_TRUE;
    BSTR text = SysAllocString(L"kept");
    HRESULT hr = machine->DownloadCarddata(VARIANT_FALSE, tooLong.get(), 0, 1, collection.GetAddressOf(), &text,
                                           &result);
    EXPECT_EQ(hr, ToHresult(RunTimeError::SubscriptOutOfRange));
    EXPECT_EQ(result, VARIANT_FALSE);
    EXPECT_EQ(ErrorDescription(), L"Subscript out of range");
    EXPECT_STREQ(text, L"kept") << "the message is set only after the address was built";
    SysFreeString(text);

    ComPtr<ISupportErrorInfo> support;
    ASSERT_EQ(machine.As(&support), S_OK);
    EXPECT_EQ(support->InterfaceSupportsErrorInfo(IID_IMachine), S_OK);
    EXPECT_EQ(support->InterfaceSupportsErrorInfo(IID__clsMachine), S_OK);
    EXPECT_EQ(support->InterfaceSupportsErrorInfo(IID_IDispatch), S_FALSE);

}

TEST_F(MethodFrameTest, MissingResultPointerIsRefused)
{
    auto machine = NewMachine();
    EXPECT_EQ(machine->delCardData(VARIANT_TRUE, nullptr, 1, 1, nullptr), E_POINTER);
    EXPECT_EQ(HwSim_CallCount(), 0);
}

TEST_F(MethodFrameTest, ObjectsAreIndependentAndReleaseBalances)
{
    auto first = NewMachine();
    auto second = NewMachine();
    ASSERT_TRUE(first && second);
    EXPECT_NE(first.Get(), second.Get());
    first->AddRef();
    EXPECT_EQ(first->Release(), 1u) << "a call leaves the count as it found it";
    VARIANT_BOOL result;
    first->delCardData(VARIANT_TRUE, nullptr, 1, 1, &result);
    first->AddRef();
    EXPECT_EQ(first->Release(), 1u);
}

} // namespace
} // namespace kavro::test
