// Late binding for clsMachine's two dual interfaces: one DISPID table per
// interface, and argument coercion in one place.
#pragma once
#include <windows.h>
#include <oaidl.h>

namespace kavro {

class clsMachine;

enum class Surface {
    Machine,  // IMachine: the host's names and DISPIDs
    Default,  // _clsMachine: IMachine_ names, delCardData at 0x60030006
};

HRESULT DispatchGetIDsOfNames(Surface surface, LPOLESTR* names, UINT count, DISPID* ids);
HRESULT DispatchGetTypeInfo(Surface surface, UINT index, ITypeInfo** info);
HRESULT DispatchInvoke(clsMachine& object, Surface surface, DISPID id, REFIID iid, WORD flags,
                       DISPPARAMS* params, VARIANT* result, EXCEPINFO* excepInfo, UINT* argErr);

} // namespace kavro
