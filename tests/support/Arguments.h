// Arguments for IDispatch::Invoke, built as a host or a script passes them.
// None owns what it holds: the caller keeps the owner alive.
#pragma once
#include <windows.h>
#include <oaidl.h>

#include <vector>

#include "frame/Owners.h"

namespace kavro::test {

inline VARIANT Bool(VARIANT_BOOL value) { VARIANT v; V_VT(&v) = VT_BOOL; V_BOOL(&v) = value; return v; }
inline VARIANT I2(SHORT value) { VARIANT v; V_VT(&v) = VT_I2; V_I2(&v) = value; return v; }
inline VARIANT I4(LONG value) { VARIANT v; V_VT(&v) = VT_I4; V_I4(&v) = value; return v; }
inline VARIANT Text(BSTR value) { VARIANT v; V_VT(&v) = VT_BSTR; V_BSTR(&v) = value; return v; }
inline VARIANT Text(const Bstr& value) { return Text(value.get()); }
inline VARIANT TextRef(BSTR* value) { VARIANT v; V_VT(&v) = VT_BYREF | VT_BSTR; V_BSTRREF(&v) = value; return v; }
inline VARIANT Object(IUnknown* value) { VARIANT v; V_VT(&v) = VT_UNKNOWN; V_UNKNOWN(&v) = value; return v; }
inline VARIANT Dispatch(IDispatch* value) { VARIANT v; V_VT(&v) = VT_DISPATCH; V_DISPATCH(&v) = value; return v; }
inline VARIANT DispatchRef(IDispatch** value)
{
    VARIANT v;
    V_VT(&v) = VT_BYREF | VT_DISPATCH;
    V_DISPATCHREF(&v) = value;
    return v;
}
// VT_BYREF|VT_VARIANT, as a script passes its variables.
inline VARIANT Ref(VARIANT* target) { VARIANT v; V_VT(&v) = VT_BYREF | VT_VARIANT; V_VARIANTREF(&v) = target; return v; }
// An optional argument left out.
inline VARIANT Missing() { VARIANT v; V_VT(&v) = VT_ERROR; V_ERROR(&v) = DISP_E_PARAMNOTFOUND; return v; }

// IDispatch::Invoke with positional arguments given first to last, as a caller
// writes them. A property put passes its one argument as the value put.
inline HRESULT InvokeWith(IDispatch* target, DISPID id, WORD flags, std::vector<VARIANT> args,
                          VARIANT* result = nullptr, EXCEPINFO* failure = nullptr, UINT* argErr = nullptr)
{
    std::vector<VARIANT> reversed(args.rbegin(), args.rend());
    DISPID namedPut = DISPID_PROPERTYPUT;
    DISPPARAMS params{reversed.data(), nullptr, static_cast<UINT>(reversed.size()), 0};
    if (flags & DISPATCH_PROPERTYPUT) {
        params.rgdispidNamedArgs = &namedPut;
        params.cNamedArgs = 1;
    }
    return target->Invoke(id, IID_NULL, LOCALE_USER_DEFAULT, flags, &params, result, failure, argErr);
}

} // namespace kavro::test
