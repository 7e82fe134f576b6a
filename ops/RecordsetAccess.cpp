#include "RecordsetAccess.h"

#include <cstring>

#include "frame/Errors.h"

namespace kavro {
namespace {

std::wstring Named(const wchar_t* what, const wchar_t* column)
{
    return std::wstring(L"rsData.") + what + L"(\"" + column + L"\") failed";
}

} // namespace

void AddNewRow(_Recordset& rs) { Check(rs.AddNew(OmittedValue(), OmittedValue()), L"rsData.AddNew failed"); }

void PutColumn(_Recordset& rs, const wchar_t* column, const VARIANT& value)
{
    Bstr name(column);
    Check(rs.put_Collect(TextValue(name), value), Named(L"Collect", column).c_str());
}

ComPtr<Field> FieldOf(_Recordset& rs, const wchar_t* column)
{
    ComPtr<Fields> fields;
    Check(rs.get_Fields(&fields), L"rsData.Fields failed");
    if (!fields) Raise(E_POINTER, L"rsData.Fields returned nothing");
    Bstr name(column);
    ComPtr<Field> field;
    Check(fields->get_Item(TextValue(name), &field), Named(L"Fields", column).c_str());
    if (!field) Raise(E_POINTER, Named(L"Fields", column));
    return field;
}

void AppendBytes(Field& field, const std::vector<std::uint8_t>& bytes)
{
    Variant chunk;
    SAFEARRAY* array = SafeArrayCreateVector(VT_UI1, 0, static_cast<ULONG>(bytes.size()));
    if (!array) throw std::bad_alloc();
    V_VT(chunk.get()) = VT_ARRAY | VT_UI1;
    V_ARRAY(chunk.get()) = array;
    if (!bytes.empty()) std::memcpy(array->pvData, bytes.data(), bytes.size());
    Check(field.AppendChunk(*chunk.get()), L"rsData.Fields(\"bFingerprint\").AppendChunk failed");
}

std::wstring TextOfValue(Field& field, const wchar_t* column)
{
    Variant value;
    Check(field.get_Value(value.out()), Named(L"Fields", column).c_str());
    Variant text;
    HRESULT hr = VariantChangeType(text.get(), value.get(), 0, VT_BSTR);
    if (FAILED(hr)) Raise(RunTimeError::TypeMismatch, std::wstring(column) + L" holds no text");
    return std::wstring(ViewOf(V_BSTR(text.get())));
}

std::vector<std::uint8_t> ChunkOf(Field& field, long length, const wchar_t* column)
{
    Variant chunk;
    Check(field.GetChunk(length, chunk.out()), Named(L"GetChunk", column).c_str());
    const VARIANT& v = *chunk.get();
    if (V_VT(&v) != (VT_ARRAY | VT_UI1) || !V_ARRAY(&v) || SafeArrayGetDim(V_ARRAY(&v)) != 1)
        Raise(RunTimeError::TypeMismatch, std::wstring(column) + L" did not give a byte array");
    SAFEARRAY* array = V_ARRAY(&v);
    if (array->cbElements != 1 || array->rgsabound[0].cElements < static_cast<ULONG>(length))
        Raise(RunTimeError::SubscriptOutOfRange, std::wstring(column) + L" gave fewer bytes than its ActualSize");
    const auto* data = static_cast<const std::uint8_t*>(array->pvData);
    return std::vector<std::uint8_t>(data, data + length);
}

} // namespace kavro
