// mktypelib <output.tlb>: writes Kavro.tlb with the platform's CreateTypeLib2.
//
// widl cannot leave the three empty entries in _clsMachine's function table,
// nor let the coclass name IMachine, which only ZebMachine's library defines;
// ICreateTypeInfo2 can do both (FUNCDESC.oVft, AddRefTypeInfo).
//
// The types Kavro.tlb refers to are loaded from StdCollection.tlb, Ado26.tlb
// and ZebMachine.tlb in the current folder, and IDispatch from the registered
// stdole 2.0.
#include <windows.h>
#include <oleauto.h>
#include <wrl/client.h>

#include <cstdio>
#include <deque>
#include <initializer_list>
#include <string>
#include <vector>

#include "frame/Identity.h"
#include "StdCollection.h"
#include "Ado26.h"
#include "ZebMachine.h"

using Microsoft::WRL::ComPtr;

namespace {

struct Failure {
    HRESULT hr;
    std::string step;
};

void Check(HRESULT hr, const std::string& step)
{
    if (FAILED(hr)) throw Failure{hr, step};
}

// ---- What _clsMachine declares ------------------------------------------------

enum class Type { Boolean, Integer, String, Collection, Recordset };
enum class Pass { In, InOut, RetVal };

struct Param {
    const wchar_t* name;
    Type type;
    Pass pass;
};

struct Member {
    const wchar_t* name;
    MEMBERID dispid;
    std::vector<Param> params;  // the result comes last
};

// Table slots 7 to 9 carry no member; the members start at slot 10.
constexpr int kFirstMemberSlot = 10;

// blnPort, strIp, iPort and imachineno, then the method's own parameters and the result.
std::vector<Param> Connected(std::initializer_list<Param> own)
{
    std::vector<Param> params = {{L"blnPort", Type::Boolean, Pass::In}, {L"strIp", Type::String, Pass::In},
                                 {L"iPort", Type::Integer, Pass::In}, {L"imachineno", Type::Integer, Pass::In}};
    params.insert(params.end(), own);
    params.push_back({L"result", Type::Boolean, Pass::RetVal});
    return params;
}

const std::vector<Member>& Members()
{
    static const std::vector<Member> members = {
        {L"IMachine_funcRegister", 0x60030000,
         {{L"col", Type::Collection, Pass::InOut}, {L"blnPort", Type::Boolean, Pass::In},
          {L"iPortMin", Type::Integer, Pass::In}, {L"iPortMax", Type::Integer, Pass::In},
          {L"strIPMin", Type::String, Pass::In}, {L"strIPMax", Type::String, Pass::In},
          {L"imin", Type::Integer, Pass::In}, {L"imax", Type::Integer, Pass::In},
          {L"strMsg", Type::String, Pass::InOut}, {L"result", Type::Boolean, Pass::RetVal}}},
        {L"IMachine_funcBackFingure", 0x60030001,
         Connected({{L"sPersonNum", Type::String, Pass::In}, {L"rsData", Type::Recordset, Pass::InOut},
                    {L"strMsg", Type::String, Pass::InOut}})},
        {L"IMachine_funcReWrite", 0x60030002,
         Connected({{L"sPersonNum", Type::String, Pass::In}, {L"rsData", Type::Recordset, Pass::In},
                    {L"strMsg", Type::String, Pass::InOut}})},
        {L"IMachine_DownloadCarddata", 0x60030003,
         Connected({{L"cdata", Type::Collection, Pass::InOut}, {L"strMsg", Type::String, Pass::InOut}})},
        {L"IMachine_funcWriteCard", 0x60030004,
         Connected({{L"clsPeroncard", Type::Collection, Pass::In}, {L"strMsg", Type::String, Pass::InOut}})},
        // 0x60030005 stays unused here: IMachine gives it to delCardData.
        {L"IMachine_delCardData", 0x60030006, Connected({})},
    };
    return members;
}

// ---- Types the library refers to ----------------------------------------------

ComPtr<ITypeInfo> TypeOf(ITypeLib* lib, REFGUID guid, const std::string& what)
{
    ComPtr<ITypeInfo> info;
    Check(lib->GetTypeInfoOfGuid(guid, &info), "find " + what);
    return info;
}

ComPtr<ITypeInfo> TypeFromFile(const wchar_t* file, REFGUID guid, const std::string& what)
{
    ComPtr<ITypeLib> lib;
    Check(LoadTypeLibEx(file, REGKIND_NONE, &lib), "load the library of " + what);
    return TypeOf(lib.Get(), guid, what);
}

// References into the other libraries, as seen from one type being built.
struct Refs {
    HREFTYPE collection;
    HREFTYPE recordset;
};

// Builds the TYPEDESC chains of one function; they must live until AddFuncDesc.
class TypeDescs {
public:
    explicit TypeDescs(const Refs& refs) : refs_(refs) {}

    TYPEDESC Of(const Param& p)
    {
        TYPEDESC base = Base(p.type);
        return p.pass == Pass::In ? base : PointerTo(base);
    }

private:
    TYPEDESC Base(Type type)
    {
        switch (type) {
        case Type::Boolean: return Plain(VT_BOOL);
        case Type::Integer: return Plain(VT_I2);
        case Type::String: return Plain(VT_BSTR);
        case Type::Collection: return PointerTo(UserDefined(refs_.collection));
        case Type::Recordset: return PointerTo(UserDefined(refs_.recordset));
        }
        throw Failure{E_UNEXPECTED, "unknown parameter type"};
    }
    static TYPEDESC Plain(VARTYPE vt)
    {
        TYPEDESC d{};
        d.vt = vt;
        return d;
    }
    static TYPEDESC UserDefined(HREFTYPE ref)
    {
        TYPEDESC d{};
        d.vt = VT_USERDEFINED;
        d.hreftype = ref;
        return d;
    }
    TYPEDESC PointerTo(const TYPEDESC& target)
    {
        TYPEDESC d{};
        d.vt = VT_PTR;
        d.lptdesc = &held_.emplace_back(target);
        return d;
    }

    Refs refs_;
    std::deque<TYPEDESC> held_;
};

USHORT FlagsOf(Pass pass)
{
    switch (pass) {
    case Pass::In: return PARAMFLAG_FIN;
    case Pass::InOut: return PARAMFLAG_FIN | PARAMFLAG_FOUT;
    case Pass::RetVal: return PARAMFLAG_FOUT | PARAMFLAG_FRETVAL;
    }
    return 0;
}

void AddMember(ICreateTypeInfo* info, UINT index, const Member& m, const Refs& refs)
{
    const std::string what = "member " + std::to_string(index);
    TypeDescs types(refs);
    std::vector<ELEMDESC> params(m.params.size());
    std::vector<LPOLESTR> names{const_cast<LPOLESTR>(m.name)};
    for (size_t i = 0; i < m.params.size(); ++i) {
        params[i].tdesc = types.Of(m.params[i]);
        params[i].paramdesc.wParamFlags = FlagsOf(m.params[i].pass);
        names.push_back(const_cast<LPOLESTR>(m.params[i].name));
    }

    FUNCDESC fd{};
    fd.memid = m.dispid;
    fd.funckind = FUNC_PUREVIRTUAL;
    fd.invkind = INVOKE_FUNC;
    fd.callconv = CC_STDCALL;
    fd.cParams = static_cast<SHORT>(params.size());
    fd.lprgelemdescParam = params.data();
    fd.oVft = static_cast<SHORT>((kFirstMemberSlot + index) * sizeof(void*));
    fd.elemdescFunc.tdesc.vt = VT_HRESULT;
    Check(info->AddFuncDesc(index, &fd), "add " + what);
    Check(info->SetFuncAndParamNames(index, names.data(), static_cast<UINT>(names.size())),
          "name " + what);
}

// ---- The library --------------------------------------------------------------

ComPtr<ICreateTypeInfo> CreateType(ICreateTypeLib2* lib, const wchar_t* name, TYPEKIND kind,
                                   REFGUID guid, UINT flags)
{
    const std::string what(name, name + wcslen(name));
    ComPtr<ICreateTypeInfo> info;
    Check(lib->CreateTypeInfo(const_cast<LPOLESTR>(name), kind, &info), "create " + what);
    Check(info->SetGuid(guid), "identify " + what);
    Check(info->SetVersion(1, 0), "version " + what);
    Check(info->SetTypeFlags(flags), "flag " + what);
    return info;
}

void Implement(ICreateTypeInfo* info, UINT index, ITypeInfo* base, INT implFlags)
{
    HREFTYPE ref;
    Check(info->AddRefTypeInfo(base, &ref), "refer to an implemented interface");
    Check(info->AddImplType(index, ref), "add an implemented interface");
    if (implFlags) Check(info->SetImplTypeFlags(index, implFlags), "flag an implemented interface");
}

void Build(const wchar_t* output)
{
    ComPtr<ITypeLib> stdole;
    Check(LoadRegTypeLib(IID_StdOle, 2, 0, 0, &stdole), "load stdole 2.0");
    ComPtr<ITypeInfo> dispatch = TypeOf(stdole.Get(), IID_IDispatch, "IDispatch");
    ComPtr<ITypeInfo> collection = TypeFromFile(L"StdCollection.tlb", IID__Collection, "_Collection");
    ComPtr<ITypeInfo> recordset = TypeFromFile(L"Ado26.tlb", IID__Recordset, "_Recordset");
    ComPtr<ITypeInfo> machine = TypeFromFile(L"ZebMachine.tlb", IID_IMachine, "IMachine");

    ComPtr<ICreateTypeLib2> lib;
    Check(CreateTypeLib2(SYS_WIN32, output, &lib), "create the library");
    Check(lib->SetName(const_cast<LPOLESTR>(kavro::kComponentName)), "name the library");
    Check(lib->SetGuid(kavro::LIBID_Kavro), "identify the library");
    Check(lib->SetVersion(kavro::kTypeLibMajor, kavro::kTypeLibMinor), "version the library");
    // No SetLcid: it would set the registration locale as well. Left alone, the
    // header keeps 0x0409 and the library registers under locale 0.

    ComPtr<ICreateTypeInfo> iface = CreateType(lib.Get(), L"_clsMachine", TKIND_INTERFACE,
        kavro::IID__clsMachine,
        TYPEFLAG_FHIDDEN | TYPEFLAG_FNONEXTENSIBLE | TYPEFLAG_FOLEAUTOMATION | TYPEFLAG_FDUAL);
    Implement(iface.Get(), 0, dispatch.Get(), 0);
    Refs refs{};
    Check(iface->AddRefTypeInfo(collection.Get(), &refs.collection), "refer to _Collection");
    Check(iface->AddRefTypeInfo(recordset.Get(), &refs.recordset), "refer to _Recordset");
    const auto& members = Members();
    for (UINT i = 0; i < members.size(); ++i) AddMember(iface.Get(), i, members[i], refs);
    Check(iface->LayOut(), "lay out _clsMachine");

    ComPtr<ICreateTypeInfo> coclass = CreateType(lib.Get(), kavro::kClassName, TKIND_COCLASS,
        kavro::CLSID_clsMachine, TYPEFLAG_FCANCREATE);
    ComPtr<ITypeInfo> ifaceInfo;
    Check(iface.As(&ifaceInfo), "read back _clsMachine");
    Implement(coclass.Get(), 0, ifaceInfo.Get(), IMPLTYPEFLAG_FDEFAULT);
    Implement(coclass.Get(), 1, machine.Get(), 0);
    Check(coclass->LayOut(), "lay out clsMachine");

    Check(lib->SaveAllChanges(), "save the library");
}

} // namespace

int wmain(int argc, wchar_t** argv)
{
    if (argc != 2) {
        fwprintf(stderr, L"usage: mktypelib <output.tlb>\n");
        return 2;
    }
    if (FAILED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED))) return 1;
    int rc = 0;
    try {
        Build(argv[1]);
    } catch (const Failure& f) {
        fprintf(stderr, "mktypelib: cannot %s: 0x%08lx\n", f.step.c_str(), static_cast<unsigned long>(f.hr));
        rc = 1;
    }
    CoUninitialize();
    return rc;
}
