// clsMachine: the component's one class. It implements the host's IMachine
// and its own default interface _clsMachine, whose members run the same
// operations. An object holds no data of its own beyond its reference count.
#pragma once
#include <windows.h>
#include <oaidl.h>

#include "DefaultInterface.h"
#include "MachineDispatch.h"
#include "ZebMachine.h"
#include "link/Records.h"

namespace kavro {

class clsMachine {
public:
    static HRESULT Create(REFIID iid, void** object);

    // The operations, each through the method frame. Bodies live in ops/.
    HRESULT funcRegister(_Collection** col, VARIANT_BOOL blnPort, short iPortMin, short iPortMax,
                         BSTR strIPMin, BSTR strIPMax, short imin, short imax, BSTR* strMsg,
                         VARIANT_BOOL* result);
    HRESULT funcBackFingure(VARIANT_BOOL blnPort, BSTR strIp, short iPort, short imachineno,
                            BSTR sPersonNum, _Recordset** rsData, BSTR* strMsg, VARIANT_BOOL* result);
    HRESULT funcReWrite(VARIANT_BOOL blnPort, BSTR strIp, short iPort, short imachineno,
                        BSTR sPersonNum, _Recordset* rsData, BSTR* strMsg, VARIANT_BOOL* result);
    HRESULT DownloadCarddata(VARIANT_BOOL blnPort, BSTR strIp, short iPort, short imachineno,
                             _Collection** cdata, BSTR* strMsg, VARIANT_BOOL* result);
    HRESULT funcWriteCard(VARIANT_BOOL blnPort, BSTR strIp, short iPort, short imachineno,
                          _Collection* clsPeroncard, BSTR* strMsg, VARIANT_BOOL* result);
    HRESULT delCardData(VARIANT_BOOL blnPort, BSTR strIp, short iPort, short imachineno,
                        VARIANT_BOOL* result);

    // The connection arguments of one call, with the address text copied.
    struct Connection;

    // Fills a terminal address record from the connection values: the only
    // code that writes a field of a DevAddress.
    static void FillDevAddress(DevAddress& record, VARIANT_BOOL serial, const VARIANT& value,
                               short machineNo);
    // A cleared record filled from a call's connection arguments.
    static DevAddress AddressOf(const Connection& connection);

    IUnknown& Unknown() { return machine_; }

private:
    HRESULT QueryInterface(REFIID iid, void** object);
    ULONG AddRef();
    ULONG Release();

    clsMachine();
    ~clsMachine();

    // Every interface pointer handed out points at a facet; the facet passes
    // IUnknown on to the object.
    // Every interface pointer handed out points at a facet; the facet passes
    // IUnknown on to the object. Bodies are in clsMachine.cpp, the only place
    // facets are made.
    template <class Interface>
    class Facet : public Interface {
    public:
        explicit Facet(clsMachine& owner) : owner_(owner) {}
        HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override;
        ULONG STDMETHODCALLTYPE AddRef() override;
        ULONG STDMETHODCALLTYPE Release() override;

    protected:
        clsMachine& owner_;
    };

    // The IDispatch half of a dual interface, served from that interface's DISPID table.
    template <class Interface, Surface surface>
    class DispatchFacet : public Facet<Interface> {
    public:
        using Facet<Interface>::Facet;
        HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT* count) override;
        HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT index, LCID lcid, ITypeInfo** info) override;
        HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID iid, LPOLESTR* names, UINT count, LCID lcid,
                                                DISPID* ids) override;
        HRESULT STDMETHODCALLTYPE Invoke(DISPID id, REFIID iid, LCID lcid, WORD flags, DISPPARAMS* params,
                                         VARIANT* result, EXCEPINFO* excepInfo, UINT* argErr) override;
    };

    class MachineFacet final : public DispatchFacet<IMachine, Surface::Machine> {
    public:
        using DispatchFacet::DispatchFacet;
        HRESULT STDMETHODCALLTYPE funcRegister(_Collection** col, VARIANT_BOOL blnPort, short iPortMin,
            short iPortMax, BSTR strIPMin, BSTR strIPMax, short imin, short imax, BSTR* strMsg,
            VARIANT_BOOL* result) override;
        HRESULT STDMETHODCALLTYPE funcBackFingure(VARIANT_BOOL blnPort, BSTR strIp, short iPort,
            short imachineno, BSTR sPersonNum, _Recordset** rsData, BSTR* strMsg,
            VARIANT_BOOL* result) override;
        HRESULT STDMETHODCALLTYPE funcReWrite(VARIANT_BOOL blnPort, BSTR strIp, short iPort,
            short imachineno, BSTR sPersonNum, _Recordset* rsData, BSTR* strMsg,
            VARIANT_BOOL* result) override;
        HRESULT STDMETHODCALLTYPE DownloadCarddata(VARIANT_BOOL blnPort, BSTR strIp, short iPort,
            short imachineno, _Collection** cdata, BSTR* strMsg, VARIANT_BOOL* result) override;
        HRESULT STDMETHODCALLTYPE funcWriteCard(VARIANT_BOOL blnPort, BSTR strIp, short iPort,
            short imachineno, _Collection* clsPeroncard, BSTR* strMsg, VARIANT_BOOL* result) override;
        HRESULT STDMETHODCALLTYPE delCardData(VARIANT_BOOL blnPort, BSTR strIp, short iPort,
            short imachineno, VARIANT_BOOL* result) override;
    };

    class DefaultFacet final : public DispatchFacet<_clsMachine, Surface::Default> {
    public:
        using DispatchFacet::DispatchFacet;
        HRESULT STDMETHODCALLTYPE Reserved7() override;
        HRESULT STDMETHODCALLTYPE Reserved8() override;
        HRESULT STDMETHODCALLTYPE Reserved9() override;
        HRESULT STDMETHODCALLTYPE IMachine_funcRegister(_Collection** col, VARIANT_BOOL blnPort,
            short iPortMin, short iPortMax, BSTR strIPMin, BSTR strIPMax, short imin, short imax,
            BSTR* strMsg, VARIANT_BOOL* result) override;
        HRESULT STDMETHODCALLTYPE IMachine_funcBackFingure(VARIANT_BOOL blnPort, BSTR strIp, short iPort,
            short imachineno, BSTR sPersonNum, _Recordset** rsData, BSTR* strMsg,
            VARIANT_BOOL* result) override;
        HRESULT STDMETHODCALLTYPE IMachine_funcReWrite(VARIANT_BOOL blnPort, BSTR strIp, short iPort,
            short imachineno, BSTR sPersonNum, _Recordset* rsData, BSTR* strMsg,
            VARIANT_BOOL* result) override;
        HRESULT STDMETHODCALLTYPE IMachine_DownloadCarddata(VARIANT_BOOL blnPort, BSTR strIp, short iPort,
            short imachineno, _Collection** cdata, BSTR* strMsg, VARIANT_BOOL* result) override;
        HRESULT STDMETHODCALLTYPE IMachine_funcWriteCard(VARIANT_BOOL blnPort, BSTR strIp, short iPort,
            short imachineno, _Collection* clsPeroncard, BSTR* strMsg, VARIANT_BOOL* result) override;
        HRESULT STDMETHODCALLTYPE IMachine_delCardData(VARIANT_BOOL blnPort, BSTR strIp, short iPort,
            short imachineno, VARIANT_BOOL* result) override;
    };

    class ErrorInfoFacet final : public Facet<ISupportErrorInfo> {
    public:
        using Facet::Facet;
        HRESULT STDMETHODCALLTYPE InterfaceSupportsErrorInfo(REFIID iid) override;
    };

    MachineFacet machine_{*this};
    DefaultFacet default_{*this};
    ErrorInfoFacet errorInfo_{*this};
    LONG volatile refs_ = 1;
};

struct clsMachine::Connection {
    VARIANT_BOOL blnPort;
    BSTR strIp;       // owned copy; NULL is the empty string
    short iPort;
    short imachineno;

    Connection(VARIANT_BOOL blnPort, BSTR strIp, short iPort, short imachineno);
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;
    ~Connection();
};

} // namespace kavro
