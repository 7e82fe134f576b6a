// The in-process server as COM and the host meet it: creation by ProgID and
// CLSID, the interfaces of one object, the calls through each function table
// and through IDispatch, and what the server refuses.
#include <string>
#include <utility>

#include "ServerSupport.h"
#include "frame/DefaultInterface.h"
#include "frame/Identity.h"
#include "frame/Owners.h"
#include "Scenario.h"

namespace kavro::test {
namespace {

constexpr DISPID kWriteCardId = 0x60030004;
constexpr DISPID kMachineDelCardDataId = 0x60030005;
constexpr DISPID kDefaultDelCardDataId = 0x60030006;

// Calls by table slot, so that the binary layout is what is tested, not a declaration.
using WriteCardSlot = HRESULT(STDMETHODCALLTYPE*)(void*, VARIANT_BOOL, BSTR, short, short, _Collection*,
                                                  BSTR*, VARIANT_BOOL*);
using EmptySlot = HRESULT(STDMETHODCALLTYPE*)(void*);

template <typename Fn>
Fn Slot(void* iface, int index)
{
    return reinterpret_cast<Fn>((*static_cast<void***>(iface))[index]);
}

template <typename I>
ComPtr<I> Query(IUnknown* object, REFIID iid)
{
    ComPtr<I> result;
    object->QueryInterface(iid, reinterpret_cast<void**>(result.GetAddressOf()));
    return result;
}

ComPtr<IUnknown> Create(REFCLSID clsid)
{
    ComPtr<IUnknown> object;
    CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IID_IUnknown,
                     reinterpret_cast<void**>(object.GetAddressOf()));
    return object;
}

using Export = HRESULT(__stdcall*)();
using GetClassObjectExport = HRESULT(__stdcall*)(REFCLSID, REFIID, void**);

template <typename Fn>
Fn KavroExport(const char* name)
{
    return reinterpret_cast<Fn>(reinterpret_cast<void*>(GetProcAddress(KavroModule(), name)));
}

// funcWriteCard(True, "10.0.0.1", 1, 2, clsPeroncard, strMsg) by DISPID.
HRESULT InvokeWriteCard(IDispatch* target, DISPID id, IDispatch* clsPeroncard, BSTR* strMsg, VARIANT* result)
{
    Bstr ip(L"10.0.0.1");
    return InvokeWith(target, id, DISPATCH_METHOD,
                      {Bool(VARIANT_TRUE), Text(ip.get()), I2(1), I2(2), Dispatch(clsPeroncard),
                       TextRef(strMsg)},
                      result);
}

// delCardData(True, "", 1, 1) by DISPID: serial port 1, terminal 1.
HRESULT InvokeDelCardData(IDispatch* target, DISPID id, VARIANT* result)
{
    Bstr ip(L"");
    return InvokeWith(target, id, DISPATCH_METHOD, {Bool(VARIANT_TRUE), Text(ip.get()), I2(1), I2(1)},
                      result);
}

HRESULT IdOf(IDispatch* target, const wchar_t* name, DISPID* id)
{
    LPOLESTR names[] = {const_cast<LPOLESTR>(name)};
    return target->GetIDsOfNames(IID_NULL, names, 1, LOCALE_USER_DEFAULT, id);
}

class Server : public ComTest {};

// ---- Creation and identity ---------------------------------------------------------

TEST_F(Server, CreatesByProgIdAndByClsid)
{
    CLSID clsid{};
    ASSERT_EQ(Hr{CLSIDFromProgID(L"Kavro.clsMachine", &clsid)}, Hr{S_OK});
    EXPECT_TRUE(IsEqualCLSID(clsid, CLSID_clsMachine));
    EXPECT_NE(NewMachine(), nullptr) << "created by ProgID for IMachine";
    EXPECT_NE(Create(CLSID_clsMachine), nullptr) << "created by CLSID";
}

TEST_F(Server, EveryCreationIsANewObject)
{
    ComPtr<IUnknown> first = Create(CLSID_clsMachine);
    ComPtr<IUnknown> second = Create(CLSID_clsMachine);
    ASSERT_NE(first, nullptr);
    EXPECT_NE(first.Get(), second.Get());
}

TEST_F(Server, OneObjectAnswersForBothInterfacesWithOneIdentity)
{
    ComPtr<IUnknown> object = Create(CLSID_clsMachine);
    ASSERT_NE(object, nullptr);
    auto machine = Query<IMachine>(object.Get(), IID_IMachine);
    auto byDefault = Query<_clsMachine>(object.Get(), IID__clsMachine);
    auto dispatch = Query<IDispatch>(object.Get(), IID_IDispatch);
    ASSERT_NE(machine, nullptr) << "IMachine";
    ASSERT_NE(byDefault, nullptr) << "_clsMachine";
    ASSERT_NE(dispatch, nullptr) << "IDispatch";
    EXPECT_EQ(static_cast<IDispatch*>(byDefault.Get()), dispatch.Get()) << "IDispatch is the default interface";

    for (IUnknown* from : {static_cast<IUnknown*>(machine.Get()), static_cast<IUnknown*>(byDefault.Get()),
                           static_cast<IUnknown*>(dispatch.Get())})
        EXPECT_EQ(Query<IUnknown>(from, IID_IUnknown).Get(), object.Get()) << "IUnknown from every interface";
    EXPECT_EQ(Query<IUnknown>(machine.Get(), IID__clsMachine).Get(), static_cast<IUnknown*>(byDefault.Get()));
    EXPECT_EQ(Query<IUnknown>(byDefault.Get(), IID_IMachine).Get(), static_cast<IUnknown*>(machine.Get()));

    void* other = reinterpret_cast<void*>(1);
    EXPECT_EQ(Hr{object->QueryInterface(IID_IClassFactory, &other)}, Hr{E_NOINTERFACE});
    EXPECT_EQ(other, nullptr);
}

// ---- funcWriteCard through every way in ---------------------------------------------

// A caller's strMsg variable; whatever it holds at the end is freed.
class MessageVariable {
public:
    MessageVariable() : value_(SysAllocString(L"as passed")), passed_(value_) {}
    ~MessageVariable() { SysFreeString(value_); }
    BSTR* ref() { return &value_; }
    // The component left the caller's string in place, text and all.
    bool Untouched() const { return value_ == passed_ && std::wstring(value_) == L"as passed"; }

private:
    BSTR value_;
    const BSTR passed_;
};

class WriteCard : public Server {
protected:
    void SetUp() override
    {
        Server::SetUp();
        object_ = Create(CLSID_clsMachine);
        ASSERT_NE(object_, nullptr);
        cards_ = NewCollection();
        ASSERT_NE(cards_, nullptr);
    }
    void TearDown() override
    {
        EXPECT_EQ(HwSim_CallCount(), 0) << "funcWriteCard reaches no terminal";
        EXPECT_EQ(HostStub_AddCount(cards_.Get()), 0) << "and leaves clsPeroncard alone";
        Server::TearDown();
    }

    ComPtr<IUnknown> object_;
    ComPtr<_Collection> cards_;
    MessageVariable msg_;
};

TEST_F(WriteCard, ThroughTheIMachineTable)
{
    auto machine = Query<IMachine>(object_.Get(), IID_IMachine);
    VARIANT_BOOL result = 0x55;
    // Entry 11: the seven IUnknown and IDispatch entries, then the fifth method.
    HRESULT hr = Slot<WriteCardSlot>(machine.Get(), 11)(machine.Get(), VARIANT_TRUE, nullptr, 1, 1, cards_.Get(),
                                                        msg_.ref(), &result);
    EXPECT_EQ(Hr{hr}, Hr{S_OK});
    EXPECT_EQ(result, VARIANT_FALSE);
    EXPECT_TRUE(msg_.Untouched());
}

TEST_F(WriteCard, ThroughTheDefaultInterfaceTable)
{
    auto byDefault = Query<_clsMachine>(object_.Get(), IID__clsMachine);
    VARIANT_BOOL result = 0x55;
    // Entry 14: three reserved entries come before the six members.
    HRESULT hr = Slot<WriteCardSlot>(byDefault.Get(), 14)(byDefault.Get(), VARIANT_FALSE, nullptr, 1, 1,
                                                          cards_.Get(), msg_.ref(), &result);
    EXPECT_EQ(Hr{hr}, Hr{S_OK});
    EXPECT_EQ(result, VARIANT_FALSE);
    EXPECT_TRUE(msg_.Untouched());
}

TEST_F(WriteCard, ByDispidOnEitherInterface)
{
    auto cardsDispatch = Query<IDispatch>(cards_.Get(), IID_IDispatch);
    auto machine = Query<IDispatch>(object_.Get(), IID_IMachine);
    auto byDefault = Query<IDispatch>(object_.Get(), IID__clsMachine);
    for (IDispatch* target : {machine.Get(), byDefault.Get()}) {
        Variant result;
        EXPECT_EQ(Hr{InvokeWriteCard(target, kWriteCardId, cardsDispatch.Get(), msg_.ref(), result.get())},
                  Hr{S_OK});
        EXPECT_EQ(V_VT(result.get()), VT_BOOL);
        EXPECT_EQ(V_BOOL(result.get()), VARIANT_FALSE);
        EXPECT_TRUE(msg_.Untouched());
    }
}

// ---- Names and DISPIDs --------------------------------------------------------------

TEST_F(Server, EachInterfaceResolvesItsOwnMemberNames)
{
    ComPtr<IUnknown> object = Create(CLSID_clsMachine);
    ASSERT_NE(object, nullptr);
    ComPtr<IDispatch> machine = Query<IDispatch>(object.Get(), IID_IMachine);
    ComPtr<IDispatch> byDefault = Query<IDispatch>(object.Get(), IID__clsMachine);
    DISPID id = 0;

    EXPECT_EQ(Hr{IdOf(machine.Get(), L"funcWriteCard", &id)}, Hr{S_OK});
    EXPECT_EQ(id, kWriteCardId);
    EXPECT_EQ(Hr{IdOf(machine.Get(), L"delCardData", &id)}, Hr{S_OK});
    EXPECT_EQ(id, kMachineDelCardDataId);
    EXPECT_EQ(Hr{IdOf(machine.Get(), L"IMachine_funcWriteCard", &id)}, Hr{DISP_E_UNKNOWNNAME});

    EXPECT_EQ(Hr{IdOf(byDefault.Get(), L"IMachine_funcWriteCard", &id)}, Hr{S_OK});
    EXPECT_EQ(id, kWriteCardId);
    EXPECT_EQ(Hr{IdOf(byDefault.Get(), L"IMachine_delCardData", &id)}, Hr{S_OK});
    EXPECT_EQ(id, kDefaultDelCardDataId);
    EXPECT_EQ(Hr{IdOf(byDefault.Get(), L"funcWriteCard", &id)}, Hr{DISP_E_UNKNOWNNAME});

    // Script and Basic callers pass names as their programmers typed them.
    EXPECT_EQ(Hr{IdOf(byDefault.Get(), L"imachine_FUNCWRITECARD", &id)}, Hr{S_OK});
    EXPECT_EQ(id, kWriteCardId);
}

TEST_F(Server, DelCardDataHasADifferentDispidOnEachInterface)
{
    ComPtr<IUnknown> object = Create(CLSID_clsMachine);
    ASSERT_NE(object, nullptr);
    ComPtr<IDispatch> machine = Query<IDispatch>(object.Get(), IID_IMachine);
    ComPtr<IDispatch> byDefault = Query<IDispatch>(object.Get(), IID__clsMachine);

    Variant result;
    EXPECT_EQ(Hr{InvokeDelCardData(byDefault.Get(), kMachineDelCardDataId, result.out())},
              Hr{DISP_E_MEMBERNOTFOUND}) << "0x60030005 names nothing on _clsMachine";
    EXPECT_EQ(HwSim_CallCount(), 0);

    for (auto [target, id] : {std::pair{machine.Get(), kMachineDelCardDataId},
                              std::pair{byDefault.Get(), kDefaultDelCardDataId}}) {
        HwSim_ClearLog();
        EXPECT_EQ(Hr{InvokeDelCardData(target, id, result.out())}, Hr{S_OK});
        EXPECT_EQ(V_VT(result.get()), VT_BOOL);
        EXPECT_EQ(V_BOOL(result.get()), VARIANT_TRUE) << "the library was called and returned";
        EXPECT_EQ(Calls(HWSIM_DelAllRcdOnDev).size(), 1u) << "DISPID 0x" << std::hex << id << " runs delCardData";
    }
}

TEST_F(Server, ReservedEntriesOfTheDefaultInterfaceAnswerNotImplemented)
{
    ComPtr<IUnknown> object = Create(CLSID_clsMachine);
    ASSERT_NE(object, nullptr);
    auto byDefault = Query<_clsMachine>(object.Get(), IID__clsMachine);
    for (int slot : {7, 8, 9})
        EXPECT_EQ(Hr{Slot<EmptySlot>(byDefault.Get(), slot)(byDefault.Get())}, Hr{E_NOTIMPL}) << "entry " << slot;
}

// ---- Refusals and unloading -------------------------------------------------------------

TEST_F(Server, ClassObjectOnlyForClsMachine)
{
    auto getClassObject = KavroExport<GetClassObjectExport>("DllGetClassObject");
    ASSERT_NE(getClassObject, nullptr);
    void* factory = reinterpret_cast<void*>(1);
    // clsCardData belongs to the host.
    const CLSID cardData = {0x8190AF0F, 0x694A, 0x4BDC, {0x9F, 0xC1, 0x51, 0x3A, 0xAB, 0x93, 0x4B, 0x8B}};
    EXPECT_EQ(Hr{getClassObject(cardData, IID_IClassFactory, &factory)}, Hr{CLASS_E_CLASSNOTAVAILABLE});
    EXPECT_EQ(factory, nullptr);

    ComPtr<IClassFactory> ours;
    EXPECT_EQ(Hr{getClassObject(CLSID_clsMachine, IID_IClassFactory,
                                reinterpret_cast<void**>(ours.GetAddressOf()))},
              Hr{S_OK});
    EXPECT_NE(ours, nullptr);
}

TEST_F(Server, RefusesAnOuterObject)
{
    ComPtr<IClassFactory> factory;
    ASSERT_EQ(Hr{CoGetClassObject(CLSID_clsMachine, CLSCTX_INPROC_SERVER, nullptr, IID_IClassFactory,
                                  reinterpret_cast<void**>(factory.GetAddressOf()))},
              Hr{S_OK});
    ComPtr<IUnknown> outer = Create(CLSID_clsMachine);  // any object will do as the would-be outer
    void* inner = reinterpret_cast<void*>(1);
    EXPECT_EQ(Hr{factory->CreateInstance(outer.Get(), IID_IUnknown, &inner)}, Hr{CLASS_E_NOAGGREGATION});
    EXPECT_EQ(inner, nullptr);
}

TEST_F(Server, CanUnloadOnlyWithNoObjectAndNoLock)
{
    auto canUnloadNow = KavroExport<Export>("DllCanUnloadNow");
    ASSERT_NE(canUnloadNow, nullptr);
    EXPECT_EQ(Hr{canUnloadNow()}, Hr{S_OK}) << "no object alive";

    ComPtr<IUnknown> object = Create(CLSID_clsMachine);
    ASSERT_NE(object, nullptr);
    EXPECT_EQ(Hr{canUnloadNow()}, Hr{S_FALSE}) << "an object alive";
    ComPtr<IMachine> other = Query<IMachine>(object.Get(), IID_IMachine);
    object.Reset();
    EXPECT_EQ(Hr{canUnloadNow()}, Hr{S_FALSE}) << "its last reference is not yet released";
    other.Reset();
    EXPECT_EQ(Hr{canUnloadNow()}, Hr{S_OK}) << "all released";

    ComPtr<IClassFactory> factory;
    ASSERT_EQ(Hr{CoGetClassObject(CLSID_clsMachine, CLSCTX_INPROC_SERVER, nullptr, IID_IClassFactory,
                                  reinterpret_cast<void**>(factory.GetAddressOf()))},
              Hr{S_OK});
    EXPECT_EQ(Hr{factory->LockServer(TRUE)}, Hr{S_OK});
    EXPECT_EQ(Hr{canUnloadNow()}, Hr{S_FALSE}) << "the server is locked";
    EXPECT_EQ(Hr{factory->LockServer(FALSE)}, Hr{S_OK});
    EXPECT_EQ(Hr{canUnloadNow()}, Hr{S_OK}) << "unlocked again";
}

} // namespace
} // namespace kavro::test
