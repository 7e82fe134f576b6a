// clsMachineItem: the host's machine-info object. Discovery puts its
// properties by name through IDispatch.
#include "PropertyObject.h"

namespace zebhost {
namespace {

enum : DISPID { kMachineNo = 1, kPort, kIp, kMachineInfo };

const DispatchName kProperties[] = {
    {L"imachineno", kMachineNo},
    {L"iPort", kPort},
    {L"vIp", kIp},
    {L"vMachineInfo", kMachineInfo},
};

class MachineItem final : public PropertyObject<HOSTSTUB_MachineItem, _clsMachineItem> {
public:
    MachineItem() : PropertyObject(kProperties) {}

    HRESULT STDMETHODCALLTYPE get_imachineno(VARIANT* value) override { return bag_.Get(kMachineNo, value); }
    HRESULT STDMETHODCALLTYPE put_imachineno(VARIANT value) override { return bag_.Put(kMachineNo, value); }
    HRESULT STDMETHODCALLTYPE get_iPort(VARIANT* value) override { return bag_.Get(kPort, value); }
    HRESULT STDMETHODCALLTYPE put_iPort(VARIANT value) override { return bag_.Put(kPort, value); }
    HRESULT STDMETHODCALLTYPE get_vIp(VARIANT* value) override { return bag_.Get(kIp, value); }
    HRESULT STDMETHODCALLTYPE put_vIp(VARIANT value) override { return bag_.Put(kIp, value); }
    HRESULT STDMETHODCALLTYPE get_vMachineInfo(VARIANT* value) override { return bag_.Get(kMachineInfo, value); }
    HRESULT STDMETHODCALLTYPE put_vMachineInfo(VARIANT value) override { return bag_.Put(kMachineInfo, value); }
};

} // namespace

HRESULT CreateMachineItem(REFIID riid, void** out)
{
    return HandOverNew<MachineItem>(riid, out);
}

} // namespace zebhost
