#include "clsMachine.h"

#include <cstddef>
#include <new>

#include "Identity.h"
#include "MachineDispatch.h"
#include "Server.h"

namespace kavro {

clsMachine::clsMachine() { ObjectCreated(); }
clsMachine::~clsMachine() { ObjectDestroyed(); }

HRESULT clsMachine::Create(REFIID iid, void** object)
{
    auto* machine = new (std::nothrow) clsMachine();
    if (!machine) return E_OUTOFMEMORY;
    HRESULT hr = machine->QueryInterface(iid, object);
    machine->Release();
    return hr;
}

HRESULT clsMachine::QueryInterface(REFIID iid, void** object)
{
    if (!object) return E_POINTER;
    if (IsEqualIID(iid, IID_IUnknown) || IsEqualIID(iid, IID_IDispatch) || IsEqualIID(iid, IID__clsMachine)) {
        *object = static_cast<_clsMachine*>(&default_);
    } else if (IsEqualIID(iid, IID_IMachine)) {
        *object = static_cast<IMachine*>(&machine_);
    } else if (IsEqualIID(iid, IID_ISupportErrorInfo)) {
        *object = static_cast<ISupportErrorInfo*>(&errorInfo_);
    } else {
        *object = nullptr;
        return E_NOINTERFACE;
    }
    AddRef();
    return S_OK;
}

ULONG clsMachine::AddRef() { return InterlockedIncrement(&refs_); }

ULONG clsMachine::Release()
{
    ULONG refs = InterlockedDecrement(&refs_);
    if (refs == 0) delete this;
    return refs;
}

// The facets are members of a class with virtual functions; their offsets are
// still fixed, which is all impl_from needs.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Winvalid-offsetof"

clsMachine* clsMachine::impl_from(MachineFacet* iface)
{
    return reinterpret_cast<clsMachine*>(reinterpret_cast<char*>(iface) - offsetof(clsMachine, machine_));
}

clsMachine* clsMachine::impl_from(DefaultFacet* iface)
{
    return reinterpret_cast<clsMachine*>(reinterpret_cast<char*>(iface) - offsetof(clsMachine, default_));
}

clsMachine* clsMachine::impl_from(ErrorInfoFacet* iface)
{
    return reinterpret_cast<clsMachine*>(reinterpret_cast<char*>(iface) - offsetof(clsMachine, errorInfo_));
}

#pragma GCC diagnostic pop

// ---- IMachine ------------------------------------------------------------------

HRESULT clsMachine::MachineFacet::QueryInterface(REFIID iid, void** object)
{
    return impl_from(this)->QueryInterface(iid, object);
}
ULONG clsMachine::MachineFacet::AddRef() { return impl_from(this)->AddRef(); }
ULONG clsMachine::MachineFacet::Release() { return impl_from(this)->Release(); }

HRESULT clsMachine::MachineFacet::GetTypeInfoCount(UINT* count)
{
    if (!count) return E_POINTER;
    *count = 1;
    return S_OK;
}

HRESULT clsMachine::MachineFacet::GetTypeInfo(UINT index, LCID, ITypeInfo** info)
{
    return DispatchGetTypeInfo(Surface::Machine, index, info);
}

HRESULT clsMachine::MachineFacet::GetIDsOfNames(REFIID, LPOLESTR* names, UINT count, LCID, DISPID* ids)
{
    return DispatchGetIDsOfNames(Surface::Machine, names, count, ids);
}

HRESULT clsMachine::MachineFacet::Invoke(DISPID id, REFIID iid, LCID, WORD flags, DISPPARAMS* params,
                                         VARIANT* result, EXCEPINFO* excepInfo, UINT* argErr)
{
    return DispatchInvoke(*impl_from(this), Surface::Machine, id, iid, flags, params, result, excepInfo, argErr);
}

HRESULT clsMachine::MachineFacet::funcRegister(_Collection** col, VARIANT_BOOL blnPort, short iPortMin,
    short iPortMax, BSTR strIPMin, BSTR strIPMax, short imin, short imax, BSTR* strMsg, VARIANT_BOOL* result)
{
    return impl_from(this)->funcRegister(col, blnPort, iPortMin, iPortMax, strIPMin, strIPMax, imin, imax,
                                         strMsg, result);
}

HRESULT clsMachine::MachineFacet::funcBackFingure(VARIANT_BOOL blnPort, BSTR strIp, short iPort,
    short imachineno, BSTR sPersonNum, _Recordset** rsData, BSTR* strMsg, VARIANT_BOOL* result)
{
    return impl_from(this)->funcBackFingure(blnPort, strIp, iPort, imachineno, sPersonNum, rsData, strMsg,
                                            result);
}

HRESULT clsMachine::MachineFacet::funcReWrite(VARIANT_BOOL blnPort, BSTR strIp, short iPort,
    short imachineno, BSTR sPersonNum, _Recordset* rsData, BSTR* strMsg, VARIANT_BOOL* result)
{
    return impl_from(this)->funcReWrite(blnPort, strIp, iPort, imachineno, sPersonNum, rsData, strMsg, result);
}

HRESULT clsMachine::MachineFacet::DownloadCarddata(VARIANT_BOOL blnPort, BSTR strIp, short iPort,
    short imachineno, _Collection** cdata, BSTR* strMsg, VARIANT_BOOL* result)
{
    return impl_from(this)->DownloadCarddata(blnPort, strIp, iPort, imachineno, cdata, strMsg, result);
}

HRESULT clsMachine::MachineFacet::funcWriteCard(VARIANT_BOOL blnPort, BSTR strIp, short iPort,
    short imachineno, _Collection* clsPeroncard, BSTR* strMsg, VARIANT_BOOL* result)
{
    return impl_from(this)->funcWriteCard(blnPort, strIp, iPort, imachineno, clsPeroncard, strMsg, result);
}

HRESULT clsMachine::MachineFacet::delCardData(VARIANT_BOOL blnPort, BSTR strIp, short iPort,
    short imachineno, VARIANT_BOOL* result)
{
    return impl_from(this)->delCardData(blnPort, strIp, iPort, imachineno, result);
}

// ---- _clsMachine ---------------------------------------------------------------

HRESULT clsMachine::DefaultFacet::QueryInterface(REFIID iid, void** object)
{
    return impl_from(this)->QueryInterface(iid, object);
}
ULONG clsMachine::DefaultFacet::AddRef() { return impl_from(this)->AddRef(); }
ULONG clsMachine::DefaultFacet::Release() { return impl_from(this)->Release(); }

HRESULT clsMachine::DefaultFacet::GetTypeInfoCount(UINT* count)
{
    if (!count) return E_POINTER;
    *count = 1;
    return S_OK;
}

HRESULT clsMachine::DefaultFacet::GetTypeInfo(UINT index, LCID, ITypeInfo** info)
{
    return DispatchGetTypeInfo(Surface::Default, index, info);
}

HRESULT clsMachine::DefaultFacet::GetIDsOfNames(REFIID, LPOLESTR* names, UINT count, LCID, DISPID* ids)
{
    return DispatchGetIDsOfNames(Surface::Default, names, count, ids);
}

HRESULT clsMachine::DefaultFacet::Invoke(DISPID id, REFIID iid, LCID, WORD flags, DISPPARAMS* params,
                                         VARIANT* result, EXCEPINFO* excepInfo, UINT* argErr)
{
    return DispatchInvoke(*impl_from(this), Surface::Default, id, iid, flags, params, result, excepInfo, argErr);
}

// The three entries carry no member.
HRESULT clsMachine::DefaultFacet::Reserved7() { return E_NOTIMPL; }
HRESULT clsMachine::DefaultFacet::Reserved8() { return E_NOTIMPL; }
HRESULT clsMachine::DefaultFacet::Reserved9() { return E_NOTIMPL; }

HRESULT clsMachine::DefaultFacet::IMachine_funcRegister(_Collection** col, VARIANT_BOOL blnPort,
    short iPortMin, short iPortMax, BSTR strIPMin, BSTR strIPMax, short imin, short imax, BSTR* strMsg,
    VARIANT_BOOL* result)
{
    return impl_from(this)->funcRegister(col, blnPort, iPortMin, iPortMax, strIPMin, strIPMax, imin, imax,
                                         strMsg, result);
}

HRESULT clsMachine::DefaultFacet::IMachine_funcBackFingure(VARIANT_BOOL blnPort, BSTR strIp, short iPort,
    short imachineno, BSTR sPersonNum, _Recordset** rsData, BSTR* strMsg, VARIANT_BOOL* result)
{
    return impl_from(this)->funcBackFingure(blnPort, strIp, iPort, imachineno, sPersonNum, rsData, strMsg,
                                            result);
}

HRESULT clsMachine::DefaultFacet::IMachine_funcReWrite(VARIANT_BOOL blnPort, BSTR strIp, short iPort,
    short imachineno, BSTR sPersonNum, _Recordset* rsData, BSTR* strMsg, VARIANT_BOOL* result)
{
    return impl_from(this)->funcReWrite(blnPort, strIp, iPort, imachineno, sPersonNum, rsData, strMsg, result);
}

HRESULT clsMachine::DefaultFacet::IMachine_DownloadCarddata(VARIANT_BOOL blnPort, BSTR strIp, short iPort,
    short imachineno, _Collection** cdata, BSTR* strMsg, VARIANT_BOOL* result)
{
    return impl_from(this)->DownloadCarddata(blnPort, strIp, iPort, imachineno, cdata, strMsg, result);
}

HRESULT clsMachine::DefaultFacet::IMachine_funcWriteCard(VARIANT_BOOL blnPort, BSTR strIp, short iPort,
    short imachineno, _Collection* clsPeroncard, BSTR* strMsg, VARIANT_BOOL* result)
{
    return impl_from(this)->funcWriteCard(blnPort, strIp, iPort, imachineno, clsPeroncard, strMsg, result);
}

HRESULT clsMachine::DefaultFacet::IMachine_delCardData(VARIANT_BOOL blnPort, BSTR strIp, short iPort,
    short imachineno, VARIANT_BOOL* result)
{
    return impl_from(this)->delCardData(blnPort, strIp, iPort, imachineno, result);
}

// ---- ISupportErrorInfo ---------------------------------------------------------

HRESULT clsMachine::ErrorInfoFacet::QueryInterface(REFIID iid, void** object)
{
    return impl_from(this)->QueryInterface(iid, object);
}
ULONG clsMachine::ErrorInfoFacet::AddRef() { return impl_from(this)->AddRef(); }
ULONG clsMachine::ErrorInfoFacet::Release() { return impl_from(this)->Release(); }

HRESULT clsMachine::ErrorInfoFacet::InterfaceSupportsErrorInfo(REFIID iid)
{
    return (IsEqualIID(iid, IID_IMachine) || IsEqualIID(iid, IID__clsMachine)) ? S_OK : S_FALSE;
}

// ---- Connection ----------------------------------------------------------------

clsMachine::Connection::Connection(VARIANT_BOOL blnPort, BSTR strIp, short iPort, short imachineno)
    : blnPort(blnPort), strIp(nullptr), iPort(iPort), imachineno(imachineno)
{
    if (strIp) {
        this->strIp = SysAllocStringLen(strIp, SysStringLen(strIp));
        if (!this->strIp) throw std::bad_alloc();
    }
}

clsMachine::Connection::~Connection() { SysFreeString(strIp); }

} // namespace kavro
