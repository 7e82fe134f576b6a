// Name lookup and argument handling shared by the hand-written IDispatch of
// every object here: no type library needs to be registered for late binding.
#include "HostObjects.h"

namespace zebhost {

HRESULT LookUpNames(std::span<const DispatchName> table, REFIID riid, LPOLESTR* names,
                    UINT count, DISPID* ids)
{
    if (!IsEqualIID(riid, IID_NULL)) return DISP_E_UNKNOWNINTERFACE;
    if (count == 0) return S_OK;
    if (!names || !ids) return E_POINTER;
    // Only member names are known; argument names (names[1...]) never are.
    for (UINT i = 0; i < count; ++i) ids[i] = DISPID_UNKNOWN;
    if (!names[0]) return DISP_E_UNKNOWNNAME;
    for (const DispatchName& row : table) {
        if (CompareStringOrdinal(names[0], -1, row.name, -1, TRUE) == CSTR_EQUAL) {
            ids[0] = row.id;
            return count == 1 ? S_OK : DISP_E_UNKNOWNNAME;
        }
    }
    return DISP_E_UNKNOWNNAME;
}

InvokeArgs::InvokeArgs(const DISPPARAMS* params) : params_(params), count_(params ? params->cArgs : 0)
{
    if (!params) return;
    if (count_ && !params->rgvarg) Fail(E_POINTER, "arguments missing");
    for (UINT i = 0; i < params->cNamedArgs; ++i) {
        if (!params->rgdispidNamedArgs || params->rgdispidNamedArgs[i] != DISPID_PROPERTYPUT)
            Fail(DISP_E_NONAMEDARGS, "named arguments are not supported");
    }
}

void InvokeArgs::Expect(UINT min, UINT max) const
{
    if (count_ < min || count_ > max) Fail(DISP_E_BADPARAMCOUNT, "wrong number of arguments");
}

} // namespace zebhost
