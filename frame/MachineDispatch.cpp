#include "MachineDispatch.h"

#include <array>
#include <span>
#include <utility>

#include "Identity.h"
#include "Owners.h"
#include "Server.h"
#include "ZebMachine.h"
#include "clsMachine.h"

namespace kavro {
namespace {

enum class Member { funcRegister, funcBackFingure, funcReWrite, DownloadCarddata, funcWriteCard, delCardData };

// How an argument arrives in the vtable call.
enum class Arg {
    Bool,          // VARIANT_BOOL
    Int,           // 16-bit integer
    Text,          // BSTR by value
    TextRef,       // BSTR*
    Collection,    // _Collection*
    CollectionRef, // _Collection**
    Recordset,     // _Recordset*
    RecordsetRef,  // _Recordset**
};

struct Param {
    const wchar_t* name;
    Arg arg;
};

struct Signature {
    Member member;
    std::span<const Param> params;
};

constexpr Param kConnection[] = {
    {L"blnPort", Arg::Bool}, {L"strIp", Arg::Text}, {L"iPort", Arg::Int}, {L"imachineno", Arg::Int}};

constexpr Param kRegister[] = {
    {L"col", Arg::CollectionRef}, {L"blnPort", Arg::Bool}, {L"iPortMin", Arg::Int}, {L"iPortMax", Arg::Int},
    {L"strIPMin", Arg::Text}, {L"strIPMax", Arg::Text}, {L"imin", Arg::Int}, {L"imax", Arg::Int},
    {L"strMsg", Arg::TextRef}};
constexpr Param kBackFingure[] = {
    kConnection[0], kConnection[1], kConnection[2], kConnection[3],
    {L"sPersonNum", Arg::Text}, {L"rsData", Arg::RecordsetRef}, {L"strMsg", Arg::TextRef}};
constexpr Param kReWrite[] = {
    kConnection[0], kConnection[1], kConnection[2], kConnection[3],
    {L"sPersonNum", Arg::Text}, {L"rsData", Arg::Recordset}, {L"strMsg", Arg::TextRef}};
constexpr Param kDownload[] = {
    kConnection[0], kConnection[1], kConnection[2], kConnection[3],
    {L"cdata", Arg::CollectionRef}, {L"strMsg", Arg::TextRef}};
constexpr Param kWriteCard[] = {
    kConnection[0], kConnection[1], kConnection[2], kConnection[3],
    {L"clsPeroncard", Arg::Collection}, {L"strMsg", Arg::TextRef}};

constexpr Signature kSignatures[] = {
    {Member::funcRegister, kRegister},
    {Member::funcBackFingure, kBackFingure},
    {Member::funcReWrite, kReWrite},
    {Member::DownloadCarddata, kDownload},
    {Member::funcWriteCard, kWriteCard},
    {Member::delCardData, kConnection},
};

struct Entry {
    DISPID id;
    const wchar_t* name;
    Member member;
};

constexpr Entry kMachineTable[] = {
    {0x60030000, L"funcRegister", Member::funcRegister},
    {0x60030001, L"funcBackFingure", Member::funcBackFingure},
    {0x60030002, L"funcReWrite", Member::funcReWrite},
    {0x60030003, L"DownloadCarddata", Member::DownloadCarddata},
    {0x60030004, L"funcWriteCard", Member::funcWriteCard},
    {0x60030005, L"delCardData", Member::delCardData},
};

constexpr Entry kDefaultTable[] = {
    {0x60030000, L"IMachine_funcRegister", Member::funcRegister},
    {0x60030001, L"IMachine_funcBackFingure", Member::funcBackFingure},
    {0x60030002, L"IMachine_funcReWrite", Member::funcReWrite},
    {0x60030003, L"IMachine_DownloadCarddata", Member::DownloadCarddata},
    {0x60030004, L"IMachine_funcWriteCard", Member::funcWriteCard},
    {0x60030006, L"IMachine_delCardData", Member::delCardData},
};

std::span<const Entry> TableOf(Surface surface)
{
    return surface == Surface::Machine ? std::span<const Entry>(kMachineTable)
                                       : std::span<const Entry>(kDefaultTable);
}

const Signature& SignatureOf(Member member) { return kSignatures[static_cast<int>(member)]; }

bool SameName(const wchar_t* a, const wchar_t* b) { return CompareStringOrdinal(a, -1, b, -1, TRUE) == CSTR_EQUAL; }

// ---- Argument coercion ---------------------------------------------------------

// One argument made ready for the vtable call. By-reference text points into
// the caller's VARIANT so that a replaced string goes back to the caller; a
// script variable that holds no string gets one only when the method sets it.
struct Ready {
    VARIANT_BOOL boolean = VARIANT_FALSE;
    short integer = 0;
    Variant value;             // coerced copy of a by-value argument
    BSTR* textRef = nullptr;
    BSTR localText = nullptr;  // the method's string when the caller's slot holds no BSTR
    BSTR copy = nullptr;       // what localText started as (not owned; compared only)
    VARIANT* writeBack = nullptr;  // the caller's variable that receives localText once set
    ComPtr<IUnknown> object;   // _Collection or _Recordset
    IUnknown* objectSlot = nullptr;

    Ready() = default;
    Ready(const Ready&) = delete;
    ~Ready() { SysFreeString(localText); }

    // After the call: a string the method put in place of the copy goes to the
    // caller. A replacement is allocated before the copy is freed, so it never
    // has the copy's address.
    void Deliver()
    {
        if (!writeBack || localText == copy) return;
        VariantClear(writeBack);
        V_VT(writeBack) = VT_BSTR;
        V_BSTR(writeBack) = std::exchange(localText, nullptr);
    }
};

// Unwraps VT_BYREF|VT_VARIANT, as scripts pass their variables.
VARIANT* Unwrap(VARIANT* arg)
{
    while (V_VT(arg) == (VT_BYREF | VT_VARIANT) && V_VARIANTREF(arg)) arg = V_VARIANTREF(arg);
    return arg;
}

// An argument left out (none is optional), or a reference to nothing.
HRESULT Absent(VARIANT* v)
{
    if (V_VT(v) == VT_ERROR && V_ERROR(v) == DISP_E_PARAMNOTFOUND) return DISP_E_PARAMNOTOPTIONAL;
    if ((V_VT(v) & VT_BYREF) && !V_BYREF(v)) return E_POINTER;
    return S_OK;
}

HRESULT CoerceScalar(VARIANT* arg, VARTYPE type, Variant& out)
{
    return VariantChangeType(out.get(), Unwrap(arg), 0, type);
}

HRESULT CoerceObject(VARIANT* arg, REFIID iid, Ready& ready)
{
    VARIANT* v = Unwrap(arg);
    IUnknown* given = nullptr;
    switch (V_VT(v)) {
    case VT_DISPATCH: given = V_DISPATCH(v); break;
    case VT_UNKNOWN: given = V_UNKNOWN(v); break;
    case VT_BYREF | VT_DISPATCH: given = *V_DISPATCHREF(v); break;
    case VT_BYREF | VT_UNKNOWN: given = *V_UNKNOWNREF(v); break;
    case VT_EMPTY:
    case VT_NULL: break;  // Nothing: the operation decides whether it needs the object
    default: return DISP_E_TYPEMISMATCH;
    }
    if (given) {
        HRESULT hr = given->QueryInterface(iid, reinterpret_cast<void**>(ready.object.GetAddressOf()));
        if (FAILED(hr)) return DISP_E_TYPEMISMATCH;
    }
    ready.objectSlot = ready.object.Get();
    return S_OK;
}

HRESULT CoerceTextRef(VARIANT* arg, Ready& ready)
{
    VARIANT* v = Unwrap(arg);
    if (V_VT(v) == (VT_BYREF | VT_BSTR)) {
        ready.textRef = V_BSTRREF(v);
        return S_OK;
    }
    if (v != arg && V_VT(v) == VT_BSTR) {
        ready.textRef = &V_BSTR(v);
        return S_OK;
    }
    // Anything else: the method works on a string copy; a script variable
    // (reached through VT_BYREF|VT_VARIANT) receives it only if the method sets it.
    Variant text;
    HRESULT hr = VariantChangeType(text.get(), v, 0, VT_BSTR);
    if (FAILED(hr)) return hr;
    ready.localText = ready.copy = V_BSTR(text.get());
    V_VT(text.get()) = VT_EMPTY;
    ready.textRef = &ready.localText;
    if (v != arg) ready.writeBack = v;
    return S_OK;
}

HRESULT Coerce(VARIANT* arg, Arg kind, Ready& ready)
{
    HRESULT hr = S_OK;
    switch (kind) {
    case Arg::Bool:
        hr = CoerceScalar(arg, VT_BOOL, ready.value);
        if (SUCCEEDED(hr)) ready.boolean = V_BOOL(ready.value.get());
        return hr;
    case Arg::Int:
        hr = CoerceScalar(arg, VT_I2, ready.value);
        if (SUCCEEDED(hr)) ready.integer = V_I2(ready.value.get());
        return hr;
    case Arg::Text:
        return CoerceScalar(arg, VT_BSTR, ready.value);
    case Arg::TextRef:
        return CoerceTextRef(arg, ready);
    case Arg::Collection:
    case Arg::CollectionRef:
        return CoerceObject(arg, IID__Collection, ready);
    case Arg::Recordset:
    case Arg::RecordsetRef:
        return CoerceObject(arg, IID__Recordset, ready);
    }
    return DISP_E_TYPEMISMATCH;
}

// ---- The call ------------------------------------------------------------------

BSTR TextOf(Ready& r) { return V_BSTR(r.value.get()); }
_Collection* CollectionOf(Ready& r) { return static_cast<_Collection*>(r.objectSlot); }
_Collection** CollectionRefOf(Ready& r) { return reinterpret_cast<_Collection**>(&r.objectSlot); }
_Recordset* RecordsetOf(Ready& r) { return static_cast<_Recordset*>(r.objectSlot); }
_Recordset** RecordsetRefOf(Ready& r) { return reinterpret_cast<_Recordset**>(&r.objectSlot); }

HRESULT CallMember(clsMachine& m, Member member, Ready* a, VARIANT_BOOL* result)
{
    switch (member) {
    case Member::funcRegister:
        return m.funcRegister(CollectionRefOf(a[0]), a[1].boolean, a[2].integer, a[3].integer, TextOf(a[4]),
                              TextOf(a[5]), a[6].integer, a[7].integer, a[8].textRef, result);
    case Member::funcBackFingure:
        return m.funcBackFingure(a[0].boolean, TextOf(a[1]), a[2].integer, a[3].integer, TextOf(a[4]),
                                 RecordsetRefOf(a[5]), a[6].textRef, result);
    case Member::funcReWrite:
        return m.funcReWrite(a[0].boolean, TextOf(a[1]), a[2].integer, a[3].integer, TextOf(a[4]),
                             RecordsetOf(a[5]), a[6].textRef, result);
    case Member::DownloadCarddata:
        return m.DownloadCarddata(a[0].boolean, TextOf(a[1]), a[2].integer, a[3].integer,
                                  CollectionRefOf(a[4]), a[5].textRef, result);
    case Member::funcWriteCard:
        return m.funcWriteCard(a[0].boolean, TextOf(a[1]), a[2].integer, a[3].integer, CollectionOf(a[4]),
                               a[5].textRef, result);
    case Member::delCardData:
        return m.delCardData(a[0].boolean, TextOf(a[1]), a[2].integer, a[3].integer, result);
    }
    return DISP_E_MEMBERNOTFOUND;
}

// A failure with error information reaches a late-bound client as an exception.
HRESULT ToException(HRESULT hr, EXCEPINFO* excepInfo)
{
    if (!excepInfo) return hr;
    *excepInfo = EXCEPINFO{};
    excepInfo->scode = hr;
    ComPtr<IErrorInfo> info;
    if (GetErrorInfo(0, &info) == S_OK) {
        info->GetSource(&excepInfo->bstrSource);
        info->GetDescription(&excepInfo->bstrDescription);
    }
    if (!excepInfo->bstrSource) excepInfo->bstrSource = SysAllocString(kProgId);
    return DISP_E_EXCEPTION;
}

} // namespace

HRESULT DispatchGetIDsOfNames(Surface surface, LPOLESTR* names, UINT count, DISPID* ids)
{
    if (!names || !ids) return E_POINTER;
    if (count == 0) return S_OK;
    for (UINT i = 0; i < count; ++i) ids[i] = DISPID_UNKNOWN;
    const Entry* found = nullptr;
    for (const Entry& entry : TableOf(surface))
        if (names[0] && SameName(names[0], entry.name)) found = &entry;
    if (!found) return DISP_E_UNKNOWNNAME;
    ids[0] = found->id;
    // Further names are parameter names: their ids are their positions.
    HRESULT hr = S_OK;
    auto params = SignatureOf(found->member).params;
    for (UINT i = 1; i < count; ++i) {
        for (size_t p = 0; p < params.size(); ++p)
            if (names[i] && SameName(names[i], params[p].name)) ids[i] = static_cast<DISPID>(p);
        if (ids[i] == DISPID_UNKNOWN) hr = DISP_E_UNKNOWNNAME;
    }
    return hr;
}

HRESULT DispatchGetTypeInfo(Surface surface, UINT index, ITypeInfo** info)
{
    if (!info) return E_POINTER;
    *info = nullptr;
    if (index != 0) return DISP_E_BADINDEX;
    ComPtr<ITypeLib> library;
    HRESULT hr = surface == Surface::Default
        ? LoadTypeLibEx(ModulePath().c_str(), REGKIND_NONE, &library)
        : LoadRegTypeLib(LIBID_ZebMachine, 1, 1, LOCALE_NEUTRAL, &library);
    if (FAILED(hr)) return hr;
    return library->GetTypeInfoOfGuid(surface == Surface::Default ? IID__clsMachine : IID_IMachine, info);
}

HRESULT DispatchInvoke(clsMachine& object, Surface surface, DISPID id, REFIID iid, WORD flags,
                       DISPPARAMS* params, VARIANT* result, EXCEPINFO* excepInfo, UINT* argErr)
{
    if (!IsEqualIID(iid, IID_NULL)) return DISP_E_UNKNOWNINTERFACE;
    const Entry* entry = nullptr;
    for (const Entry& e : TableOf(surface))
        if (e.id == id) entry = &e;
    if (!entry || !(flags & (DISPATCH_METHOD | DISPATCH_PROPERTYGET))) return DISP_E_MEMBERNOTFOUND;
    if (!params) return E_INVALIDARG;
    if (params->cNamedArgs != 0) return DISP_E_NONAMEDARGS;

    auto signature = SignatureOf(entry->member).params;
    if (params->cArgs != signature.size()) return DISP_E_BADPARAMCOUNT;
    if (signature.size() > 0 && !params->rgvarg) return E_INVALIDARG;

    std::array<Ready, 9> ready;
    for (size_t p = 0; p < signature.size(); ++p) {
        // Arguments arrive last first.
        UINT position = static_cast<UINT>(signature.size() - 1 - p);
        HRESULT hr = Absent(Unwrap(&params->rgvarg[position]));
        if (SUCCEEDED(hr)) hr = Coerce(&params->rgvarg[position], signature[p].arg, ready[p]);
        if (FAILED(hr)) {
            if (argErr) *argErr = position;
            const bool kept = hr == E_POINTER || hr == DISP_E_OVERFLOW || hr == DISP_E_PARAMNOTOPTIONAL;
            return kept ? hr : DISP_E_TYPEMISMATCH;
        }
    }

    VARIANT_BOOL answer = VARIANT_FALSE;
    HRESULT hr = CallMember(object, entry->member, ready.data(), &answer);
    for (Ready& r : ready) r.Deliver();
    if (FAILED(hr)) return ToException(hr, excepInfo);
    if (result) {
        VariantInit(result);
        V_VT(result) = VT_BOOL;
        V_BOOL(result) = answer;
    }
    return S_OK;
}

} // namespace kavro
