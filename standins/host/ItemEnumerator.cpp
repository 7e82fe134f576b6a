// The enumerator a Collection's _NewEnum hands out, for For Each. It walks the
// live collection by index through the collection's own interface, so each
// step is O(1) and items added meanwhile are seen.
#include "HostObjects.h"

#include <wrl/client.h>

namespace zebhost {
namespace {

using Microsoft::WRL::ComPtr;

class ItemEnumerator final : public HostObject<HOSTSTUB_KIND_COUNT, IEnumVARIANT> {
public:
    ItemEnumerator(_Collection* collection, LONG next) : collection_(collection), next_(next) {}

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** out) override
    {
        if (!out) return E_POINTER;
        if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IEnumVARIANT))
            return Hand(static_cast<IEnumVARIANT*>(this), out);
        *out = nullptr;
        return E_NOINTERFACE;
    }

    HRESULT STDMETHODCALLTYPE Next(ULONG wanted, VARIANT* items, ULONG* fetched) override
    {
        if (fetched) *fetched = 0;
        if (!items) return E_POINTER;
        ULONG got = 0;
        for (; got < wanted; ++got) {
            HRESULT hr = Fetch(&items[got]);
            if (hr == S_FALSE) break;
            if (FAILED(hr)) {
                for (ULONG i = 0; i < got; ++i) VariantClear(&items[i]);
                return hr;
            }
        }
        if (fetched) *fetched = got;
        return got == wanted ? S_OK : S_FALSE;
    }

    HRESULT STDMETHODCALLTYPE Skip(ULONG count) override
    {
        next_ += static_cast<LONG>(count);
        return next_ - 1 <= Size() ? S_OK : S_FALSE;
    }

    HRESULT STDMETHODCALLTYPE Reset() override
    {
        next_ = 1;
        return S_OK;
    }

    HRESULT STDMETHODCALLTYPE Clone(IEnumVARIANT** out) override
    {
        return HandOverNew<ItemEnumerator>(IID_IEnumVARIANT, reinterpret_cast<void**>(out),
                                           collection_.Get(), next_);
    }

private:
    LONG Size() const
    {
        LONG count = 0;
        return SUCCEEDED(collection_->Count(&count)) ? count : 0;
    }

    // The next item, or S_FALSE past the end.
    HRESULT Fetch(VARIANT* item)
    {
        VariantInit(item);
        if (next_ > Size()) return S_FALSE;
        VARIANT index;
        V_VT(&index) = VT_I4;
        V_I4(&index) = next_;
        HRESULT hr = collection_->Item(&index, item);
        if (SUCCEEDED(hr)) ++next_;
        return hr;
    }

    ComPtr<_Collection> collection_;
    LONG next_; // 1-based index of the next item
};

} // namespace

HRESULT CreateItemEnumerator(_Collection* collection, IUnknown** out)
{
    return HandOverNew<ItemEnumerator>(IID_IUnknown, reinterpret_cast<void**>(out), collection, 1);
}

} // namespace zebhost
