// The rows and columns a recordset serves, the call log and injected failures,
// and the owning VARIANT they are kept in.
#include "RecordsetObjects.h"

#include <cstring>
#include <stdexcept>

namespace memrs {
namespace {

bool SameName(std::wstring_view a, std::wstring_view b)
{
    return CompareStringOrdinal(a.data(), static_cast<int>(a.size()), b.data(), static_cast<int>(b.size()),
                                TRUE) == CSTR_EQUAL;
}

void ThrowIfFailed(HRESULT hr)
{
    if (hr == E_OUTOFMEMORY) throw std::bad_alloc();
    if (FAILED(hr)) throw std::runtime_error("VARIANT copy failed");
}

} // namespace

// ---- Value ----------------------------------------------------------------------

Value::Value(const VARIANT& source)
{
    VariantInit(&v_);
    ThrowIfFailed(VariantCopyInd(&v_, const_cast<VARIANT*>(&source)));
}

Value Value::Text(std::wstring_view text)
{
    Value value;
    BSTR b = SysAllocStringLen(text.data(), static_cast<UINT>(text.size()));
    if (!b) throw std::bad_alloc();
    V_VT(&value.v_) = VT_BSTR;
    V_BSTR(&value.v_) = b;
    return value;
}

Value Value::Int16(short number)
{
    Value value;
    V_VT(&value.v_) = VT_I2;
    V_I2(&value.v_) = number;
    return value;
}

Value Value::Int32(long number)
{
    Value value;
    V_VT(&value.v_) = VT_I4;
    V_I4(&value.v_) = number;
    return value;
}

Value Value::Bytes(const std::vector<std::uint8_t>& bytes)
{
    SAFEARRAY* array = SafeArrayCreateVector(VT_UI1, 0, static_cast<ULONG>(bytes.size()));
    if (!array) throw std::bad_alloc();
    if (!bytes.empty()) std::memcpy(array->pvData, bytes.data(), bytes.size());
    Value value;
    V_VT(&value.v_) = VT_ARRAY | VT_UI1;
    V_ARRAY(&value.v_) = array;
    return value;
}

std::vector<std::uint8_t> Value::AsBytes() const
{
    if (V_VT(&v_) != (VT_ARRAY | VT_UI1) || !V_ARRAY(&v_) || SafeArrayGetDim(V_ARRAY(&v_)) != 1) return {};
    SAFEARRAY* array = V_ARRAY(&v_);
    const auto* data = static_cast<const std::uint8_t*>(array->pvData);
    return std::vector<std::uint8_t>(data, data + array->rgsabound[0].cElements);
}

std::wstring Value::AsText() const
{
    VARIANT text;
    VariantInit(&text);
    std::wstring result;
    if (SUCCEEDED(VariantChangeType(&text, const_cast<VARIANT*>(&v_), 0, VT_BSTR)) && V_BSTR(&text))
        result.assign(V_BSTR(&text), SysStringLen(V_BSTR(&text)));
    VariantClear(&text);
    return result;
}

// ---- Table ------------------------------------------------------------------------

HRESULT Table::Enter(const wchar_t* member, std::wstring_view column)
{
    calls.push_back(RecordedCall{member, std::wstring(column)});
    for (Failure& f : failures) {
        if (f.remaining <= 0 || f.member != member) continue;
        if (!f.column.empty() && !SameName(f.column, column)) continue;
        if (--f.remaining == 0) return f.hr;
    }
    return S_OK;
}

int Table::Find(std::wstring_view name) const
{
    for (size_t c = 0; c < columns.size(); ++c)
        if (SameName(columns[c].name, name)) return static_cast<int>(c);
    return -1;
}

int Table::Resolve(const VARIANT& index) const
{
    const VARIANT* v = &index;
    if (V_VT(v) == (VT_BYREF | VT_VARIANT) && V_VARIANTREF(v)) v = V_VARIANTREF(v);
    if (V_VT(v) == VT_BSTR) return Find(V_BSTR(v) ? std::wstring_view(V_BSTR(v), SysStringLen(V_BSTR(v))) : L"");
    if (V_VT(v) == (VT_BYREF | VT_BSTR) && V_BSTRREF(v) && *V_BSTRREF(v)) return Find(*V_BSTRREF(v));
    VARIANT ordinal;
    VariantInit(&ordinal);
    if (FAILED(VariantChangeType(&ordinal, const_cast<VARIANT*>(v), 0, VT_I4))) return -1;
    LONG c = V_I4(&ordinal);
    return c >= 0 && c < static_cast<LONG>(columns.size()) ? static_cast<int>(c) : -1;
}

std::wstring Table::Named(const VARIANT& index) const
{
    const VARIANT* v = &index;
    if (V_VT(v) == (VT_BYREF | VT_VARIANT) && V_VARIANTREF(v)) v = V_VARIANTREF(v);
    if (V_VT(v) == VT_BSTR && V_BSTR(v)) return std::wstring(V_BSTR(v), SysStringLen(V_BSTR(v)));
    int c = Resolve(index);
    return c >= 0 ? columns[static_cast<size_t>(c)].name : L"?";
}

HRESULT Table::Cell(int c, Value** cell)
{
    if (c < 0) return kItemNotFound;
    if (!OnRow()) return kNoCurrentRecord;
    *cell = &rows[static_cast<size_t>(position)][static_cast<size_t>(c)];
    return S_OK;
}

void Table::Moved()
{
    if (pending && static_cast<long>(*pending) != position) pending.reset();  // leaving a new row keeps it
    for (Column& column : columns) {
        column.appending = false;
        column.readOffset = 0;
    }
}

void Table::AddColumn(std::wstring name, LONG type)
{
    columns.push_back(Column{std::move(name), type});
    for (auto& row : rows) row.emplace_back();
}

void Table::RemoveColumn(int c)
{
    columns.erase(columns.begin() + c);
    for (auto& row : rows) row.erase(row.begin() + c);
}

// ---- MemoryRecordset -------------------------------------------------------------

MemoryRecordset::MemoryRecordset(const std::vector<std::wstring>& columns) : table_(std::make_shared<Table>())
{
    for (const std::wstring& name : columns) table_->AddColumn(name, 12);
    ThrowIfFailed(NewRecordset(table_, IID__Recordset, reinterpret_cast<void**>(object_.GetAddressOf())));
}

void MemoryRecordset::AppendColumn(std::wstring name) { table_->AddColumn(std::move(name), 12); }

bool MemoryRecordset::RemoveColumn(std::wstring_view name)
{
    int c = table_->Find(name);
    if (c < 0) return false;
    table_->RemoveColumn(c);
    return true;
}

std::vector<std::wstring> MemoryRecordset::Columns() const
{
    std::vector<std::wstring> names;
    for (const Column& c : table_->columns) names.push_back(c.name);
    return names;
}

void MemoryRecordset::AddRow(std::vector<Value> values)
{
    values.resize(table_->columns.size());
    table_->rows.push_back(std::move(values));
}

size_t MemoryRecordset::RowCount() const { return table_->rows.size(); }

const Value& MemoryRecordset::At(size_t row, std::wstring_view column) const
{
    int c = table_->Find(column);
    if (c < 0 || row >= table_->rows.size()) throw std::out_of_range("no such row or column");
    return table_->rows[row][static_cast<size_t>(c)];
}

void MemoryRecordset::Set(size_t row, std::wstring_view column, Value value)
{
    int c = table_->Find(column);
    if (c < 0 || row >= table_->rows.size()) throw std::out_of_range("no such row or column");
    table_->rows[row][static_cast<size_t>(c)] = std::move(value);
}

long MemoryRecordset::Position() const { return table_->position; }

void MemoryRecordset::MoveTo(long position)
{
    table_->position = position;
    table_->Moved();
}

std::optional<size_t> MemoryRecordset::PendingRow() const { return table_->pending; }

void MemoryRecordset::ReportRecordCount(std::optional<long> count) { table_->reportedCount = count; }

void MemoryRecordset::FailCall(std::wstring member, HRESULT hr, int nth, std::wstring column)
{
    table_->failures.push_back(Table::Failure{std::move(member), std::move(column), nth, hr});
}

void MemoryRecordset::ForceChunk(std::optional<Value> chunk) { table_->forcedChunk = std::move(chunk); }

const std::vector<RecordedCall>& MemoryRecordset::Calls() const { return table_->calls; }

std::vector<std::wstring> MemoryRecordset::CallTexts() const
{
    std::vector<std::wstring> texts;
    for (const RecordedCall& call : table_->calls) texts.push_back(call.Text());
    return texts;
}

void MemoryRecordset::ClearCalls() { table_->calls.clear(); }

HRESULT CreateRecordset(REFIID riid, void** out)
{
    return Guarded([&] { return NewRecordset(std::make_shared<Table>(), riid, out); });
}

} // namespace memrs
