// An in-memory ADO 2.6 recordset: _Recordset, Fields and Field with the real
// function tables, for hosts and tests that have no database. Its owner
// fills it and reads it back through MemoryRecordset; COM clients see only
// the ADO interfaces (and IDispatch, from the ADO type information).
//
// Served: RecordCount, BOF, EOF, AddNew, Update, CancelUpdate, the Move
// family, Collect get and put, Fields (Count, Item, Append, Delete), and on a
// Field Name, Type, Value, ActualSize, AppendChunk and GetChunk. Every other
// member answers E_NOTIMPL. Column names are looked up without regard to case.
#pragma once
#include <windows.h>
#include <oleauto.h>
#include <wrl/client.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <Ado26.h>

namespace memrs {

// A VARIANT that owns its contents and can live in a std::vector.
class Value {
public:
    Value() { VariantInit(&v_); V_VT(&v_) = VT_NULL; }
    explicit Value(const VARIANT& source);  // a deep copy, following one VT_BYREF
    Value(const Value& other) : Value(other.v_) {}
    Value(Value&& other) noexcept : v_(other.v_) { VariantInit(&other.v_); }
    Value& operator=(Value other) noexcept { std::swap(v_, other.v_); return *this; }
    ~Value() { VariantClear(&v_); }

    static Value Text(std::wstring_view text);  // VT_BSTR
    static Value Int16(short value);            // VT_I2
    static Value Int32(long value);             // VT_I4
    static Value Bytes(const std::vector<std::uint8_t>& bytes); // VT_ARRAY|VT_UI1

    const VARIANT& get() const { return v_; }
    VARTYPE type() const { return V_VT(&v_); }
    // The bytes of a byte array; empty for anything else.
    std::vector<std::uint8_t> AsBytes() const;
    // The value turned into text; empty when it cannot be.
    std::wstring AsText() const;

private:
    VARIANT v_;
};

// One call a client made, in order: the member as the interface names it
// ("get_RecordCount", "put_Collect", "Fields.get_Item", "Field.AppendChunk",
// ...) and the column as the client named it, where there is one.
struct RecordedCall {
    std::wstring member;
    std::wstring column;
    std::wstring Text() const { return column.empty() ? member : member + L"(" + column + L")"; }
};

struct Table;

// The owner's handle. Copies share one recordset.
class MemoryRecordset {
public:
    explicit MemoryRecordset(const std::vector<std::wstring>& columns = {});

    // The recordset as COM clients get it; no reference is added.
    _Recordset* get() const { return object_.Get(); }

    void AppendColumn(std::wstring name);
    bool RemoveColumn(std::wstring_view name);  // false when there is no such column
    std::vector<std::wstring> Columns() const;

    // A committed row; values in column order, missing ones Null.
    void AddRow(std::vector<Value> values);
    size_t RowCount() const;
    // Throws std::out_of_range for a row or column that does not exist.
    const Value& At(size_t row, std::wstring_view column) const;
    void Set(size_t row, std::wstring_view column, Value value);

    // The current row's index; RowCount() is EOF, -1 is BOF. A new recordset
    // stands at index 0, so the first row added becomes the current one.
    long Position() const;
    void MoveTo(long position);
    // The row AddNew made and no Update or CancelUpdate has ended.
    std::optional<size_t> PendingRow() const;

    // Forcing, for tests: RecordCount answers this instead (-1: unknown);
    // the nth matching call fails with hr (column empty: any column); GetChunk
    // answers this value instead of the field's bytes.
    void ReportRecordCount(std::optional<long> count);
    void FailCall(std::wstring member, HRESULT hr, int nth = 1, std::wstring column = {});
    void ForceChunk(std::optional<Value> chunk);

    const std::vector<RecordedCall>& Calls() const;
    std::vector<std::wstring> CallTexts() const;
    void ClearCalls();

private:
    std::shared_ptr<Table> table_;
    Microsoft::WRL::ComPtr<_Recordset> object_;
};

// A new recordset without columns, handed out through QueryInterface, for a
// class factory (script clients add columns with Fields.Append).
HRESULT CreateRecordset(REFIID riid, void** out);

// Objects of the library alive now (recordsets, their Fields and Field
// objects), for a server's DllCanUnloadNow.
long LiveObjects();

} // namespace memrs
