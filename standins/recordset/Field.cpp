// One column of the current row, as Fields.Item hands it out. The field finds
// its column by name at every call, so a column removed meanwhile fails cleanly.
#include "RecordsetObjects.h"

#include <cstring>

namespace memrs {
namespace {

#define UNSERVED(name, params) \
    HRESULT STDMETHODCALLTYPE name params override { return E_NOTIMPL; }

const VARIANT& Deref(const VARIANT& v)
{
    return (V_VT(&v) == (VT_BYREF | VT_VARIANT) && V_VARIANTREF(&v)) ? *V_VARIANTREF(&v) : v;
}

bool IsByteArray(const VARIANT& v)
{
    return (V_VT(&v) == (VT_ARRAY | VT_UI1) && V_ARRAY(&v) && SafeArrayGetDim(V_ARRAY(&v)) == 1) ||
           (V_VT(&v) == (VT_BYREF | VT_ARRAY | VT_UI1) && V_ARRAYREF(&v) && *V_ARRAYREF(&v) &&
            SafeArrayGetDim(*V_ARRAYREF(&v)) == 1);
}

const SAFEARRAY* ArrayOf(const VARIANT& v) { return (V_VT(&v) & VT_BYREF) ? *V_ARRAYREF(&v) : V_ARRAY(&v); }

class FieldObject final : public AdoObject<Field> {
public:
    FieldObject(std::shared_ptr<Table> table, std::wstring column)
        : AdoObject(std::move(table)), column_(std::move(column)) {}

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** out) override
    {
        return Answer(riid, out, {&IID__ADO, &IID_Field20, &IID_Field});
    }

    HRESULT STDMETHODCALLTYPE get_Name(BSTR* name) override
    {
        if (!name) return E_POINTER;
        *name = nullptr;
        return Serve(L"Field.get_Name", false, [&](int c, Value*) {
            const std::wstring& text = table_->columns[static_cast<size_t>(c)].name;
            *name = SysAllocStringLen(text.data(), static_cast<UINT>(text.size()));
            return *name ? S_OK : E_OUTOFMEMORY;
        });
    }

    HRESULT STDMETHODCALLTYPE get_Type(LONG* type) override
    {
        if (!type) return E_POINTER;
        return Serve(L"Field.get_Type", false, [&](int c, Value*) {
            *type = table_->columns[static_cast<size_t>(c)].type;
            return S_OK;
        });
    }

    HRESULT STDMETHODCALLTYPE get_Value(VARIANT* value) override
    {
        if (!value) return E_POINTER;
        VariantInit(value);
        return Serve(L"Field.get_Value", true, [&](int, Value* cell) {
            return VariantCopy(value, &const_cast<VARIANT&>(cell->get()));
        });
    }

    HRESULT STDMETHODCALLTYPE put_Value(VARIANT value) override
    {
        return Serve(L"Field.put_Value", true, [&](int, Value* cell) {
            *cell = Value(value);
            return S_OK;
        });
    }

    // Bytes for binary and text values; the size of the type otherwise.
    HRESULT STDMETHODCALLTYPE get_ActualSize(LONG* size) override
    {
        if (!size) return E_POINTER;
        return Serve(L"Field.get_ActualSize", true, [&](int, Value* cell) {
            const VARIANT& v = cell->get();
            if (IsByteArray(v)) *size = static_cast<LONG>(ArrayOf(v)->rgsabound[0].cElements);
            else if (V_VT(&v) == VT_BSTR) *size = static_cast<LONG>(SysStringByteLen(V_BSTR(&v)));
            else if (V_VT(&v) == VT_NULL || V_VT(&v) == VT_EMPTY) *size = 0;
            else if (V_VT(&v) == VT_I2 || V_VT(&v) == VT_BOOL) *size = 2;
            else if (V_VT(&v) == VT_R8 || V_VT(&v) == VT_DATE || V_VT(&v) == VT_CY) *size = 8;
            else *size = 4;
            return S_OK;
        });
    }

    // The first call on a row replaces the value, later ones append to it.
    HRESULT STDMETHODCALLTYPE AppendChunk(VARIANT data) override
    {
        return Serve(L"Field.AppendChunk", true, [&](int c, Value* cell) {
            const VARIANT& chunk = Deref(data);
            Column& column = table_->columns[static_cast<size_t>(c)];
            if (!IsByteArray(chunk)) return DISP_E_TYPEMISMATCH;
            const SAFEARRAY* array = ArrayOf(chunk);
            const auto* bytes = static_cast<const std::uint8_t*>(array->pvData);
            std::vector<std::uint8_t> joined = column.appending ? cell->AsBytes() : std::vector<std::uint8_t>();
            joined.insert(joined.end(), bytes, bytes + array->rgsabound[0].cElements);
            *cell = Value::Bytes(joined);
            column.appending = true;
            return S_OK;
        });
    }

    // Reads on from where the last call on this row stopped; Null at the end.
    HRESULT STDMETHODCALLTYPE GetChunk(LONG length, VARIANT* data) override
    {
        if (!data) return E_POINTER;
        VariantInit(data);
        return Serve(L"Field.GetChunk", true, [&](int c, Value* cell) {
            if (length < 0) return kInvalidArgument;
            if (table_->forcedChunk) return VariantCopy(data, &const_cast<VARIANT&>(table_->forcedChunk->get()));
            Column& column = table_->columns[static_cast<size_t>(c)];
            std::vector<std::uint8_t> bytes = cell->AsBytes();
            if (column.readOffset >= bytes.size()) {
                V_VT(data) = VT_NULL;
                return S_OK;
            }
            size_t n = std::min(bytes.size() - column.readOffset, static_cast<size_t>(length));
            Value chunk = Value::Bytes(std::vector<std::uint8_t>(bytes.begin() + static_cast<long>(column.readOffset),
                                                                 bytes.begin() + static_cast<long>(column.readOffset + n)));
            column.readOffset += n;
            return VariantCopy(data, &const_cast<VARIANT&>(chunk.get()));
        });
    }

    UNSERVED(get_Properties, (IDispatch**))
    UNSERVED(get_Attributes, (LONG*))
    UNSERVED(get_DefinedSize, (LONG*))
    UNSERVED(get_Precision, (unsigned char*))
    UNSERVED(get_NumericScale, (unsigned char*))
    UNSERVED(get_OriginalValue, (VARIANT*))
    UNSERVED(get_UnderlyingValue, (VARIANT*))
    UNSERVED(get_DataFormat, (IUnknown**))
    UNSERVED(putref_DataFormat, (IUnknown*))
    UNSERVED(put_Precision, (unsigned char))
    UNSERVED(put_NumericScale, (unsigned char))
    UNSERVED(put_Type, (LONG))
    UNSERVED(put_DefinedSize, (LONG))
    UNSERVED(put_Attributes, (LONG))
    UNSERVED(get_Status, (LONG*))

private:
    // Logs the call, finds the column (and the current row's cell when the
    // member needs one), then runs body(column index, cell).
    template <class Body>
    HRESULT Serve(const wchar_t* member, bool needsRow, Body&& body)
    {
        return Guarded([&] {
            HRESULT hr = table_->Enter(member, column_);
            if (FAILED(hr)) return hr;
            int c = table_->Find(column_);
            Value* cell = nullptr;
            hr = needsRow ? table_->Cell(c, &cell) : (c < 0 ? kItemNotFound : S_OK);
            return FAILED(hr) ? hr : body(c, cell);
        });
    }

    std::wstring column_;
};

#undef UNSERVED

} // namespace

HRESULT NewField(std::shared_ptr<Table> table, std::wstring column, Field** out)
{
    return HandOverNew<FieldObject>(IID_Field, reinterpret_cast<void**>(out), std::move(table), std::move(column));
}

} // namespace memrs
