// Attendance download: every punch of a terminal arrives as a clsCardData in
// the host's collection, and every list goes back to the library.
#include "Scenario.h"
#include "frame/Errors.h"

namespace kavro::test {
namespace {

class DownloadCarddataTest : public ComTest {
protected:
    void SetUp() override
    {
        ComTest::SetUp();
        machine = NewMachine();
        collection = NewCollection();
        ASSERT_TRUE(machine && collection);
        terminal = HwSim_AddNetTerminal("192.168.1.20", 1);
    }

    void TearDown() override
    {
        SysFreeString(message);
        ComTest::TearDown();
    }

    HRESULT Download(const wchar_t* ip = L"192.168.1.20", short machineNo = 1)
    {
        Bstr address(ip);
        return machine->DownloadCarddata(VARIANT_FALSE, address.get(), 0, machineNo, collection.GetAddressOf(),
                                         &message, &result);
    }

    long Count()
    {
        long count = -1;
        collection->Count(&count);
        return count;
    }

    // The card numbers put on the collection's items from index `from` on.
    std::vector<std::wstring> CardNumbers(size_t from = 0)
    {
        std::vector<std::wstring> numbers;
        auto adds = AddsOf(collection.Get());
        for (size_t i = from; i < adds.size(); ++i) {
            auto puts = PutsOf(adds[i].item.Get());
            numbers.push_back(puts.empty() ? L"<none>" : puts[0].text);
        }
        return numbers;
    }

    ComPtr<IMachine> machine;
    ComPtr<_Collection> collection;
    int terminal = 0;
    BSTR message = SysAllocString(L"earlier message");
    VARIANT_BOOL result = VARIANT_FALSE;
};

TEST_F(DownloadCarddataTest, EmptyTerminalAnswersTrueAndStillHandsTheListBack)
{
    ASSERT_EQ(Download(), S_OK);
    EXPECT_EQ(result, VARIANT_TRUE);
    EXPECT_EQ(SysStringLen(message), 0u) << "the message is set to the empty string";
    EXPECT_EQ(Count(), 0);
    EXPECT_EQ(Calls(HWSIM_FreeRcdList).size(), 1u);
}

TEST_F(DownloadCarddataTest, RecordsFollowWhatTheCollectionHeldInTheLibrarysOrder)
{
    VARIANT existing;
    V_VT(&existing) = VT_I4;
    V_I4(&existing) = 5;
    ASSERT_EQ(collection->Add(&existing, nullptr, nullptr, nullptr), S_OK);
    AddPunches(terminal, {{"3001", 100}, {"3002", 200}, {"3003", 300}});

    ASSERT_EQ(Download(), S_OK);
    EXPECT_EQ(result, VARIANT_TRUE);
    ASSERT_EQ(Count(), 4);
    EXPECT_EQ(CardNumbers(1), (std::vector<std::wstring>{L"3001", L"3002", L"3003"}));

    {
        auto adds = AddsOf(collection.Get());
        for (size_t i = 1; i < adds.size(); ++i) {
            EXPECT_TRUE(adds[i].keyOmitted && adds[i].beforeOmitted && adds[i].afterOmitted) << "add " << i;
            auto puts = PutsOf(adds[i].item.Get());
            ASSERT_EQ(puts.size(), 2u);
            EXPECT_EQ(puts[0].name, L"vCardNo");
            EXPECT_EQ(puts[0].type, VT_BSTR);
            EXPECT_EQ(puts[1].name, L"vCardTime");
            EXPECT_EQ(puts[1].type, VT_DATE);
        }
    }
    EXPECT_EQ(HostStub_CreatedObjects(HOSTSTUB_CardData), 3);
    EXPECT_EQ(HostStub_LiveObjects(HOSTSTUB_CardData), 3) << "the collection holds the only references";
    collection.Reset();
    EXPECT_EQ(HostStub_LiveObjects(HOSTSTUB_CardData), 0);
}

TEST_F(DownloadCarddataTest, CardNumbersAreReadUpToTheFirstZeroByteAndTrimmedOfSpaces)
{
    AddPunches(terminal, {{std::string("\0" "123", 4), 0},
                          {std::string("12\0" "34", 5), 0},
                          {"ABCDEFGHIJKL", 0},
                          {"  00123 ", 0},
                          {"\t7 ", 0}});
    ASSERT_EQ(Download(), S_OK);
    EXPECT_EQ(CardNumbers(), (std::vector<std::wstring>{L"", L"12", L"ABCDEFGHIJK", L"00123", L"\t7"}));
}

TEST_F(DownloadCarddataTest, PunchSecondsCountFromEightOClockOnTheFirstOfJanuary1970)
{
    struct Case { int seconds; SYSTEMTIME expected; };
    const Case cases[] = {
        {0, {1970, 1, 0, 1, 8, 0, 0, 0}},
        {3600, {1970, 1, 0, 1, 9, 0, 0, 0}},
        {-28800, {1970, 1, 0, 1, 0, 0, 0, 0}},
        {1700000000, {2023, 11, 0, 15, 6, 13, 20, 0}},
        {2147483647, {2038, 1, 0, 19, 11, 14, 7, 0}},
        {-2147483647 - 1, {1901, 12, 0, 14, 4, 45, 52, 0}},
    };
    for (const Case& c : cases) AddPunches(terminal, {{"1", c.seconds}});
    ASSERT_EQ(Download(), S_OK);

    auto adds = AddsOf(collection.Get());
    ASSERT_EQ(adds.size(), std::size(cases));
    for (size_t i = 0; i < adds.size(); ++i) {
        auto puts = PutsOf(adds[i].item.Get());
        ASSERT_EQ(puts.size(), 2u);
        EXPECT_DOUBLE_EQ(puts[1].date, 25569.0 + (cases[i].seconds + 28800.0) / 86400.0);
        SYSTEMTIME got{};
        ASSERT_TRUE(VariantTimeToSystemTime(puts[1].date, &got));
        const SYSTEMTIME& want = cases[i].expected;
        EXPECT_EQ((std::array<int, 6>{got.wYear, got.wMonth, got.wDay, got.wHour, got.wMinute, got.wSecond}),
                  (std::array<int, 6>{want.wYear, want.wMonth, want.wDay, want.wHour, want.wMinute, want.wSecond}))
            << "seconds " << cases[i].seconds;
    }
}

TEST_F(DownloadCarddataTest, WhatTheLibraryReportsIsNotInspected)
{
    HwSim_ForceResult(HWSIM_RecvAllRcdFromDev, -5);
    ASSERT_EQ(Download(), S_OK);
    EXPECT_EQ(result, VARIANT_TRUE);
    EXPECT_EQ(Count(), 0);

    HwSim_ClearForcing();
    ASSERT_EQ(Download(L"10.9.9.9"), S_OK) << "no terminal at the address: a count of zero";
    EXPECT_EQ(result, VARIANT_TRUE);
}

TEST_F(DownloadCarddataTest, MissingCollectionFailsOnlyWhenThereIsARecordToAdd)
{
    _Collection* none = nullptr;
    Bstr ip(L"192.168.1.20");
    ASSERT_EQ(machine->DownloadCarddata(VARIANT_FALSE, ip.get(), 0, 1, &none, &message, &result), S_OK);
    EXPECT_EQ(result, VARIANT_TRUE);

    AddPunches(terminal, {{"1", 0}});
    HRESULT hr = machine->DownloadCarddata(VARIANT_FALSE, ip.get(), 0, 1, &none, &message, &result);
    EXPECT_EQ(hr, ToHresult(RunTimeError::ObjectRequired));
    EXPECT_EQ(result, VARIANT_FALSE);
    EXPECT_EQ(HostStub_LiveObjects(HOSTSTUB_CardData), 0) << "the object that had nowhere to go is released";
}

// A failing put or Add ends the call; what was added stays, and the list
// still goes back to the library exactly once (checked after every test).
TEST_F(DownloadCarddataTest, FailingPutOrAddEndsTheCallAndTheListStillGoesBack)
{
    AddPunches(terminal, {{"1", 0}, {"2", 0}, {"3", 0}});
    HostStub_FailPut(L"vCardTime", 2, E_ACCESSDENIED);
    EXPECT_EQ(Download(), E_ACCESSDENIED);
    EXPECT_EQ(result, VARIANT_FALSE);
    EXPECT_EQ(Count(), 1) << "the first object stays in the collection";
    EXPECT_NE(ErrorDescription().find(L"vCardTime"), std::wstring::npos);
    EXPECT_EQ(Calls(HWSIM_FreeRcdList).size(), 1u);

    HostStub_FailAdd(1, E_OUTOFMEMORY);
    EXPECT_EQ(Download(), E_OUTOFMEMORY);
    EXPECT_EQ(Count(), 1);
    EXPECT_EQ(Calls(HWSIM_FreeRcdList).size(), 2u);

    HostStub_FailCreate(HOSTSTUB_CardData, 1, REGDB_E_CLASSNOTREG);
    EXPECT_EQ(Download(), REGDB_E_CLASSNOTREG);
    EXPECT_EQ(Calls(HWSIM_FreeRcdList).size(), 3u);
}

TEST_F(DownloadCarddataTest, ImpossibleListsFailWithoutReadingLibraryMemory)
{
    AddPunches(terminal, {{"1", 0}});
    struct Case { const char* what; int count; bool nullList; };
    for (Case c : {Case{"records without a list", 3, true}, Case{"a negative count", -1, false},
                   Case{"a count too large for memory", 0x7FFFFFFF, false},
                   Case{"a count whose bytes overflow 32 bits", 0x08000000, false}}) {
        HwSim_ClearForcing();
        HwSim_ForceCount(HWSIM_RecvAllRcdFromDev, c.count);
        if (c.nullList) HwSim_ForceNullList(HWSIM_RecvAllRcdFromDev);
        HRESULT hr = Download();
        EXPECT_TRUE(FAILED(hr)) << c.what;
        EXPECT_FALSE(ErrorDescription().empty()) << c.what;
        EXPECT_EQ(result, VARIANT_FALSE) << c.what;
        EXPECT_EQ(Count(), 0) << c.what;
    }
    EXPECT_EQ(Calls(HWSIM_FreeRcdList).size(), 4u) << "each list went back";
}

TEST_F(DownloadCarddataTest, ManyRecordsArriveInOrder)
{
    std::vector<Punch> punches;
    for (int i = 0; i < 2000; ++i) punches.push_back({std::to_string(100000 + i), i});
    AddPunches(terminal, punches);
    ASSERT_EQ(Download(), S_OK);
    ASSERT_EQ(Count(), 2000);
    auto numbers = CardNumbers();
    EXPECT_EQ(numbers.front(), L"100000");
    EXPECT_EQ(numbers.back(), L"101999");
}

} // namespace
} // namespace kavro::test
