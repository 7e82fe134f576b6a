// The test interface of ZebMachine.dll: counters of objects, injected
// failures, and read-back of what the objects were given.
#include "HostObjects.h"

#include <string>
#include <wrl/client.h>

namespace zebhost {

const IID IID_IHostStubRecord = {0xce4cf9fa, 0xb242, 0x487a, {0xbc, 0x08, 0x54, 0x4b, 0x25, 0x82, 0x9e, 0x6a}};

namespace {

bool IsKind(int kind) { return kind >= 0 && kind < HOSTSTUB_KIND_COUNT; }

// Objects not counted by kind (enumerators) share the last slot.
LONG g_live[HOSTSTUB_KIND_COUNT + 1];
LONG g_created[HOSTSTUB_KIND_COUNT];

// The nth matching call from now fails with hr, once.
struct Injection {
    LONG remaining = 0;
    HRESULT hr = S_OK;

    HRESULT Next()
    {
        if (remaining <= 0) return S_OK;
        return --remaining == 0 ? hr : S_OK;
    }
};

Injection g_createFailures[HOSTSTUB_KIND_COUNT];
Injection g_addFailure;
std::vector<std::pair<std::wstring, Injection>> g_putFailures; // by property name, any case

Injection* PutInjection(const wchar_t* name)
{
    for (auto& [property, injection] : g_putFailures) {
        if (CompareStringOrdinal(property.c_str(), -1, name, -1, TRUE) == CSTR_EQUAL) return &injection;
    }
    return nullptr;
}

// The object's records, or nullptr for anything not made here.
IHostStubRecord* RecordsOf(IUnknown* object)
{
    Microsoft::WRL::ComPtr<IHostStubRecord> records;
    if (!object || FAILED(object->QueryInterface(IID_IHostStubRecord, reinterpret_cast<void**>(records.GetAddressOf()))))
        return nullptr;
    return records.Get(); // the caller's own reference keeps the object alive
}

const std::vector<PutRecord>* PutsOf(IUnknown* object)
{
    IHostStubRecord* records = RecordsOf(object);
    return records ? records->RecordedPuts() : nullptr;
}

const std::vector<AddRecord>* AddsOf(IUnknown* object)
{
    IHostStubRecord* records = RecordsOf(object);
    return records ? records->RecordedAdds() : nullptr;
}

template <class Record>
const Record* At(const std::vector<Record>* list, LONG index)
{
    if (!list || index < 0 || static_cast<size_t>(index) >= list->size()) return nullptr;
    return &(*list)[static_cast<size_t>(index)];
}

} // namespace

void ObjectCreated(int kind)
{
    if (IsKind(kind)) InterlockedIncrement(&g_created[kind]);
    InterlockedIncrement(&g_live[IsKind(kind) ? kind : HOSTSTUB_KIND_COUNT]);
}

void ObjectDestroyed(int kind)
{
    InterlockedDecrement(&g_live[IsKind(kind) ? kind : HOSTSTUB_KIND_COUNT]);
}

LONG LiveObjectsTotal()
{
    LONG total = 0;
    for (LONG live : g_live) total += live;
    return total;
}

HRESULT InjectedCreateFailure(int kind) { return IsKind(kind) ? g_createFailures[kind].Next() : S_OK; }

HRESULT InjectedPutFailure(const wchar_t* name)
{
    Injection* injection = PutInjection(name);
    return injection ? injection->Next() : S_OK;
}

HRESULT InjectedAddFailure() { return g_addFailure.Next(); }

} // namespace zebhost

using namespace zebhost;

LONG HOSTSTUB_API HostStub_LiveObjects(int kind) { return IsKind(kind) ? g_live[kind] : 0; }

LONG HOSTSTUB_API HostStub_CreatedObjects(int kind) { return IsKind(kind) ? g_created[kind] : 0; }

void HOSTSTUB_API HostStub_Reset(void)
{
    for (LONG& created : g_created) created = 0;
    for (Injection& injection : g_createFailures) injection = Injection();
    g_addFailure = Injection();
    g_putFailures.clear();
}

LONG HOSTSTUB_API HostStub_PutCount(IUnknown* obj)
{
    const std::vector<PutRecord>* puts = PutsOf(obj);
    return puts ? static_cast<LONG>(puts->size()) : -1;
}

BOOL HOSTSTUB_API HostStub_GetPut(IUnknown* obj, LONG index, BSTR* name, VARIANT* value)
{
    if (name) *name = nullptr;
    if (value) VariantInit(value);
    const PutRecord* put = At(PutsOf(obj), index);
    if (!put) return FALSE;
    if (name && !(*name = SysAllocString(put->name))) return FALSE;
    if (value && FAILED(put->value.CopyTo(value))) {
        if (name) SysFreeString(std::exchange(*name, nullptr));
        return FALSE;
    }
    return TRUE;
}

LONG HOSTSTUB_API HostStub_AddCount(IUnknown* collection)
{
    const std::vector<AddRecord>* adds = AddsOf(collection);
    return adds ? static_cast<LONG>(adds->size()) : -1;
}

BOOL HOSTSTUB_API HostStub_GetAdd(IUnknown* collection, LONG index, VARIANT* item, BOOL* keyOmitted,
                                  BOOL* beforeOmitted, BOOL* afterOmitted)
{
    if (item) VariantInit(item);
    const AddRecord* add = At(AddsOf(collection), index);
    if (!add) return FALSE;
    if (item && FAILED(add->item.CopyTo(item))) return FALSE;
    if (keyOmitted) *keyOmitted = add->keyOmitted;
    if (beforeOmitted) *beforeOmitted = add->beforeOmitted;
    if (afterOmitted) *afterOmitted = add->afterOmitted;
    return TRUE;
}

void HOSTSTUB_API HostStub_FailCreate(int kind, LONG nth, HRESULT hr)
{
    if (IsKind(kind)) g_createFailures[kind] = Injection{nth, hr};
}

void HOSTSTUB_API HostStub_FailPut(const WCHAR* name, LONG nth, HRESULT hr)
{
    if (!name) return;
    if (Injection* injection = PutInjection(name)) {
        *injection = Injection{nth, hr};
        return;
    }
    // Out of memory here can only mean the injection is not armed.
    (void)Guarded([&] { g_putFailures.emplace_back(name, Injection{nth, hr}); });
}

void HOSTSTUB_API HostStub_FailAdd(LONG nth, HRESULT hr) { g_addFailure = Injection{nth, hr}; }
