// The Fields collection of a recordset: its columns.
#include "RecordsetObjects.h"

namespace memrs {
namespace {

#define UNSERVED(name, params) \
    HRESULT STDMETHODCALLTYPE name params override { return E_NOTIMPL; }

class FieldsObject final : public AdoObject<Fields> {
public:
    explicit FieldsObject(std::shared_ptr<Table> table) : AdoObject(std::move(table)) {}

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** out) override
    {
        return Answer(riid, out, {&IID__ADOCollection, &IID_Fields15, &IID_Fields20, &IID_Fields});
    }

    HRESULT STDMETHODCALLTYPE get_Count(LONG* count) override
    {
        if (!count) return E_POINTER;
        return Guarded([&] {
            HRESULT hr = table_->Enter(L"Fields.get_Count");
            if (SUCCEEDED(hr)) *count = static_cast<LONG>(table_->columns.size());
            return hr;
        });
    }

    HRESULT STDMETHODCALLTYPE Refresh() override { return Guarded([&] { return table_->Enter(L"Fields.Refresh"); }); }

    HRESULT STDMETHODCALLTYPE get_Item(VARIANT index, Field** object) override
    {
        if (!object) return E_POINTER;
        *object = nullptr;
        return Guarded([&] {
            HRESULT hr = table_->Enter(L"Fields.get_Item", table_->Named(index));
            if (FAILED(hr)) return hr;
            int c = table_->Resolve(index);
            if (c < 0) return kItemNotFound;
            return NewField(table_, table_->Named(index), object);
        });
    }

    HRESULT STDMETHODCALLTYPE _Append(BSTR name, LONG type, LONG, LONG) override
    {
        return AppendColumn(L"Fields._Append", name, type);
    }

    HRESULT STDMETHODCALLTYPE Append(BSTR name, LONG type, LONG, LONG, VARIANT) override
    {
        return AppendColumn(L"Fields.Append", name, type);
    }

    HRESULT STDMETHODCALLTYPE Delete(VARIANT index) override
    {
        return Guarded([&] {
            HRESULT hr = table_->Enter(L"Fields.Delete", table_->Named(index));
            if (FAILED(hr)) return hr;
            int c = table_->Resolve(index);
            if (c < 0) return kItemNotFound;
            table_->RemoveColumn(c);
            return S_OK;
        });
    }

    UNSERVED(_NewEnum, (IUnknown**))
    UNSERVED(Update, ())
    UNSERVED(Resync, (LONG))
    UNSERVED(CancelUpdate, ())

private:
    HRESULT AppendColumn(const wchar_t* member, BSTR name, LONG type)
    {
        return Guarded([&] {
            std::wstring text = name ? std::wstring(name, SysStringLen(name)) : std::wstring();
            HRESULT hr = table_->Enter(member, text);
            if (FAILED(hr)) return hr;
            if (text.empty()) return kInvalidArgument;
            if (table_->Find(text) >= 0) return AdoError(3367);  // adErrObjectInCollection
            table_->AddColumn(text, type);
            return S_OK;
        });
    }
};

#undef UNSERVED

} // namespace

HRESULT NewFields(std::shared_ptr<Table> table, Fields** out)
{
    return HandOverNew<FieldsObject>(IID_Fields, reinterpret_cast<void**>(out), std::move(table));
}

} // namespace memrs
