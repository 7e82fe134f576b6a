// Test interface of the host stand-in (ZebMachine.dll): what the host's
// objects were given, how many are alive, and failures to inject.
// Exported stdcall, undecorated, from ZebMachine.dll.
#pragma once
#include <windows.h>
#include <oaidl.h>

#ifdef __cplusplus
extern "C" {
#endif

// Inside the objects' own code no decoration: ZebMachine.dll exports through
// its .def file, and a program that links the objects exports nothing.
#ifdef HOSTSTUB_BUILDING
#define HOSTSTUB_API __stdcall
#else
#define HOSTSTUB_API __declspec(dllimport) __stdcall
#endif

enum HostStubKind {
    HOSTSTUB_MachineItem = 0,
    HOSTSTUB_CardData,
    HOSTSTUB_Collection,
    HOSTSTUB_KIND_COUNT
};

// Objects of a kind alive now / created since the last reset.
LONG HOSTSTUB_API HostStub_LiveObjects(int kind);
LONG HOSTSTUB_API HostStub_CreatedObjects(int kind);
// Clears counters of created objects and every injected failure (live objects stay).
void HOSTSTUB_API HostStub_Reset(void);

// What was put on a clsMachineItem or clsCardData, in order, through either
// IDispatch (by name or DISPID) or the vtable. name is the property name as
// the object knows it ("vCardNo", "imachineno", ...); value keeps its VARIANT type.
// Returns FALSE when obj is not one of ours or index is out of range.
LONG HOSTSTUB_API HostStub_PutCount(IUnknown* obj);
BOOL HOSTSTUB_API HostStub_GetPut(IUnknown* obj, LONG index, BSTR* name, VARIANT* value);

// Every Add made on a stand-in Collection, in order: the item and whether
// Key, Before and After were omitted (NULL, VT_EMPTY... is not "omitted":
// omitted means VT_ERROR with DISP_E_PARAMNOTFOUND, or a NULL pointer).
LONG HOSTSTUB_API HostStub_AddCount(IUnknown* collection);
BOOL HOSTSTUB_API HostStub_GetAdd(IUnknown* collection, LONG index, VARIANT* item,
                                  BOOL* keyOmitted, BOOL* beforeOmitted, BOOL* afterOmitted);

// Injected failures, counted from the moment they are set; each fires once.
// nth = 1 fails the next matching call. hr is what that call returns.
void HOSTSTUB_API HostStub_FailCreate(int kind, LONG nth, HRESULT hr);   // class factory CreateInstance
void HOSTSTUB_API HostStub_FailPut(const WCHAR* name, LONG nth, HRESULT hr); // a put of this property
void HOSTSTUB_API HostStub_FailAdd(LONG nth, HRESULT hr);                // Collection.Add

#ifdef __cplusplus
}
#endif
