// The property store behind clsMachineItem and clsCardData.
#include "PropertyObject.h"

namespace zebhost {

PropertyBag::PropertyBag(std::span<const DispatchName> properties)
    : properties_(properties), values_(properties.size())
{
    // Usually each property is put once: one allocation per object.
    puts_.reserve(properties.size());
}

const DispatchName* PropertyBag::Find(DISPID id) const
{
    if (id < 1 || static_cast<size_t>(id) > properties_.size()) return nullptr;
    return &properties_[id - 1];
}

void PropertyBag::Store(DISPID id, const VARIANT& value)
{
    const DispatchName* property = Find(id);
    if (!property) Fail(DISP_E_MEMBERNOTFOUND, "no such property");
    // A failed put is not recorded, as if the host's setter had raised an error.
    Check(InjectedPutFailure(property->name), "injected put failure");
    StoredVariant current(value);
    puts_.push_back(PutRecord{property->name, StoredVariant(value)});
    values_[id - 1] = std::move(current);
}

void PropertyBag::Load(DISPID id, VARIANT* out) const
{
    if (!out) Fail(E_POINTER, "no place for the value");
    VariantInit(out);
    if (!Find(id)) Fail(DISP_E_MEMBERNOTFOUND, "no such property");
    Check(values_[id - 1].CopyTo(out), "copy the value");
}

HRESULT PropertyBag::Put(DISPID id, const VARIANT& value)
{
    return Guarded([&] { Store(id, value); });
}

HRESULT PropertyBag::Get(DISPID id, VARIANT* out) const
{
    return Guarded([&] { Load(id, out); });
}

HRESULT PropertyBag::Invoke(DISPID id, REFIID riid, WORD flags, DISPPARAMS* params, VARIANT* result)
{
    if (!IsEqualIID(riid, IID_NULL)) return DISP_E_UNKNOWNINTERFACE;
    if (!Find(id)) return DISP_E_MEMBERNOTFOUND;
    return Guarded([&] {
        InvokeArgs args(params);
        if (flags & (DISPATCH_PROPERTYPUT | DISPATCH_PROPERTYPUTREF)) {
            args.Expect(1, 1);
            Store(id, Referenced(*args.at(0)));
        } else if (flags & (DISPATCH_PROPERTYGET | DISPATCH_METHOD)) {
            args.Expect(0, 0);
            if (result) Load(id, result);
        } else {
            Fail(DISP_E_MEMBERNOTFOUND, "unsupported call kind");
        }
    });
}

} // namespace zebhost
