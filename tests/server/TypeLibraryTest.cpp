// The type library Kavro.dll carries, read back as a host's development tools
// and the Automation marshaller read it.
#include <string>
#include <vector>

#include "ServerSupport.h"
#include "frame/Identity.h"
#include "frame/Owners.h"
#include "TestEnv.h"

namespace kavro::test {
namespace {

struct LibraryId {
    std::wstring name;
    GUID libid;
    WORD major, minor;
    friend bool operator==(const LibraryId& a, const LibraryId& b)
    {
        return a.name == b.name && IsEqualGUID(a.libid, b.libid) && a.major == b.major && a.minor == b.minor;
    }
    friend void PrintTo(const LibraryId& id, std::ostream* os)
    {
        wchar_t guid[39];
        StringFromGUID2(id.libid, guid, 39);
        *os << std::string(id.name.begin(), id.name.end()) << " in " << std::string(guid, guid + 38) << " "
            << id.major << "." << id.minor;
    }
};

const GUID kStdOle = {0x00020430, 0, 0, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};
const GUID kCollectionLib = {0x000204EF, 0, 0, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};
const GUID kAdoLib = {0x00000206, 0, 0x0010, {0x80, 0, 0, 0xAA, 0, 0x6D, 0x2E, 0xA4}};
const GUID kHostLib = {0x8412B200, 0xC9E2, 0x4F23, {0x9D, 0x1B, 0xBC, 0x7C, 0x17, 0xB5, 0x2E, 0x5A}};

std::wstring NameOf(ITypeInfo* info, MEMBERID id = MEMBERID_NIL)
{
    Bstr name;
    info->GetDocumentation(id, name.out(), nullptr, nullptr, nullptr);
    return std::wstring(name.view());
}

// A referenced type, by name and the library that holds it.
LibraryId Referenced(ITypeInfo* from, HREFTYPE ref)
{
    ComPtr<ITypeInfo> target;
    if (FAILED(from->GetRefTypeInfo(ref, &target))) return {L"(unresolved)", GUID_NULL, 0, 0};
    ComPtr<ITypeLib> library;
    UINT index = 0;
    target->GetContainingTypeLib(&library, &index);
    TLIBATTR* attr = nullptr;
    library->GetLibAttr(&attr);
    LibraryId id{NameOf(target.Get()), attr->guid, attr->wMajorVerNum, attr->wMinorVerNum};
    library->ReleaseTLibAttr(attr);
    return id;
}

std::wstring TypeText(ITypeInfo* owner, const TYPEDESC& type)
{
    switch (type.vt) {
    case VT_PTR: return TypeText(owner, *type.lptdesc) + L"*";
    case VT_USERDEFINED: return Referenced(owner, type.hreftype).name;
    case VT_BOOL: return L"VARIANT_BOOL";
    case VT_I2: return L"short";
    case VT_BSTR: return L"BSTR";
    case VT_HRESULT: return L"HRESULT";
    default: return L"vt" + std::to_wstring(type.vt);
    }
}

std::wstring DirectionText(USHORT flags)
{
    std::wstring text;
    if (flags & PARAMFLAG_FIN) text += L"in";
    if (flags & PARAMFLAG_FOUT) text += text.empty() ? L"out" : L", out";
    if (flags & PARAMFLAG_FRETVAL) text += L", retval";
    if (flags & ~(PARAMFLAG_FIN | PARAMFLAG_FOUT | PARAMFLAG_FRETVAL)) text += L", more";
    return L"[" + text + L"] ";
}

// The member as IDL would declare it: result type, name, and each parameter's
// direction, type and name.
std::wstring Declaration(ITypeInfo* info, const FUNCDESC& f)
{
    BSTR names[16] = {};
    UINT count = 0;
    info->GetNames(f.memid, names, 16, &count);
    std::wstring text = TypeText(info, f.elemdescFunc.tdesc) + L" " + (count ? names[0] : L"?") + L"(";
    for (SHORT p = 0; p < f.cParams; ++p) {
        const ELEMDESC& param = f.lprgelemdescParam[p];
        text += (p ? L", " : L"") + DirectionText(param.paramdesc.wParamFlags) + TypeText(info, param.tdesc) + L" " +
                (p + 1u < count ? names[p + 1] : L"?");
    }
    for (UINT i = 0; i < count; ++i) SysFreeString(names[i]);
    return text + L")";
}

struct Member {
    MEMBERID id;
    const wchar_t* declaration;
};

const Member kMembers[] = {
    {0x60030000, L"HRESULT IMachine_funcRegister([in, out] _Collection** col, [in] VARIANT_BOOL blnPort, "
                 L"[in] short iPortMin, [in] short iPortMax, [in] BSTR strIPMin, [in] BSTR strIPMax, "
                 L"[in] short imin, [in] short imax, [in, out] BSTR* strMsg, [out, retval] VARIANT_BOOL* result)"},
    {0x60030001, L"HRESULT IMachine_funcBackFingure([in] VARIANT_BOOL blnPort, [in] BSTR strIp, [in] short iPort, "
                 L"[in] short imachineno, [in] BSTR sPersonNum, [in, out] _Recordset** rsData, "
                 L"[in, out] BSTR* strMsg, [out, retval] VARIANT_BOOL* result)"},
    {0x60030002, L"HRESULT IMachine_funcReWrite([in] VARIANT_BOOL blnPort, [in] BSTR strIp, [in] short iPort, "
                 L"[in] short imachineno, [in] BSTR sPersonNum, [in] _Recordset* rsData, "
                 L"[in, out] BSTR* strMsg, [out, retval] VARIANT_BOOL* result)"},
    {0x60030003, L"HRESULT IMachine_DownloadCarddata([in] VARIANT_BOOL blnPort, [in] BSTR strIp, [in] short iPort, "
                 L"[in] short imachineno, [in, out] _Collection** cdata, [in, out] BSTR* strMsg, "
                 L"[out, retval] VARIANT_BOOL* result)"},
    {0x60030004, L"HRESULT IMachine_funcWriteCard([in] VARIANT_BOOL blnPort, [in] BSTR strIp, [in] short iPort, "
                 L"[in] short imachineno, [in] _Collection* clsPeroncard, [in, out] BSTR* strMsg, "
                 L"[out, retval] VARIANT_BOOL* result)"},
    {0x60030006, L"HRESULT IMachine_delCardData([in] VARIANT_BOOL blnPort, [in] BSTR strIp, [in] short iPort, "
                 L"[in] short imachineno, [out, retval] VARIANT_BOOL* result)"},
};

class TypeLibrary : public ComTest {
protected:
    // The libraries Kavro.tlb refers to are the host's and the platform's; here
    // the stand-ins are registered for the time of these tests (ZebMachine.dll
    // registers its own).
    static void SetUpTestSuite()
    {
        for (const wchar_t* file : {L"StdCollection.tlb", L"Ado26.tlb"}) {
            std::wstring path = BinDir() + file;
            ComPtr<ITypeLib> fixture;
            if (SUCCEEDED(LoadTypeLibEx(path.c_str(), REGKIND_NONE, &fixture)))
                RegisterTypeLib(fixture.Get(), path.data(), nullptr);
        }
    }
    static void TearDownTestSuite()
    {
        UnRegisterTypeLib(kCollectionLib, 6, 0, 0, SYS_WIN32);
        UnRegisterTypeLib(kAdoLib, 2, 6, 0, SYS_WIN32);
    }

    void SetUp() override
    {
        ComTest::SetUp();
        ASSERT_EQ(Hr{LoadTypeLibEx(KavroPath().c_str(), REGKIND_NONE, &library_)}, Hr{S_OK});
    }

    // The vtable half of the dual default interface.
    ComPtr<ITypeInfo> DefaultInterface()
    {
        ComPtr<ITypeInfo> dispatch, vtable;
        HREFTYPE ref = 0;
        if (SUCCEEDED(library_->GetTypeInfoOfGuid(IID__clsMachine, &dispatch)) &&
            SUCCEEDED(dispatch->GetRefTypeOfImplType(-1, &ref)))
            dispatch->GetRefTypeInfo(ref, &vtable);
        return vtable;
    }

    ComPtr<ITypeLib> library_;
};

// Reads TYPEATTR into a copy that outlives the type info's buffer.
TYPEATTR AttrOf(ITypeInfo* info)
{
    TYPEATTR* attr = nullptr;
    info->GetTypeAttr(&attr);
    TYPEATTR copy = *attr;
    info->ReleaseTypeAttr(attr);
    return copy;
}

TEST_F(TypeLibrary, LibraryHeader)
{
    TLIBATTR* attr = nullptr;
    ASSERT_EQ(Hr{library_->GetLibAttr(&attr)}, Hr{S_OK});
    EXPECT_TRUE(IsEqualGUID(attr->guid, LIBID_Kavro));
    EXPECT_EQ(attr->wMajorVerNum, 1);
    EXPECT_EQ(attr->wMinorVerNum, 0);
    EXPECT_EQ(attr->syskind, SYS_WIN32);
    EXPECT_EQ(attr->lcid, 0u) << "the locale it registers under";
    library_->ReleaseTLibAttr(attr);

    Bstr name, doc, helpFile;
    DWORD helpContext = 1;
    ASSERT_EQ(Hr{library_->GetDocumentation(-1, name.out(), doc.out(), &helpContext, helpFile.out())}, Hr{S_OK});
    EXPECT_EQ(name.view(), L"Kavro");
    EXPECT_EQ(doc.get(), nullptr) << "no documentation string";
    EXPECT_EQ(helpContext, 0u);
    EXPECT_EQ(helpFile.get(), nullptr) << "no help file";
    EXPECT_EQ(library_->GetTypeInfoCount(), 2u) << "_clsMachine and clsMachine only";
}

TEST_F(TypeLibrary, DefaultInterfaceIsAHiddenDualInterface)
{
    ComPtr<ITypeInfo> dispatch;
    ASSERT_EQ(Hr{library_->GetTypeInfoOfGuid(IID__clsMachine, &dispatch)}, Hr{S_OK});
    EXPECT_EQ(NameOf(dispatch.Get()), L"_clsMachine");
    EXPECT_EQ(AttrOf(dispatch.Get()).typekind, TKIND_DISPATCH);

    ComPtr<ITypeInfo> vtable = DefaultInterface();
    ASSERT_NE(vtable, nullptr) << "the dual interface has a vtable half";
    TYPEATTR attr = AttrOf(vtable.Get());
    EXPECT_EQ(attr.typekind, TKIND_INTERFACE);
    const WORD wanted = TYPEFLAG_FHIDDEN | TYPEFLAG_FNONEXTENSIBLE | TYPEFLAG_FOLEAUTOMATION | TYPEFLAG_FDUAL;
    EXPECT_EQ(attr.wTypeFlags & wanted, wanted) << "flags 0x" << std::hex << attr.wTypeFlags;
    EXPECT_EQ(attr.wTypeFlags & (TYPEFLAG_FCANCREATE | TYPEFLAG_FAPPOBJECT | TYPEFLAG_FRESTRICTED), 0);
    EXPECT_EQ(attr.wMajorVerNum, 1);
    EXPECT_EQ(attr.wMinorVerNum, 0);
    EXPECT_EQ(attr.cbSizeVft, 64) << "16 entries";
    EXPECT_EQ(attr.cFuncs, 6) << "the reserved entries carry no member";
    ASSERT_EQ(attr.cImplTypes, 1);
    HREFTYPE base = 0;
    ASSERT_EQ(Hr{vtable->GetRefTypeOfImplType(0, &base)}, Hr{S_OK});
    EXPECT_EQ(Referenced(vtable.Get(), base), (LibraryId{L"IDispatch", kStdOle, 2, 0}));
}

TEST_F(TypeLibrary, MembersFollowTheReservedEntries)
{
    ComPtr<ITypeInfo> vtable = DefaultInterface();
    ASSERT_NE(vtable, nullptr);
    ASSERT_EQ(AttrOf(vtable.Get()).cFuncs, static_cast<WORD>(std::size(kMembers)));
    for (UINT i = 0; i < std::size(kMembers); ++i) {
        FUNCDESC* f = nullptr;
        ASSERT_EQ(Hr{vtable->GetFuncDesc(i, &f)}, Hr{S_OK});
        EXPECT_EQ(f->memid, kMembers[i].id) << "member " << i;
        EXPECT_EQ(f->oVft, static_cast<SHORT>(40 + 4 * i)) << "member " << i << " follows entries 7 to 9";
        EXPECT_EQ(f->funckind, FUNC_PUREVIRTUAL);
        EXPECT_EQ(f->invkind, INVOKE_FUNC);
        EXPECT_EQ(f->callconv, CC_STDCALL);
        EXPECT_EQ(f->cParamsOpt, 0) << "no optional parameters";
        EXPECT_EQ(Declaration(vtable.Get(), *f), kMembers[i].declaration);
        for (SHORT p = 0; p < f->cParams; ++p)
            EXPECT_FALSE(f->lprgelemdescParam[p].paramdesc.wParamFlags & (PARAMFLAG_FOPT | PARAMFLAG_FHASDEFAULT))
                << "member " << i << " parameter " << p;
        vtable->ReleaseFuncDesc(f);
    }
}

TEST_F(TypeLibrary, ObjectParametersReferToTheHostsLibraries)
{
    ComPtr<ITypeInfo> vtable = DefaultInterface();
    ASSERT_NE(vtable, nullptr);
    auto innermost = [&](UINT member, SHORT param) {
        FUNCDESC* f = nullptr;
        vtable->GetFuncDesc(member, &f);
        const TYPEDESC* type = &f->lprgelemdescParam[param].tdesc;
        while (type->vt == VT_PTR) type = type->lptdesc;
        LibraryId id = type->vt == VT_USERDEFINED ? Referenced(vtable.Get(), type->hreftype) : LibraryId{};
        vtable->ReleaseFuncDesc(f);
        return id;
    };
    EXPECT_EQ(innermost(0, 0), (LibraryId{L"_Collection", kCollectionLib, 6, 0})) << "funcRegister's col";
    EXPECT_EQ(innermost(1, 5), (LibraryId{L"_Recordset", kAdoLib, 2, 6})) << "funcBackFingure's rsData";
    EXPECT_EQ(innermost(2, 5), (LibraryId{L"_Recordset", kAdoLib, 2, 6})) << "funcReWrite's rsData";
}

TEST_F(TypeLibrary, ClassIsCreatableAndImplementsBothInterfaces)
{
    ComPtr<ITypeInfo> coclass;
    ASSERT_EQ(Hr{library_->GetTypeInfoOfGuid(CLSID_clsMachine, &coclass)}, Hr{S_OK});
    EXPECT_EQ(NameOf(coclass.Get()), L"clsMachine");
    TYPEATTR attr = AttrOf(coclass.Get());
    EXPECT_EQ(attr.typekind, TKIND_COCLASS);
    EXPECT_TRUE(attr.wTypeFlags & TYPEFLAG_FCANCREATE);
    EXPECT_EQ(attr.wTypeFlags & (TYPEFLAG_FAPPOBJECT | TYPEFLAG_FAGGREGATABLE | TYPEFLAG_FLICENSED |
                                 TYPEFLAG_FHIDDEN | TYPEFLAG_FCONTROL),
              0)
        << "flags 0x" << std::hex << attr.wTypeFlags;
    EXPECT_EQ(attr.wMajorVerNum, 1);
    EXPECT_EQ(attr.wMinorVerNum, 0);
    ASSERT_EQ(attr.cImplTypes, 2);

    const LibraryId implemented[] = {{L"_clsMachine", LIBID_Kavro, 1, 0}, {L"IMachine", kHostLib, 1, 1}};
    const INT flags[] = {IMPLTYPEFLAG_FDEFAULT, 0};
    for (UINT i = 0; i < 2; ++i) {
        HREFTYPE ref = 0;
        INT implFlags = -1;
        ASSERT_EQ(Hr{coclass->GetRefTypeOfImplType(i, &ref)}, Hr{S_OK});
        EXPECT_EQ(Referenced(coclass.Get(), ref), implemented[i]);
        EXPECT_EQ(Hr{coclass->GetImplTypeFlags(i, &implFlags)}, Hr{S_OK});
        EXPECT_EQ(implFlags, flags[i]) << "interface " << i;
    }
}

} // namespace
} // namespace kavro::test
