// The Automation Collection as the host hands it to the component: items in
// order, optional string keys compared without regard to case, and the errors
// Visual Basic raises. Every Add is recorded for the tests.
#include "HostObjects.h"

#include <algorithm>
#include <memory>
#include <string>
#include <unordered_map>

namespace zebhost {
namespace {

enum : DISPID { kItem = DISPID_VALUE, kAdd = 1, kCount = 2, kRemove = 3, kNewEnum = DISPID_NEWENUM };

const DispatchName kMembers[] = {
    {L"Item", kItem}, {L"Add", kAdd}, {L"Count", kCount}, {L"Remove", kRemove}, {L"_NewEnum", kNewEnum},
};

struct Entry {
    StoredVariant item;
    std::wstring key; // folded to upper case; meaningful only when hasKey
    bool hasKey;
};

// Grows a vector ahead of an insertion so that the insertion itself cannot
// fail, keeping growth geometric.
template <class T>
void MakeRoom(std::vector<T>& v)
{
    if (v.size() == v.capacity()) v.reserve(v.empty() ? 16 : v.size() * 2);
}

// The text of a string argument (typed callers may pass it by reference), or
// nullptr when the argument is no string.
const BSTR* TextOf(const VARIANT& v)
{
    if (V_VT(&v) == VT_BSTR) return &V_BSTR(&v);
    if (V_VT(&v) == (VT_BYREF | VT_BSTR)) return V_BSTRREF(&v);
    return nullptr;
}

// A key as Visual Basic compares it: text, without regard to case.
std::wstring FoldedKey(const VARIANT& key)
{
    const BSTR* text = TextOf(key);
    if (!text) Fail(kTypeMismatch, "a key is a string");
    int length = static_cast<int>(SysStringLen(*text));
    std::wstring folded(length, L'\0');
    if (length && !LCMapStringW(LOCALE_INVARIANT, LCMAP_UPPERCASE, *text, length, folded.data(), length))
        Fail(HRESULT_FROM_WIN32(GetLastError()), "fold a key");
    return folded;
}

class Collection final : public AutomationObject<HOSTSTUB_Collection, _Collection> {
public:
    HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID riid, LPOLESTR* names, UINT count, LCID, DISPID* ids) override
    {
        return LookUpNames(kMembers, riid, names, count, ids);
    }
    HRESULT STDMETHODCALLTYPE Invoke(DISPID id, REFIID riid, LCID, WORD flags, DISPPARAMS* params,
                                     VARIANT* result, EXCEPINFO*, UINT*) override;

    HRESULT STDMETHODCALLTYPE Item(VARIANT* index, VARIANT* result) override
    {
        return Guarded([&] { CopyItem(index, result); });
    }
    HRESULT STDMETHODCALLTYPE Add(VARIANT* item, VARIANT* key, VARIANT* before, VARIANT* after) override
    {
        return Guarded([&] { Insert(item, key, before, after); });
    }
    HRESULT STDMETHODCALLTYPE Count(LONG* count) override
    {
        if (!count) return E_POINTER;
        *count = static_cast<LONG>(entries_.size());
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE Remove(VARIANT* index) override
    {
        return Guarded([&] { Erase(index); });
    }
    HRESULT STDMETHODCALLTYPE _NewEnum(IUnknown** out) override
    {
        return CreateItemEnumerator(this, out);
    }

    const std::vector<PutRecord>* STDMETHODCALLTYPE RecordedPuts() override { return nullptr; }
    const std::vector<AddRecord>* STDMETHODCALLTYPE RecordedAdds() override { return &adds_; }

private:
    void CopyItem(const VARIANT* index, VARIANT* result) const;
    void Insert(const VARIANT* item, const VARIANT* key, const VARIANT* before, const VARIANT* after);
    void Erase(const VARIANT* index);
    // Where index points, 0-based: a 1-based number or a key.
    size_t Position(const VARIANT* index) const;
    const Entry& Lookup(const VARIANT* index) const;
    size_t NumberedPosition(const VARIANT& index) const;
    Entry* Keyed(const VARIANT& index) const;

    // Entries by pointer so that the key map stays valid when positions shift.
    std::vector<std::unique_ptr<Entry>> entries_;
    std::unordered_map<std::wstring, Entry*> keys_;
    std::vector<AddRecord> adds_;
};

size_t Collection::NumberedPosition(const VARIANT& index) const
{
    VARIANT number;
    VariantInit(&number);
    if (FAILED(VariantChangeType(&number, const_cast<VARIANT*>(&index), 0, VT_I4))) Fail(kTypeMismatch, "an index is a number or a key");
    if (V_I4(&number) < 1 || static_cast<size_t>(V_I4(&number)) > entries_.size())
        Fail(kSubscriptOutOfRange, "no item at that index");
    return static_cast<size_t>(V_I4(&number)) - 1;
}

Entry* Collection::Keyed(const VARIANT& index) const
{
    auto found = keys_.find(FoldedKey(index));
    if (found == keys_.end()) Fail(kInvalidCall, "no item with that key");
    return found->second;
}

size_t Collection::Position(const VARIANT* index) const
{
    if (Omitted(index)) Fail(kInvalidCall, "an index is required");
    const VARIANT& v = Referenced(*index);
    if (!TextOf(v)) return NumberedPosition(v);
    const Entry* entry = Keyed(v);
    auto at = std::find_if(entries_.begin(), entries_.end(), [&](const auto& e) { return e.get() == entry; });
    return static_cast<size_t>(at - entries_.begin());
}

const Entry& Collection::Lookup(const VARIANT* index) const
{
    if (Omitted(index)) Fail(kInvalidCall, "an index is required");
    const VARIANT& v = Referenced(*index);
    return TextOf(v) ? *Keyed(v) : *entries_[NumberedPosition(v)];
}

void Collection::CopyItem(const VARIANT* index, VARIANT* result) const
{
    if (!result) Fail(E_POINTER, "no place for the item");
    VariantInit(result);
    Check(Lookup(index).item.CopyTo(result), "copy the item");
}

void Collection::Insert(const VARIANT* item, const VARIANT* key, const VARIANT* before, const VARIANT* after)
{
    // Counted first, so the nth Add fails however its arguments look.
    Check(InjectedAddFailure(), "injected Add failure");
    if (!item) Fail(E_POINTER, "no item");
    bool keyOmitted = Omitted(key), beforeOmitted = Omitted(before), afterOmitted = Omitted(after);
    if (!beforeOmitted && !afterOmitted) Fail(kInvalidCall, "Before and After together");

    size_t position = entries_.size();
    if (!beforeOmitted) position = Position(before);
    if (!afterOmitted) position = Position(after) + 1;

    auto entry = std::make_unique<Entry>(Entry{StoredVariant(*item, true), std::wstring(), !keyOmitted});
    if (entry->hasKey) {
        entry->key = FoldedKey(Referenced(*key));
        if (keys_.count(entry->key)) Fail(kDuplicateKey, "key already in use");
    }
    AddRecord record{StoredVariant(*item, true), keyOmitted, beforeOmitted, afterOmitted};
    MakeRoom(entries_);
    MakeRoom(adds_);
    if (entry->hasKey) keys_.emplace(entry->key, entry.get());
    // Neither can throw now: both vectors have room.
    entries_.insert(entries_.begin() + static_cast<ptrdiff_t>(position), std::move(entry));
    adds_.push_back(std::move(record));
}

void Collection::Erase(const VARIANT* index)
{
    size_t position = Position(index);
    if (entries_[position]->hasKey) keys_.erase(entries_[position]->key);
    entries_.erase(entries_.begin() + static_cast<ptrdiff_t>(position));
}

HRESULT Collection::Invoke(DISPID id, REFIID riid, LCID, WORD flags, DISPPARAMS* params, VARIANT* result,
                           EXCEPINFO*, UINT*)
{
    if (!IsEqualIID(riid, IID_NULL)) return DISP_E_UNKNOWNINTERFACE;
    return Guarded([&] {
        InvokeArgs args(params);
        const bool call = flags & (DISPATCH_METHOD | DISPATCH_PROPERTYGET);
        StoredVariant discarded;
        VARIANT* out = result ? result : discarded.Receive();
        VariantInit(out);
        switch (id) {
        case kItem:
            if (!call) Fail(DISP_E_MEMBERNOTFOUND, "Item is read-only");
            args.Expect(1, 1);
            CopyItem(args.at(0), out);
            break;
        case kAdd:
            if (!(flags & DISPATCH_METHOD)) Fail(DISP_E_MEMBERNOTFOUND, "Add is a method");
            args.Expect(1, 4);
            Insert(args.at(0), args.at(1), args.at(2), args.at(3));
            break;
        case kCount:
            if (!call) Fail(DISP_E_MEMBERNOTFOUND, "Count is read-only");
            args.Expect(0, 0);
            V_VT(out) = VT_I4;
            V_I4(out) = static_cast<LONG>(entries_.size());
            break;
        case kRemove:
            if (!(flags & DISPATCH_METHOD)) Fail(DISP_E_MEMBERNOTFOUND, "Remove is a method");
            args.Expect(1, 1);
            Erase(args.at(0));
            break;
        case kNewEnum:
            if (!call) Fail(DISP_E_MEMBERNOTFOUND, "_NewEnum is read-only");
            args.Expect(0, 0);
            Check(CreateItemEnumerator(this, &V_UNKNOWN(out)), "create an enumerator");
            V_VT(out) = VT_UNKNOWN;
            break;
        default:
            Fail(DISP_E_MEMBERNOTFOUND, "no such member");
        }
    });
}

} // namespace

HRESULT CreateCollection(REFIID riid, void** out)
{
    return HandOverNew<Collection>(riid, out);
}

} // namespace zebhost
