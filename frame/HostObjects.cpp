#include "HostObjects.h"

#include <string>

#include "Errors.h"

namespace kavro {

CardDataFactory::CardDataFactory()
{
    Check(CoGetClassObject(CLSID_clsCardData, CLSCTX_INPROC_SERVER, nullptr, IID_IClassFactory,
                           reinterpret_cast<void**>(factory_.GetAddressOf())),
          L"clsCardData cannot be created");
}

ComPtr<_clsCardData> CardDataFactory::Create()
{
    ComPtr<_clsCardData> card;
    Check(factory_->CreateInstance(nullptr, IID__clsCardData, reinterpret_cast<void**>(card.GetAddressOf())),
          L"clsCardData cannot be created");
    if (!card) Raise(E_POINTER, L"clsCardData cannot be created");
    return card;
}

void AppendToCollection(_Collection* collection, IDispatch* item, const wchar_t* parameter)
{
    if (!collection) Raise(RunTimeError::ObjectRequired, std::wstring(L"Object required: ") + parameter);
    VARIANT value;
    V_VT(&value) = VT_DISPATCH;
    V_DISPATCH(&value) = item;  // borrowed: Add takes its own reference
    VARIANT omitted;
    V_VT(&omitted) = VT_ERROR;
    V_ERROR(&omitted) = DISP_E_PARAMNOTFOUND;
    VARIANT key = omitted, before = omitted, after = omitted;
    Check(collection->Add(&value, &key, &before, &after), L"Add on the collection failed");
}

} // namespace kavro
