// Backup and restore: the fingerprint store's rows go through an in-memory
// recordset of the host's fingerprint table.
#include "Commands.h"

#include "Console.h"
#include "Failure.h"
#include "MemoryRecordset.h"
#include "Store.h"
#include "frame/Owners.h"

namespace kavro::tool {
namespace {

const std::vector<std::wstring> kColumns = {L"cpsn_num", L"iFingerprintNO", L"imachineno", L"npassword", L"bFingerprint"};

VARIANT_BOOL Flag(bool value) { return value ? VARIANT_TRUE : VARIANT_FALSE; }

// A whole-number column, or nothing when the component left it unset.
std::optional<long> Whole(const memrs::Value& value)
{
    if (value.type() == VT_EMPTY || value.type() == VT_NULL) return std::nullopt;
    Variant number;
    if (FAILED(VariantChangeType(number.get(), const_cast<VARIANT*>(&value.get()), 0, VT_I4)))
        Fail(kCallFailed, L"The component wrote a column that is not a number");
    return V_I4(number.get());
}

FingerprintRow RowOf(const memrs::MemoryRecordset& recordset, size_t row)
{
    auto set = [&](const wchar_t* column) -> const memrs::Value* {
        const memrs::Value& value = recordset.At(row, column);
        return (value.type() == VT_EMPTY || value.type() == VT_NULL) ? nullptr : &value;
    };
    FingerprintRow out;
    if (auto v = set(L"cpsn_num")) out.cpsn_num = v->AsText();
    if (auto n = Whole(recordset.At(row, L"iFingerprintNO"))) out.iFingerprintNO = static_cast<short>(*n);
    if (auto n = Whole(recordset.At(row, L"imachineno"))) out.imachineno = static_cast<short>(*n);
    out.npassword = Whole(recordset.At(row, L"npassword"));
    if (auto v = set(L"bFingerprint")) out.bFingerprint = v->AsBytes();
    return out;
}

std::vector<memrs::Value> ValuesOf(const FingerprintRow& row)
{
    std::vector<memrs::Value> values(kColumns.size());
    if (row.cpsn_num) values[0] = memrs::Value::Text(*row.cpsn_num);
    if (row.iFingerprintNO) values[1] = memrs::Value::Int16(*row.iFingerprintNO);
    if (row.imachineno) values[2] = memrs::Value::Int16(*row.imachineno);
    if (row.npassword) values[3] = memrs::Value::Int32(*row.npassword);
    if (row.bFingerprint) values[4] = memrs::Value::Bytes(*row.bFingerprint);
    return values;
}

std::wstring Describe(const FingerprintRow& row)
{
    std::wstring text = L"employee " + row.cpsn_num.value_or(L"?");
    if (row.iFingerprintNO) text += L", fingerprint " + std::to_wstring(*row.iFingerprintNO);
    if (row.bFingerprint) text += L", template of " + std::to_wstring(row.bFingerprint->size()) + L" bytes";
    if (row.npassword) text += L", npassword " + std::to_wstring(*row.npassword);
    return text;
}

} // namespace

int Backup(IMachine& machine, const Terminal& terminal, const std::wstring& person, const std::wstring& storePath,
           int waitSeconds)
{
    const std::wstring notSaved = L"The fingerprint of employee " + person + L" from " + terminal.Describe() +
                                  L" was not saved";
    // A store that cannot be read or written must stop us before the
    // terminal is asked: its fingerprint would be read only to be lost.
    FingerprintStore::CheckWritable(storePath, waitSeconds,
                                    L"Nothing was read from " + terminal.Describe() + L" for employee " + person);
    memrs::MemoryRecordset recordset(kColumns);
    ComPtr<_Recordset> argument = recordset.get();
    Bstr ip(terminal.ip), number(person), message;
    VARIANT_BOOL ok = VARIANT_FALSE;
    HRESULT hr = machine.funcBackFingure(Flag(terminal.serial), ip.get(), terminal.port, terminal.number, number.get(),
                                         argument.GetAddressOf(), message.out(), &ok);
    CheckCall(machine, hr, L"funcBackFingure");
    if (!ok) AnsweredFalse(message.view(), L"The backup of employee " + person + L" from " + terminal.Describe() + L" failed.");
    std::optional<size_t> row = recordset.PendingRow();
    if (!row && recordset.Position() >= 0 && static_cast<size_t>(recordset.Position()) < recordset.RowCount())
        row = static_cast<size_t>(recordset.Position());
    if (!row) Fail(kCallFailed, L"The component answered true but wrote no row");
    FingerprintRow backed = RowOf(recordset, *row);
    // The terminal call stays outside the lock; the store is loaded again
    // under it, so rows that other runs saved meanwhile are kept.
    FingerprintStore::Change(storePath, waitSeconds, notSaved, [&](FingerprintStore& store) { store.Put(backed); });
    Print(L"Backed up " + Describe(backed) + L" from " + terminal.Describe() + L" into " + storePath + L".\n");
    return kSuccess;
}

int Restore(IMachine& machine, const Terminal& terminal, const std::wstring& person, const std::wstring& storePath,
            const std::wstring& text, int waitSeconds)
{
    const FingerprintStore store = FingerprintStore::Read(
        storePath, true, waitSeconds, L"Nothing was sent to " + terminal.Describe() + L" for employee " + person);
    const FingerprintRow* stored = store.Find(person, terminal.number);
    if (!stored) Fail(kBadArguments, L"The fingerprint store " + storePath + L" has no row for employee " + person);
    memrs::MemoryRecordset recordset(kColumns);
    recordset.AddRow(ValuesOf(*stored));
    Bstr ip(terminal.ip), number(person);
    BSTR message = Bstr(text).Detach();  // in/out: the employee text the terminal gets
    VARIANT_BOOL ok = VARIANT_FALSE;
    HRESULT hr = machine.funcReWrite(Flag(terminal.serial), ip.get(), terminal.port, terminal.number, number.get(),
                                     recordset.get(), &message, &ok);
    Bstr left = Bstr::Attach(message);
    CheckCall(machine, hr, L"funcReWrite");
    if (!ok)
        AnsweredFalse(left.view(), L"The component could not send " + Describe(*stored) + L" to " + terminal.Describe() +
                                       L" (a row needs a template of more than 10 bytes).");
    std::wstring origin = stored->imachineno ? L" (backed up from terminal number " + std::to_wstring(*stored->imachineno) + L")" : L"";
    Print(L"Sent to " + terminal.Describe() + L": " + Describe(*stored) + origin + L", text \"" + text + L"\".\n");
    return kSuccess;
}

} // namespace kavro::tool
