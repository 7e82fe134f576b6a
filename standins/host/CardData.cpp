// clsCardData: the host's card-data object. The download puts vCardNo and
// vCardTime through the vtable, once per punch record.
#include "PropertyObject.h"

namespace zebhost {
namespace {

enum : DISPID { kCardNo = 1, kCardTime };

const DispatchName kProperties[] = {
    {L"vCardNo", kCardNo},
    {L"vCardTime", kCardTime},
};

class CardData final : public PropertyObject<HOSTSTUB_CardData, _clsCardData> {
public:
    CardData() : PropertyObject(kProperties) {}

    HRESULT STDMETHODCALLTYPE get_vCardNo(VARIANT* value) override { return bag_.Get(kCardNo, value); }
    HRESULT STDMETHODCALLTYPE put_vCardNo(VARIANT value) override { return bag_.Put(kCardNo, value); }
    HRESULT STDMETHODCALLTYPE get_vCardTime(VARIANT* value) override { return bag_.Get(kCardTime, value); }
    HRESULT STDMETHODCALLTYPE put_vCardTime(VARIANT value) override { return bag_.Put(kCardTime, value); }
};

} // namespace

HRESULT CreateCardData(REFIID riid, void** out)
{
    return HandOverNew<CardData>(riid, out);
}

} // namespace zebhost
