// The stand-in Collection: Add with its optional arguments, Item by index and
// key, Remove, For Each, the errors Visual Basic gives, and what is recorded.
#include "HostTest.h"

namespace hosttest {
namespace {

constexpr HRESULT kInvalidCall = static_cast<HRESULT>(0x800A0005);
constexpr HRESULT kSubscriptOutOfRange = static_cast<HRESULT>(0x800A0009);
constexpr HRESULT kDuplicateKey = static_cast<HRESULT>(0x800A01C9);

class CollectionTest : public HostTest {
protected:
    ComPtr<_Collection> col = NewCollection();

    HRESULT AddText(const wchar_t* text, VARIANT key, VARIANT before, VARIANT after)
    {
        Bstr item(text);
        VARIANT value = Text(item);
        return col->Add(&value, &key, &before, &after);
    }
    HRESULT AddText(const wchar_t* text) { return AddText(text, Missing(), Missing(), Missing()); }
    HRESULT AddKeyed(const wchar_t* text, const wchar_t* key)
    {
        Bstr k(key);
        return AddText(text, Text(k), Missing(), Missing());
    }

    // The items in order, as "a b c".
    std::wstring Items()
    {
        LONG count = 0;
        col->Count(&count);
        std::wstring all;
        for (LONG i = 1; i <= count; ++i) {
            VARIANT index = I4(i);
            Variant item;
            if (FAILED(col->Item(&index, item.out()))) return L"(Item failed)";
            all += (all.empty() ? L"" : L" ") + std::wstring(V_BSTR(item.get()));
        }
        return all;
    }

    std::wstring ItemByKey(const wchar_t* key)
    {
        Bstr k(key);
        VARIANT index = Text(k);
        Variant item;
        HRESULT hr = col->Item(&index, item.out());
        return SUCCEEDED(hr) ? std::wstring(V_BSTR(item.get())) : L"(fails)";
    }
};

TEST_F(CollectionTest, AddAppendsAndRecordsWhichOptionalArgumentsWereOmitted)
{
    ComPtr<_clsCardData> card = Create<_clsCardData>(CLSID_clsCardData);
    VARIANT item = Object(card.Get());
    VARIANT missing = Missing();
    ASSERT_EQ(col->Add(&item, nullptr, &missing, nullptr), S_OK) << "NULL pointers count as omitted";
    Bstr key(L"k");
    VARIANT keyed = Text(key);
    ASSERT_EQ(col->Add(&item, &keyed, &missing, &missing), S_OK);

    ASSERT_EQ(HostStub_AddCount(col.Get()), 2);
    Variant added;
    BOOL keyOmitted = FALSE, beforeOmitted = FALSE, afterOmitted = FALSE;
    ASSERT_TRUE(HostStub_GetAdd(col.Get(), 0, added.out(), &keyOmitted, &beforeOmitted, &afterOmitted));
    EXPECT_EQ(V_VT(added.get()), VT_UNKNOWN);
    EXPECT_EQ(V_UNKNOWN(added.get()), card.Get()) << "the item is the object itself";
    EXPECT_TRUE(keyOmitted && beforeOmitted && afterOmitted);
    ASSERT_TRUE(HostStub_GetAdd(col.Get(), 1, nullptr, &keyOmitted, &beforeOmitted, &afterOmitted));
    EXPECT_FALSE(keyOmitted);
    EXPECT_TRUE(beforeOmitted && afterOmitted);
    EXPECT_FALSE(HostStub_GetAdd(col.Get(), 2, nullptr, nullptr, nullptr, nullptr)) << "only two adds";
}

TEST_F(CollectionTest, EmptyIsAValueNotAnOmittedArgument)
{
    VARIANT empty{};
    ASSERT_EQ(AddText(L"a", Missing(), empty, Missing()), kSubscriptOutOfRange) << "Before = Empty names index 0";
    EXPECT_EQ(HostStub_AddCount(col.Get()), 0) << "a failed Add is not recorded";
}

TEST_F(CollectionTest, ItemsAreFoundByIndexAndByKeyInAnyCase)
{
    ASSERT_EQ(AddKeyed(L"a", L"First"), S_OK);
    ASSERT_EQ(AddText(L"b"), S_OK);
    EXPECT_EQ(Items(), L"a b");
    EXPECT_EQ(ItemByKey(L"FIRST"), L"a");

    VARIANT fraction;
    V_VT(&fraction) = VT_R8;
    V_R8(&fraction) = 2.0;
    Variant item;
    EXPECT_EQ(col->Item(&fraction, item.out()), S_OK) << "any number is an index";

    VARIANT zero = I4(0), three = I4(3);
    EXPECT_EQ(col->Item(&zero, item.out()), kSubscriptOutOfRange);
    EXPECT_EQ(col->Item(&three, item.out()), kSubscriptOutOfRange);
    EXPECT_EQ(ItemByKey(L"second"), L"(fails)");
    Bstr unknown(L"second");
    VARIANT byKey = Text(unknown);
    EXPECT_EQ(col->Item(&byKey, item.out()), kInvalidCall) << "an unknown key";
}

TEST_F(CollectionTest, ADuplicateKeyFailsAndAddsNothing)
{
    ASSERT_EQ(AddKeyed(L"a", L"key"), S_OK);
    EXPECT_EQ(AddKeyed(L"b", L"KEY"), kDuplicateKey);
    EXPECT_EQ(Items(), L"a");
    EXPECT_EQ(HostStub_AddCount(col.Get()), 1);
}

TEST_F(CollectionTest, BeforeAndAfterPlaceTheNewItem)
{
    ASSERT_EQ(AddKeyed(L"a", L"ka"), S_OK);
    ASSERT_EQ(AddText(L"b"), S_OK);
    ASSERT_EQ(AddText(L"c", Missing(), I4(1), Missing()), S_OK);
    EXPECT_EQ(Items(), L"c a b");
    Bstr ka(L"KA");
    ASSERT_EQ(AddText(L"d", Missing(), Missing(), Text(ka)), S_OK);
    EXPECT_EQ(Items(), L"c a d b");
    ASSERT_EQ(AddText(L"e", Missing(), Missing(), I4(4)), S_OK);
    EXPECT_EQ(Items(), L"c a d b e");
    EXPECT_EQ(AddText(L"f", Missing(), I4(1), I4(1)), kInvalidCall) << "Before and After together";
    EXPECT_EQ(AddText(L"f", Missing(), I4(6), Missing()), kSubscriptOutOfRange);

    BOOL keyOmitted, beforeOmitted, afterOmitted;
    ASSERT_TRUE(HostStub_GetAdd(col.Get(), 3, nullptr, &keyOmitted, &beforeOmitted, &afterOmitted));
    EXPECT_TRUE(keyOmitted && beforeOmitted);
    EXPECT_FALSE(afterOmitted);
}

TEST_F(CollectionTest, RemoveByIndexOrKeyFreesTheKey)
{
    ASSERT_EQ(AddKeyed(L"a", L"ka"), S_OK);
    ASSERT_EQ(AddKeyed(L"b", L"kb"), S_OK);
    ASSERT_EQ(AddText(L"c"), S_OK);
    Bstr kb(L"Kb");
    VARIANT byKey = Text(kb), first = I4(1);
    ASSERT_EQ(col->Remove(&byKey), S_OK);
    ASSERT_EQ(col->Remove(&first), S_OK);
    EXPECT_EQ(Items(), L"c");
    EXPECT_EQ(ItemByKey(L"ka"), L"(fails)");
    EXPECT_EQ(AddKeyed(L"b2", L"kb"), S_OK) << "a removed item's key is free again";
    VARIANT five = I4(5);
    EXPECT_EQ(col->Remove(&five), kSubscriptOutOfRange);
    LONG count = 0;
    ASSERT_EQ(col->Count(&count), S_OK);
    EXPECT_EQ(count, 2);
}

TEST_F(CollectionTest, ScriptsReachEveryMemberThroughDispatch)
{
    ComPtr<IDispatch> dispatch;
    ASSERT_EQ(col.As(&dispatch), S_OK);
    EXPECT_EQ(IdOf(dispatch.Get(), L"item"), DISPID_VALUE);
    EXPECT_EQ(IdOf(dispatch.Get(), L"ADD"), 1);
    EXPECT_EQ(IdOf(dispatch.Get(), L"count"), 2);
    EXPECT_EQ(IdOf(dispatch.Get(), L"Remove"), 3);
    EXPECT_EQ(IdOf(dispatch.Get(), L"_NewEnum"), DISPID_NEWENUM);

    Bstr a(L"a"), key(L"k");
    VARIANT item = Text(a), scriptKey = Text(key);
    ASSERT_EQ(Call(dispatch.Get(), 1, DISPATCH_METHOD, {Ref(&item)}), S_OK) << "c.Add a";
    ASSERT_EQ(Call(dispatch.Get(), 1, DISPATCH_METHOD, {Ref(&item), Ref(&scriptKey)}), S_OK) << "c.Add a, k";

    Variant result;
    ASSERT_EQ(Call(dispatch.Get(), 2, DISPATCH_PROPERTYGET, {}, result.out()), S_OK);
    EXPECT_EQ(Shown(*result.get()), L"I4 2") << "c.Count";
    VARIANT two = I2(2);
    ASSERT_EQ(Call(dispatch.Get(), DISPID_VALUE, DISPATCH_METHOD | DISPATCH_PROPERTYGET, {Ref(&two)}, result.out()),
              S_OK);
    EXPECT_EQ(Shown(*result.get()), L"BSTR a") << "c(2)";
    EXPECT_EQ(Call(dispatch.Get(), DISPID_VALUE, DISPATCH_PROPERTYGET, {I2(3)}, result.out()), kSubscriptOutOfRange);
    EXPECT_EQ(Call(dispatch.Get(), 3, DISPATCH_METHOD, {Ref(&scriptKey)}), S_OK) << "c.Remove k";

    BOOL keyOmitted = FALSE, beforeOmitted = FALSE, afterOmitted = FALSE;
    ASSERT_TRUE(HostStub_GetAdd(col.Get(), 0, result.out(), &keyOmitted, &beforeOmitted, &afterOmitted));
    EXPECT_EQ(Shown(*result.get()), L"BSTR a") << "the item is stored by value";
    EXPECT_TRUE(keyOmitted && beforeOmitted && afterOmitted) << "arguments not passed count as omitted";
}

TEST_F(CollectionTest, ForEachSeesEveryItemInOrder)
{
    for (const wchar_t* text : {L"a", L"b", L"c"}) ASSERT_EQ(AddText(text), S_OK);
    ComPtr<IDispatch> dispatch;
    ASSERT_EQ(col.As(&dispatch), S_OK);
    Variant enumerator;
    ASSERT_EQ(Call(dispatch.Get(), DISPID_NEWENUM, DISPATCH_METHOD | DISPATCH_PROPERTYGET, {}, enumerator.out()), S_OK);
    ASSERT_EQ(V_VT(enumerator.get()), VT_UNKNOWN);
    ComPtr<IEnumVARIANT> items;
    ASSERT_EQ(V_UNKNOWN(enumerator.get())->QueryInterface(IID_PPV_ARGS(&items)), S_OK);

    std::wstring seen;
    Variant next;
    ULONG fetched = 0;
    while (items->Next(1, next.out(), &fetched) == S_OK) seen += V_BSTR(next.get());
    EXPECT_EQ(seen, L"abc");

    ASSERT_EQ(items->Reset(), S_OK);
    ASSERT_EQ(items->Skip(1), S_OK);
    ComPtr<IEnumVARIANT> clone;
    ASSERT_EQ(items->Clone(&clone), S_OK);
    VARIANT batch[3];
    EXPECT_EQ(clone->Next(3, batch, &fetched), S_FALSE) << "only two left";
    ASSERT_EQ(fetched, 2u);
    EXPECT_EQ(std::wstring(V_BSTR(&batch[0])) + V_BSTR(&batch[1]), L"bc");
    for (ULONG i = 0; i < fetched; ++i) VariantClear(&batch[i]);
}

TEST_F(CollectionTest, TheCollectionKeepsItsItemsAliveUntilItGoes)
{
    for (int i = 0; i < 3; ++i) {
        ComPtr<_clsCardData> card = Create<_clsCardData>(CLSID_clsCardData);
        VARIANT item = Object(card.Get());
        ASSERT_EQ(col->Add(&item, nullptr, nullptr, nullptr), S_OK);
    }
    EXPECT_EQ(HostStub_LiveObjects(HOSTSTUB_CardData), 3);
    col.Reset();
    EXPECT_EQ(HostStub_LiveObjects(HOSTSTUB_CardData), 0) << "releasing the collection releases its items";
    EXPECT_EQ(HostStub_LiveObjects(HOSTSTUB_Collection), 0);
}

TEST_F(CollectionTest, AnInjectedAddFailureAddsNothing)
{
    HostStub_FailAdd(2, E_OUTOFMEMORY);
    EXPECT_EQ(AddText(L"a"), S_OK);
    EXPECT_EQ(AddText(L"b"), E_OUTOFMEMORY);
    EXPECT_EQ(AddText(L"c"), S_OK) << "an injection fires once";
    EXPECT_EQ(Items(), L"a c");
    EXPECT_EQ(HostStub_AddCount(col.Get()), 2);
}

TEST_F(CollectionTest, RecordsAreReadOnlyFromTheRightKindOfObject)
{
    ComPtr<_clsCardData> card = Create<_clsCardData>(CLSID_clsCardData);
    EXPECT_EQ(HostStub_AddCount(card.Get()), -1) << "a card is no collection";
    EXPECT_EQ(HostStub_PutCount(col.Get()), -1) << "a collection takes no puts";
    EXPECT_EQ(HostStub_AddCount(nullptr), -1);
    EXPECT_FALSE(HostStub_GetAdd(card.Get(), 0, nullptr, nullptr, nullptr, nullptr));
}

} // namespace
} // namespace hosttest
