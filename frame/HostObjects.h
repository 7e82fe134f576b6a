// What the component uses of the host's objects: its classes, created through
// COM by CLSID, and the Collection the host passes in.
#pragma once
#include <windows.h>
#include <oaidl.h>

#include "Owners.h"
#include "ZebMachine.h"

namespace kavro {

// Creates clsCardData objects, one new object per call, through the class
// factory that COM hands out for the CLSID (obtained once).
class CardDataFactory {
public:
    CardDataFactory();
    ComPtr<_clsCardData> Create();

private:
    ComPtr<IClassFactory> factory_;
};

// Appends item to the end of the host's collection, without a key.
// A missing collection is an "Object required" failure.
void AppendToCollection(_Collection* collection, IDispatch* item, const wchar_t* parameter);

} // namespace kavro
