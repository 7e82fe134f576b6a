// _clsMachine: the default interface of clsMachine, declared in the
// component's own type library. Its function table has three reserved entries
// after IDispatch, then the six members.
#pragma once
#include <windows.h>
#include <oaidl.h>

#include "ZebMachine.h"  // _Collection, _Recordset, IMachine

struct _clsMachine : public IDispatch
{
    // Entries 7 to 9 carry no member; they answer E_NOTIMPL.
    virtual HRESULT STDMETHODCALLTYPE Reserved7() = 0;
    virtual HRESULT STDMETHODCALLTYPE Reserved8() = 0;
    virtual HRESULT STDMETHODCALLTYPE Reserved9() = 0;

    virtual HRESULT STDMETHODCALLTYPE IMachine_funcRegister(_Collection** col, VARIANT_BOOL blnPort,
        short iPortMin, short iPortMax, BSTR strIPMin, BSTR strIPMax, short imin, short imax,
        BSTR* strMsg, VARIANT_BOOL* result) = 0;
    virtual HRESULT STDMETHODCALLTYPE IMachine_funcBackFingure(VARIANT_BOOL blnPort, BSTR strIp,
        short iPort, short imachineno, BSTR sPersonNum, _Recordset** rsData, BSTR* strMsg,
        VARIANT_BOOL* result) = 0;
    virtual HRESULT STDMETHODCALLTYPE IMachine_funcReWrite(VARIANT_BOOL blnPort, BSTR strIp,
        short iPort, short imachineno, BSTR sPersonNum, _Recordset* rsData, BSTR* strMsg,
        VARIANT_BOOL* result) = 0;
    virtual HRESULT STDMETHODCALLTYPE IMachine_DownloadCarddata(VARIANT_BOOL blnPort, BSTR strIp,
        short iPort, short imachineno, _Collection** cdata, BSTR* strMsg, VARIANT_BOOL* result) = 0;
    virtual HRESULT STDMETHODCALLTYPE IMachine_funcWriteCard(VARIANT_BOOL blnPort, BSTR strIp,
        short iPort, short imachineno, _Collection* clsPeroncard, BSTR* strMsg,
        VARIANT_BOOL* result) = 0;
    virtual HRESULT STDMETHODCALLTYPE IMachine_delCardData(VARIANT_BOOL blnPort, BSTR strIp,
        short iPort, short imachineno, VARIANT_BOOL* result) = 0;
};

// The function table must read off as the type library describes it.
static_assert(sizeof(void*) == 4, "Kavro.dll is a 32-bit component");
