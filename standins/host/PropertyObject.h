// clsMachineItem and clsCardData are both bags of VARIANT properties behind a
// dual interface; this is what they share.
#pragma once
#include "HostObjects.h"

namespace zebhost {

// The state of one object: one VARIANT per property (DISPIDs 1..n in table
// order) and the list of every put, in order.
class PropertyBag {
public:
    explicit PropertyBag(std::span<const DispatchName> properties);

    // A put through the vtable or IDispatch: honours injected failures, then records.
    HRESULT Put(DISPID id, const VARIANT& value);
    HRESULT Get(DISPID id, VARIANT* out) const;
    HRESULT GetIDsOfNames(REFIID riid, LPOLESTR* names, UINT count, DISPID* ids) const
    {
        return LookUpNames(properties_, riid, names, count, ids);
    }
    HRESULT Invoke(DISPID id, REFIID riid, WORD flags, DISPPARAMS* params, VARIANT* result);
    const std::vector<PutRecord>& Puts() const { return puts_; }

private:
    const DispatchName* Find(DISPID id) const;
    void Store(DISPID id, const VARIANT& value);
    void Load(DISPID id, VARIANT* out) const;

    std::span<const DispatchName> properties_;
    std::vector<StoredVariant> values_;
    std::vector<PutRecord> puts_;
};

// Dispatch and records of a property object whose default interface is
// Interface; the object itself adds the typed accessors.
template <int Kind, class Interface>
class PropertyObject : public AutomationObject<Kind, Interface> {
public:
    HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID riid, LPOLESTR* names, UINT count, LCID,
                                            DISPID* ids) override
    {
        return bag_.GetIDsOfNames(riid, names, count, ids);
    }
    HRESULT STDMETHODCALLTYPE Invoke(DISPID id, REFIID riid, LCID, WORD flags, DISPPARAMS* params,
                                     VARIANT* result, EXCEPINFO*, UINT*) override
    {
        return bag_.Invoke(id, riid, flags, params, result);
    }

    const std::vector<PutRecord>* STDMETHODCALLTYPE RecordedPuts() override { return &bag_.Puts(); }
    const std::vector<AddRecord>* STDMETHODCALLTYPE RecordedAdds() override { return nullptr; }

protected:
    explicit PropertyObject(std::span<const DispatchName> properties) : bag_(properties) {}

    PropertyBag bag_;
};

} // namespace zebhost
