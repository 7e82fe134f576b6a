// The recordset object: _Recordset over the shared table.
#include "RecordsetObjects.h"

namespace memrs {
namespace {

// Members no client of the stand-in calls.
#define UNSERVED(name, params) \
    HRESULT STDMETHODCALLTYPE name params override { return E_NOTIMPL; }

bool Omitted(const VARIANT& v)
{
    return V_VT(&v) == VT_EMPTY || (V_VT(&v) == VT_ERROR && V_ERROR(&v) == DISP_E_PARAMNOTFOUND);
}

class Recordset final : public AdoObject<_Recordset> {
public:
    explicit Recordset(std::shared_ptr<Table> table) : AdoObject(std::move(table)) {}

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** out) override
    {
        return Answer(riid, out, {&IID__ADO, &IID_Recordset15, &IID_Recordset20, &IID_Recordset21, &IID__Recordset});
    }

    HRESULT STDMETHODCALLTYPE get_BOF(VARIANT_BOOL* bof) override
    {
        return Serve(L"get_BOF", bof, [&] { *bof = table_->position < 0 || table_->rows.empty() ? VARIANT_TRUE : VARIANT_FALSE; });
    }

    HRESULT STDMETHODCALLTYPE get_EOF(VARIANT_BOOL* eof) override
    {
        return Serve(L"get_EOF", eof, [&] {
            *eof = table_->position >= static_cast<long>(table_->rows.size()) ? VARIANT_TRUE : VARIANT_FALSE;
        });
    }

    HRESULT STDMETHODCALLTYPE get_RecordCount(LONG* count) override
    {
        return Serve(L"get_RecordCount", count, [&] {
            *count = table_->reportedCount.value_or(static_cast<LONG>(table_->rows.size()));
        });
    }

    HRESULT STDMETHODCALLTYPE get_Fields(Fields** object) override
    {
        if (!object) return E_POINTER;
        *object = nullptr;
        return Guarded([&] {
            HRESULT hr = table_->Enter(L"get_Fields");
            return FAILED(hr) ? hr : NewFields(table_, object);
        });
    }

    HRESULT STDMETHODCALLTYPE AddNew(VARIANT fieldList, VARIANT values) override
    {
        return Guarded([&] {
            HRESULT hr = table_->Enter(L"AddNew");
            if (FAILED(hr)) return hr;
            if (!Omitted(fieldList) || !Omitted(values)) return E_NOTIMPL;
            table_->rows.emplace_back(table_->columns.size());
            table_->position = static_cast<long>(table_->rows.size()) - 1;
            table_->Moved();
            table_->pending = table_->rows.size() - 1;
            return S_OK;
        });
    }

    HRESULT STDMETHODCALLTYPE Update(VARIANT fields, VARIANT values) override
    {
        return Guarded([&] {
            HRESULT hr = table_->Enter(L"Update");
            if (FAILED(hr)) return hr;
            if (!Omitted(fields) || !Omitted(values)) return E_NOTIMPL;
            table_->pending.reset();
            return S_OK;
        });
    }

    HRESULT STDMETHODCALLTYPE CancelUpdate() override
    {
        return Guarded([&] {
            HRESULT hr = table_->Enter(L"CancelUpdate");
            if (FAILED(hr) || !table_->pending) return hr;
            table_->rows.erase(table_->rows.begin() + static_cast<long>(*table_->pending));
            table_->pending.reset();
            table_->position = 0;
            table_->Moved();
            return S_OK;
        });
    }

    HRESULT STDMETHODCALLTYPE MoveFirst() override { return MoveTo(L"MoveFirst", [&] { return 0L; }); }
    HRESULT STDMETHODCALLTYPE MoveLast() override
    {
        return MoveTo(L"MoveLast", [&] { return static_cast<long>(table_->rows.size()) - 1; });
    }

    HRESULT STDMETHODCALLTYPE MoveNext() override { return Step(L"MoveNext", +1); }
    HRESULT STDMETHODCALLTYPE MovePrevious() override { return Step(L"MovePrevious", -1); }

    HRESULT STDMETHODCALLTYPE get_Collect(VARIANT index, VARIANT* value) override
    {
        if (!value) return E_POINTER;
        VariantInit(value);
        return Guarded([&] {
            int c = table_->Resolve(index);
            HRESULT hr = table_->Enter(L"get_Collect", table_->Named(index));
            Value* cell = nullptr;
            if (SUCCEEDED(hr)) hr = table_->Cell(c, &cell);
            return FAILED(hr) ? hr : VariantCopy(value, &const_cast<VARIANT&>(cell->get()));
        });
    }

    HRESULT STDMETHODCALLTYPE put_Collect(VARIANT index, VARIANT value) override
    {
        return Guarded([&] {
            int c = table_->Resolve(index);
            HRESULT hr = table_->Enter(L"put_Collect", table_->Named(index));
            Value* cell = nullptr;
            if (SUCCEEDED(hr)) hr = table_->Cell(c, &cell);
            if (SUCCEEDED(hr)) *cell = Value(value);
            return hr;
        });
    }

    HRESULT STDMETHODCALLTYPE get_State(LONG* state) override
    {
        return Serve(L"get_State", state, [&] { *state = 1; });  // adStateOpen
    }

    UNSERVED(get_Properties, (IDispatch**))
    UNSERVED(get_AbsolutePosition, (LONG*))
    UNSERVED(put_AbsolutePosition, (LONG))
    UNSERVED(putref_ActiveConnection, (IDispatch*))
    UNSERVED(put_ActiveConnection, (VARIANT))
    UNSERVED(get_ActiveConnection, (VARIANT*))
    UNSERVED(get_Bookmark, (VARIANT*))
    UNSERVED(put_Bookmark, (VARIANT))
    UNSERVED(get_CacheSize, (LONG*))
    UNSERVED(put_CacheSize, (LONG))
    UNSERVED(get_CursorType, (LONG*))
    UNSERVED(put_CursorType, (LONG))
    UNSERVED(get_LockType, (LONG*))
    UNSERVED(put_LockType, (LONG))
    UNSERVED(get_MaxRecords, (LONG*))
    UNSERVED(put_MaxRecords, (LONG))
    UNSERVED(putref_Source, (IDispatch*))
    UNSERVED(put_Source, (BSTR))
    UNSERVED(get_Source, (VARIANT*))
    UNSERVED(Close, ())
    UNSERVED(Delete, (LONG))
    UNSERVED(GetRows, (LONG, VARIANT, VARIANT, VARIANT*))
    UNSERVED(Move, (LONG, VARIANT))
    UNSERVED(Open, (VARIANT, VARIANT, LONG, LONG, LONG))
    UNSERVED(Requery, (LONG))
    UNSERVED(_xResync, (LONG))
    UNSERVED(get_AbsolutePage, (LONG*))
    UNSERVED(put_AbsolutePage, (LONG))
    UNSERVED(get_EditMode, (LONG*))
    UNSERVED(get_Filter, (VARIANT*))
    UNSERVED(put_Filter, (VARIANT))
    UNSERVED(get_PageCount, (LONG*))
    UNSERVED(get_PageSize, (LONG*))
    UNSERVED(put_PageSize, (LONG))
    UNSERVED(get_Sort, (BSTR*))
    UNSERVED(put_Sort, (BSTR))
    UNSERVED(get_Status, (LONG*))
    UNSERVED(_xClone, (_Recordset**))
    UNSERVED(UpdateBatch, (LONG))
    UNSERVED(CancelBatch, (LONG))
    UNSERVED(get_CursorLocation, (LONG*))
    UNSERVED(put_CursorLocation, (LONG))
    UNSERVED(NextRecordset, (VARIANT*, _Recordset**))
    UNSERVED(Supports, (LONG, VARIANT_BOOL*))
    UNSERVED(get_MarshalOptions, (LONG*))
    UNSERVED(put_MarshalOptions, (LONG))
    UNSERVED(Find, (BSTR, LONG, LONG, VARIANT))
    UNSERVED(Cancel, ())
    UNSERVED(get_DataSource, (IUnknown**))
    UNSERVED(putref_DataSource, (IUnknown*))
    UNSERVED(_xSave, (BSTR, LONG))
    UNSERVED(get_ActiveCommand, (IDispatch**))
    UNSERVED(put_StayInSync, (VARIANT_BOOL))
    UNSERVED(get_StayInSync, (VARIANT_BOOL*))
    UNSERVED(GetString, (LONG, LONG, BSTR, BSTR, BSTR, BSTR*))
    UNSERVED(get_DataMember, (BSTR*))
    UNSERVED(put_DataMember, (BSTR))
    UNSERVED(CompareBookmarks, (VARIANT, VARIANT, LONG*))
    UNSERVED(Clone, (LONG, _Recordset**))
    UNSERVED(Resync, (LONG, LONG))
    UNSERVED(Seek, (VARIANT, LONG))
    UNSERVED(put_Index, (BSTR))
    UNSERVED(get_Index, (BSTR*))
    UNSERVED(Save, (VARIANT, LONG))

private:
    // A property get: logged, failures injected, the out-pointer checked.
    template <class T, class Body>
    HRESULT Serve(const wchar_t* member, T* out, Body&& body)
    {
        if (!out) return E_POINTER;
        return Guarded([&] {
            HRESULT hr = table_->Enter(member);
            if (SUCCEEDED(hr)) body();
            return hr;
        });
    }

    // One row on; stepping past EOF or before BOF is ADO's "no current record".
    HRESULT Step(const wchar_t* member, long delta)
    {
        return Guarded([&] {
            HRESULT hr = table_->Enter(member);
            if (FAILED(hr)) return hr;
            long size = static_cast<long>(table_->rows.size());
            if ((delta > 0 && table_->position >= size) || (delta < 0 && table_->position < 0)) return kNoCurrentRecord;
            table_->position += delta;
            table_->Moved();
            return S_OK;
        });
    }

    template <class Target>
    HRESULT MoveTo(const wchar_t* member, Target&& target)
    {
        return Guarded([&] {
            HRESULT hr = table_->Enter(member);
            if (FAILED(hr)) return hr;
            if (table_->rows.empty()) return kNoCurrentRecord;
            table_->position = target();
            table_->Moved();
            return S_OK;
        });
    }
};

#undef UNSERVED

} // namespace

HRESULT NewRecordset(std::shared_ptr<Table> table, REFIID riid, void** out)
{
    return HandOverNew<Recordset>(riid, out, std::move(table));
}

} // namespace memrs
