// The in-memory recordset as its clients see it: the ADO calls through the
// function table, and late binding by name for script clients.
#include "Arguments.h"
#include "MemoryRecordset.h"
#include "Scenario.h"

namespace kavro::test {
namespace {

constexpr HRESULT kNoCurrentRecord = MAKE_HRESULT(SEVERITY_ERROR, FACILITY_CONTROL, 3021);
constexpr HRESULT kItemNotFound = MAKE_HRESULT(SEVERITY_ERROR, FACILITY_CONTROL, 3265);

using memrs::Value;
using Bytes = std::vector<std::uint8_t>;

TEST(MemoryRecordset, ServesTheAdoCallsInOrderWithColumnsLookedUpWithoutCase)
{
    memrs::MemoryRecordset rs({L"cpsn_num", L"bFingerprint"});
    _Recordset* r = rs.get();
    LONG count = -2;
    VARIANT_BOOL eof = 0, bof = 0;
    ASSERT_EQ(r->get_RecordCount(&count), S_OK);
    EXPECT_EQ(count, 0);
    EXPECT_EQ(r->get_EOF(&eof), S_OK);
    EXPECT_EQ(r->get_BOF(&bof), S_OK);
    EXPECT_TRUE(eof && bof) << "an empty recordset is at both ends";
    EXPECT_EQ(r->MoveFirst(), kNoCurrentRecord);
    VARIANT omitted = Missing();
    ASSERT_EQ(r->AddNew(omitted, omitted), S_OK);
    EXPECT_EQ(rs.PendingRow(), std::optional<size_t>(0));

    Bstr upper(L"CPSN_NUM"), unknown(L"nosuch"), tplName(L"BFINGERPRINT");
    Value number = Value::Text(L"42");
    EXPECT_EQ(r->put_Collect(Text(upper), number.get()), S_OK);
    EXPECT_EQ(r->put_Collect(Text(unknown), number.get()), kItemNotFound);
    VARIANT got;
    VariantInit(&got);
    EXPECT_EQ(r->get_Collect(I4(0), &got), S_OK) << "an ordinal names a column too";
    EXPECT_EQ(Value(got).AsText(), L"42");
    VariantClear(&got);

    ComPtr<Fields> fields;
    ASSERT_EQ(r->get_Fields(&fields), S_OK);
    ComPtr<Field> field;
    ASSERT_EQ(fields->get_Item(Text(tplName), &field), S_OK);
    Value first = Value::Bytes({1, 2, 3}), second = Value::Bytes({4, 5});
    EXPECT_EQ(field->AppendChunk(first.get()), S_OK);
    EXPECT_EQ(field->AppendChunk(second.get()), S_OK) << "later chunks on a row append";
    EXPECT_EQ(field->AppendChunk(number.get()), DISP_E_TYPEMISMATCH);
    LONG size = 0;
    EXPECT_EQ(field->get_ActualSize(&size), S_OK);
    EXPECT_EQ(size, 5);
    std::vector<Bytes> chunks;
    for (int i = 0; i < 3; ++i) {
        VARIANT chunk;
        VariantInit(&chunk);
        EXPECT_EQ(field->GetChunk(3, &chunk), S_OK);
        chunks.push_back(V_VT(&chunk) == VT_NULL ? Bytes{0xEE} : Value(chunk).AsBytes());
        VariantClear(&chunk);
    }
    EXPECT_EQ(chunks, (std::vector<Bytes>{{1, 2, 3}, {4, 5}, {0xEE}})) << "chunks read on, then Null";

    EXPECT_EQ(r->Update(omitted, omitted), S_OK);
    EXPECT_FALSE(rs.PendingRow());
    EXPECT_EQ(r->MoveNext(), S_OK);
    EXPECT_EQ(r->get_EOF(&eof), S_OK);
    EXPECT_TRUE(eof);
    EXPECT_EQ(r->MoveNext(), kNoCurrentRecord) << "nothing past the end";
    EXPECT_EQ(field->get_ActualSize(&size), kNoCurrentRecord);
    BSTR sort = nullptr;
    EXPECT_EQ(r->get_Sort(&sort), E_NOTIMPL);

    rs.ReportRecordCount(-1);
    rs.FailCall(L"MoveFirst", E_ACCESSDENIED, 2);
    EXPECT_EQ(r->get_RecordCount(&count), S_OK);
    EXPECT_EQ(count, -1);
    EXPECT_EQ(r->MoveFirst(), S_OK);
    EXPECT_EQ(r->MoveFirst(), E_ACCESSDENIED) << "the second call fails, once";
    EXPECT_EQ(r->MoveFirst(), S_OK);
    rs.RemoveColumn(L"bfingerprint");
    EXPECT_EQ(field->get_ActualSize(&size), kItemNotFound) << "a removed column fails cleanly";

    auto calls = rs.CallTexts();
    EXPECT_EQ(std::vector<std::wstring>(calls.begin(), calls.begin() + 9),
              (std::vector<std::wstring>{L"get_RecordCount", L"get_EOF", L"get_BOF", L"MoveFirst", L"AddNew",
                                         L"put_Collect(CPSN_NUM)", L"put_Collect(nosuch)", L"get_Collect(cpsn_num)",
                                         L"get_Fields"}));
    EXPECT_THROW(rs.At(0, L"bFingerprint"), std::out_of_range) << "the column is gone";
}

TEST(MemoryRecordset, ScriptClientsCreateItByProgIdAndUseItByName)
{
    CLSID clsid;
    ASSERT_EQ(CLSIDFromProgID(L"ZebMachine.Recordset", &clsid), S_OK);
    ComPtr<IDispatch> rs;
    ASSERT_EQ(CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IID_IDispatch,
                               reinterpret_cast<void**>(rs.GetAddressOf())), S_OK);
    auto id = [](IDispatch* target, const wchar_t* name) {
        DISPID dispid = DISPID_UNKNOWN;
        LPOLESTR names[] = {const_cast<LPOLESTR>(name)};
        EXPECT_EQ(target->GetIDsOfNames(IID_NULL, names, 1, LOCALE_USER_DEFAULT, &dispid), S_OK) << name;
        return dispid;
    };
    VARIANT fields;
    VariantInit(&fields);
    ASSERT_EQ(InvokeWith(rs.Get(), id(rs.Get(), L"Fields"), DISPATCH_PROPERTYGET, {}, &fields), S_OK);
    ASSERT_EQ(V_VT(&fields), VT_DISPATCH);
    Bstr column(L"cpsn_num"), value(L"7");
    EXPECT_EQ(InvokeWith(V_DISPATCH(&fields), id(V_DISPATCH(&fields), L"Append"), DISPATCH_METHOD,
                         {Text(column), I4(202)}), S_OK);
    VariantClear(&fields);
    EXPECT_EQ(InvokeWith(rs.Get(), id(rs.Get(), L"AddNew"), DISPATCH_METHOD, {}), S_OK);
    EXPECT_EQ(InvokeWith(rs.Get(), id(rs.Get(), L"Collect"), DISPATCH_PROPERTYPUT, {Text(column), Text(value)}), S_OK);
    VARIANT answer;
    VariantInit(&answer);
    EXPECT_EQ(InvokeWith(rs.Get(), id(rs.Get(), L"Collect"), DISPATCH_PROPERTYGET, {Text(column)}, &answer), S_OK);
    EXPECT_EQ(Value(answer).AsText(), L"7");
    VariantClear(&answer);
    EXPECT_EQ(InvokeWith(rs.Get(), id(rs.Get(), L"RecordCount"), DISPATCH_PROPERTYGET, {}, &answer), S_OK);
    EXPECT_EQ(Value(answer).AsText(), L"1");
    EXPECT_EQ(InvokeWith(rs.Get(), id(rs.Get(), L"MovePrevious"), DISPATCH_METHOD, {}), S_OK) << "to BOF";
    EXPECT_NE(InvokeWith(rs.Get(), id(rs.Get(), L"MovePrevious"), DISPATCH_METHOD, {}), S_OK)
        << "before BOF there is no record";
}

} // namespace
} // namespace kavro::test
