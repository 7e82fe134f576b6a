// What the component uses of the host's objects: its classes, created through
// COM by CLSID, and the Collection the host passes in.
#pragma once
#include <windows.h>
#include <oaidl.h>

#include "Owners.h"
#include "ZebMachine.h"

namespace kavro {

// Creates objects of one host class, one new object per call, through the
// class factory that COM hands out for the CLSID (obtained once).
class HostClass {
public:
    HostClass(REFCLSID clsid, REFIID iid, const wchar_t* className);

protected:
    // Stores the new object's interface iid, with its one reference, in *object.
    void CreateObject(void** object);

private:
    ComPtr<IClassFactory> factory_;
    const IID& iid_;
    const wchar_t* className_;
};

template <class Interface>
class HostFactory : HostClass {
public:
    using HostClass::HostClass;
    ComPtr<Interface> Create()
    {
        ComPtr<Interface> object;
        CreateObject(reinterpret_cast<void**>(object.GetAddressOf()));
        return object;
    }
};

struct CardDataFactory : HostFactory<_clsCardData> {
    CardDataFactory() : HostFactory(CLSID_clsCardData, IID__clsCardData, L"clsCardData") {}
};

struct MachineItemFactory : HostFactory<_clsMachineItem> {
    MachineItemFactory() : HostFactory(CLSID_clsMachineItem, IID__clsMachineItem, L"clsMachineItem") {}
};

// A property put by name through the object's IDispatch, as late-bound Basic
// does it: the name looked up, then DISPATCH_PROPERTYPUT with the one argument
// named DISPID_PROPERTYPUT. value is only borrowed.
void PutByName(IDispatch& object, const wchar_t* className, const wchar_t* property, const VARIANT& value);

// Appends item to the end of the host's collection, without a key.
// A missing collection is an "Object required" failure.
void AppendToCollection(_Collection* collection, IDispatch* item, const wchar_t* parameter);

} // namespace kavro
