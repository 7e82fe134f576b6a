// What the recordset's objects share: the table they serve, the reference
// counted base with IDispatch from the ADO type information, and the
// creation functions.
#pragma once
#include "MemoryRecordset.h"

#include <new>
#include <utility>

namespace memrs {

using Microsoft::WRL::ComPtr;

// The errors ADO raises, as HRESULTs.
constexpr HRESULT AdoError(WORD number) { return MAKE_HRESULT(SEVERITY_ERROR, FACILITY_CONTROL, number); }
constexpr HRESULT kInvalidArgument = AdoError(3001);
constexpr HRESULT kNoCurrentRecord = AdoError(3021);  // BOF or EOF, or no row at all
constexpr HRESULT kItemNotFound = AdoError(3265);     // no such column

struct Column {
    std::wstring name;
    LONG type = 12;             // adVariant unless appended with a type
    bool appending = false;     // AppendChunk on the current row has begun
    size_t readOffset = 0;      // where the next GetChunk on the current row starts
};

struct Table {
    std::vector<Column> columns;
    std::vector<std::vector<Value>> rows;
    long position = 0;
    std::optional<size_t> pending;
    std::optional<long> reportedCount;
    std::optional<Value> forcedChunk;
    std::vector<RecordedCall> calls;

    struct Failure {
        std::wstring member, column;
        int remaining;
        HRESULT hr;
    };
    std::vector<Failure> failures;

    // Logs a call and answers the failure injected for it, or S_OK.
    HRESULT Enter(const wchar_t* member, std::wstring_view column = {});
    // The column's index, or -1.
    int Find(std::wstring_view name) const;
    // Resolves a column given by name or ordinal; -1 when there is none.
    int Resolve(const VARIANT& index) const;
    // The column as a caller named it, for the call log.
    std::wstring Named(const VARIANT& index) const;
    bool OnRow() const { return position >= 0 && position < static_cast<long>(rows.size()); }
    // The current row's cell of column c; S_OK or the ADO error.
    HRESULT Cell(int c, Value** cell);
    // A new current row: chunk reading and appending start over.
    void Moved();
    void AddColumn(std::wstring name, LONG type);
    void RemoveColumn(int c);
};

// Runs a member body; no exception leaves the library.
template <class Body>
HRESULT Guarded(Body&& body) noexcept
{
    try {
        return body();
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    } catch (...) {
        return E_UNEXPECTED;
    }
}

void ObjectCreated();
void ObjectDestroyed();

// IDispatch for interface iid of object self, from the ADO type information
// (Ado26.tlb beside the module, else the registered library).
HRESULT TypeInfoOf(REFIID iid, ITypeInfo** info);
HRESULT DispatchNames(REFIID iid, LPOLESTR* names, UINT count, DISPID* ids);
HRESULT DispatchInvoke(void* self, REFIID iid, DISPID id, WORD flags, DISPPARAMS* params, VARIANT* result,
                       EXCEPINFO* excepInfo, UINT* argErr);

// Reference counting, QueryInterface and IDispatch for one ADO interface and
// the interfaces it derives from.
template <class Interface>
class AdoObject : public Interface {
public:
    AdoObject(const AdoObject&) = delete;
    AdoObject& operator=(const AdoObject&) = delete;

    ULONG STDMETHODCALLTYPE AddRef() override { return InterlockedIncrement(&refs_); }
    ULONG STDMETHODCALLTYPE Release() override
    {
        LONG n = InterlockedDecrement(&refs_);
        if (n == 0) delete this;
        return n;
    }
    HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT* count) override
    {
        if (!count) return E_POINTER;
        *count = 1;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT index, LCID, ITypeInfo** info) override
    {
        if (!info) return E_POINTER;
        *info = nullptr;
        return index == 0 ? TypeInfoOf(__uuidof(Interface), info) : DISP_E_BADINDEX;
    }
    HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID, LPOLESTR* names, UINT count, LCID, DISPID* ids) override
    {
        return DispatchNames(__uuidof(Interface), names, count, ids);
    }
    HRESULT STDMETHODCALLTYPE Invoke(DISPID id, REFIID, LCID, WORD flags, DISPPARAMS* params, VARIANT* result,
                                     EXCEPINFO* excepInfo, UINT* argErr) override
    {
        return DispatchInvoke(static_cast<Interface*>(this), __uuidof(Interface), id, flags, params, result,
                              excepInfo, argErr);
    }

protected:
    explicit AdoObject(std::shared_ptr<Table> table) : table_(std::move(table)) { ObjectCreated(); }
    virtual ~AdoObject() { ObjectDestroyed(); }

    // Answers interface pointers for the listed IIDs (IUnknown and IDispatch too).
    HRESULT Answer(REFIID riid, void** out, std::initializer_list<const IID*> iids)
    {
        if (!out) return E_POINTER;
        *out = nullptr;
        bool known = IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IDispatch);
        for (const IID* iid : iids) known = known || IsEqualIID(riid, *iid);
        if (!known) return E_NOINTERFACE;
        *out = static_cast<Interface*>(this);
        AddRef();
        return S_OK;
    }

    std::shared_ptr<Table> table_;

private:
    LONG refs_ = 1;
};

// Each makes a new object with one reference.
HRESULT NewRecordset(std::shared_ptr<Table> table, REFIID riid, void** out);
HRESULT NewFields(std::shared_ptr<Table> table, Fields** out);
HRESULT NewField(std::shared_ptr<Table> table, std::wstring column, Field** out);

// Makes an object and hands it out through QueryInterface.
template <class Object, class... Args>
HRESULT HandOverNew(REFIID riid, void** out, Args&&... args)
{
    if (!out) return E_POINTER;
    *out = nullptr;
    Object* object = nullptr;
    HRESULT hr = Guarded([&] {
        object = new Object(std::forward<Args>(args)...);
        return S_OK;
    });
    if (FAILED(hr)) return hr;
    hr = object->QueryInterface(riid, out);
    object->Release();
    return hr;
}

} // namespace memrs
