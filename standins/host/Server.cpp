// The in-process server: which classes it serves, their factories, and when
// it may be unloaded.
#include "HostObjects.h"
#include "MemoryRecordset.h"

namespace zebhost {
namespace {

// Our own CLSID for the stand-in Collection, so that registering it never
// takes over the platform's Collection class.
const CLSID CLSID_HostStubCollection = {0xed6a96ec, 0x7dd6, 0x4f25, {0x87, 0x9a, 0x19, 0xda, 0x1e, 0x37, 0xc1, 0x65}};
// The same for the in-memory ADO recordset.
const CLSID CLSID_HostStubRecordset = {0x7282b627, 0x6753, 0x472e, {0x92, 0x4d, 0x19, 0x7e, 0xa8, 0x02, 0x6d, 0x6b}};

const ServedClass kServedClasses[] = {
    {&CLSID_clsMachineItem, L"clsMachineItem", L"ZebMachine.clsMachineItem", HOSTSTUB_MachineItem, CreateMachineItem},
    {&CLSID_clsCardData, L"clsCardData", L"ZebMachine.clsCardData", HOSTSTUB_CardData, CreateCardData},
    {&CLSID_HostStubCollection, L"Collection", L"ZebMachine.Collection", HOSTSTUB_Collection, CreateCollection},
    {&CLSID_HostStubRecordset, L"Recordset", L"ZebMachine.Recordset", HOSTSTUB_KIND_COUNT, memrs::CreateRecordset},
};

} // namespace

std::span<const ServedClass> ServedClasses() { return kServedClasses; }

} // namespace zebhost

using namespace zebhost;

STDAPI DllGetClassObject(REFCLSID clsid, REFIID riid, void** out)
{
    if (!out) return E_POINTER;
    *out = nullptr;
    for (const ServedClass& served : ServedClasses()) {
        if (IsEqualCLSID(clsid, *served.clsid)) return CreateClassFactory(served, riid, out);
    }
    return CLASS_E_CLASSNOTAVAILABLE;
}

STDAPI DllCanUnloadNow(void)
{
    return (ModuleLocks() == 0 && LiveObjectsTotal() == 0 && memrs::LiveObjects() == 0) ? S_OK : S_FALSE;
}
