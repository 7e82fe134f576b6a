#include "clsMachine.h"

#include <new>

#include "Identity.h"
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

// ---- The facets' IUnknown and IDispatch ---------------------------------------

template <class Interface>
HRESULT clsMachine::Facet<Interface>::QueryInterface(REFIID iid, void** object)
{
    return owner_.QueryInterface(iid, object);
}

template <class Interface>
ULONG clsMachine::Facet<Interface>::AddRef() { return owner_.AddRef(); }

template <class Interface>
ULONG clsMachine::Facet<Interface>::Release() { return owner_.Release(); }

template <class Interface, Surface surface>
HRESULT clsMachine::DispatchFacet<Interface, surface>::GetTypeInfoCount(UINT* count)
{
    if (!count) return E_POINTER;
    *count = 1;
    return S_OK;
}

template <class Interface, Surface surface>
HRESULT clsMachine::DispatchFacet<Interface, surface>::GetTypeInfo(UINT index, LCID, ITypeInfo** info)
{
    return DispatchGetTypeInfo(surface, index, info);
}

template <class Interface, Surface surface>
HRESULT clsMachine::DispatchFacet<Interface, surface>::GetIDsOfNames(REFIID, LPOLESTR* names, UINT count, LCID,
                                                                     DISPID* ids)
{
    return DispatchGetIDsOfNames(surface, names, count, ids);
}

template <class Interface, Surface surface>
HRESULT clsMachine::DispatchFacet<Interface, surface>::Invoke(DISPID id, REFIID iid, LCID, WORD flags,
    DISPPARAMS* params, VARIANT* result, EXCEPINFO* excepInfo, UINT* argErr)
{
    return DispatchInvoke(this->owner_, surface, id, iid, flags, params, result, excepInfo, argErr);
}

template class clsMachine::Facet<ISupportErrorInfo>;
template class clsMachine::DispatchFacet<IMachine, Surface::Machine>;
template class clsMachine::DispatchFacet<_clsMachine, Surface::Default>;

// ---- IMachine ------------------------------------------------------------------

HRESULT clsMachine::MachineFacet::funcRegister(_Collection** col, VARIANT_BOOL blnPort, short iPortMin,
    short iPortMax, BSTR strIPMin, BSTR strIPMax, short imin, short imax, BSTR* strMsg, VARIANT_BOOL* result)
{
    return owner_.funcRegister(col, blnPort, iPortMin, iPortMax, strIPMin, strIPMax, imin, imax, strMsg, result);
}

HRESULT clsMachine::MachineFacet::funcBackFingure(VARIANT_BOOL blnPort, BSTR strIp, short iPort,
    short imachineno, BSTR sPersonNum, _Recordset** rsData, BSTR* strMsg, VARIANT_BOOL* result)
{
    return owner_.funcBackFingure(blnPort, strIp, iPort, imachineno, sPersonNum, rsData, strMsg, result);
}

HRESULT clsMachine::MachineFacet::funcReWrite(VARIANT_BOOL blnPort, BSTR strIp, short iPort,
    short imachineno, BSTR sPersonNum, _Recordset* rsData, BSTR* strMsg, VARIANT_BOOL* result)
{
    return owner_.funcReWrite(blnPort, strIp, iPort, imachineno, sPersonNum, rsData, strMsg, result);
}

HRESULT clsMachine::MachineFacet::DownloadCarddata(VARIANT_BOOL blnPort, BSTR strIp, short iPort,
    short imachineno, _Collection** cdata, BSTR* strMsg, VARIANT_BOOL* result)
{
    return owner_.DownloadCarddata(blnPort, strIp, iPort, imachineno, cdata, strMsg, result);
}

HRESULT clsMachine::MachineFacet::funcWriteCard(VARIANT_BOOL blnPort, BSTR strIp, short iPort,
    short imachineno, _Collection* clsPeroncard, BSTR* strMsg, VARIANT_BOOL* result)
{
    return owner_.funcWriteCard(blnPort, strIp, iPort, imachineno, clsPeroncard, strMsg, result);
}

HRESULT clsMachine::MachineFacet::delCardData(VARIANT_BOOL blnPort, BSTR strIp, short iPort,
    short imachineno, VARIANT_BOOL* result)
{
    return owner_.delCardData(blnPort, strIp, iPort, imachineno, result);
}

// ---- _clsMachine ---------------------------------------------------------------

// The three entries carry no member.
HRESULT clsMachine::DefaultFacet::Reserved7() { return E_NOTIMPL; }
HRESULT clsMachine::DefaultFacet::Reserved8() { return E_NOTIMPL; }
HRESULT clsMachine::DefaultFacet::Reserved9() { return E_NOTIMPL; }

HRESULT clsMachine::DefaultFacet::IMachine_funcRegister(_Collection** col, VARIANT_BOOL blnPort,
    short iPortMin, short iPortMax, BSTR strIPMin, BSTR strIPMax, short imin, short imax, BSTR* strMsg,
    VARIANT_BOOL* result)
{
    return owner_.funcRegister(col, blnPort, iPortMin, iPortMax, strIPMin, strIPMax, imin, imax, strMsg, result);
}

HRESULT clsMachine::DefaultFacet::IMachine_funcBackFingure(VARIANT_BOOL blnPort, BSTR strIp, short iPort,
    short imachineno, BSTR sPersonNum, _Recordset** rsData, BSTR* strMsg, VARIANT_BOOL* result)
{
    return owner_.funcBackFingure(blnPort, strIp, iPort, imachineno, sPersonNum, rsData, strMsg, result);
}

HRESULT clsMachine::DefaultFacet::IMachine_funcReWrite(VARIANT_BOOL blnPort, BSTR strIp, short iPort,
    short imachineno, BSTR sPersonNum, _Recordset* rsData, BSTR* strMsg, VARIANT_BOOL* result)
{
    return owner_.funcReWrite(blnPort, strIp, iPort, imachineno, sPersonNum, rsData, strMsg, result);
}

HRESULT clsMachine::DefaultFacet::IMachine_DownloadCarddata(VARIANT_BOOL blnPort, BSTR strIp, short iPort,
    short imachineno, _Collection** cdata, BSTR* strMsg, VARIANT_BOOL* result)
{
    return owner_.DownloadCarddata(blnPort, strIp, iPort, imachineno, cdata, strMsg, result);
}

HRESULT clsMachine::DefaultFacet::IMachine_funcWriteCard(VARIANT_BOOL blnPort, BSTR strIp, short iPort,
    short imachineno, _Collection* clsPeroncard, BSTR* strMsg, VARIANT_BOOL* result)
{
    return owner_.funcWriteCard(blnPort, strIp, iPort, imachineno, clsPeroncard, strMsg, result);
}

HRESULT clsMachine::DefaultFacet::IMachine_delCardData(VARIANT_BOOL blnPort, BSTR strIp, short iPort,
    short imachineno, VARIANT_BOOL* result)
{
    return owner_.delCardData(blnPort, strIp, iPort, imachineno, result);
}

// ---- ISupportErrorInfo ---------------------------------------------------------

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
