#include "HostObjects.h"

#include <string>

#include "Errors.h"
#include "NumberText.h"

namespace kavro {

HostClass::HostClass(REFCLSID clsid, REFIID iid, const wchar_t* className) : iid_(iid), className_(className)
{
    HRESULT hr = CoGetClassObject(clsid, CLSCTX_INPROC_SERVER, nullptr, IID_IClassFactory,
                                  reinterpret_cast<void**>(factory_.GetAddressOf()));
    if (FAILED(hr)) Raise(hr, std::wstring(className_) + L" cannot be created (" + HresultText(hr) + L")");
}

void HostClass::CreateObject(void** object)
{
    HRESULT hr = factory_->CreateInstance(nullptr, iid_, object);
    if (FAILED(hr)) Raise(hr, std::wstring(className_) + L" cannot be created (" + HresultText(hr) + L")");
    if (!*object) Raise(E_POINTER, std::wstring(className_) + L" cannot be created (no object)");
}

void PutByName(IDispatch& object, const wchar_t* className, const wchar_t* property, const VARIANT& value)
{
    const std::wstring what = std::wstring(L"Putting ") + property + L" on " + className + L" failed";
    DISPID id = DISPID_UNKNOWN;
    LPOLESTR name = const_cast<LPOLESTR>(property);
    HRESULT hr = object.GetIDsOfNames(IID_NULL, &name, 1, LOCALE_USER_DEFAULT, &id);
    if (FAILED(hr)) Raise(hr, what + L": no such property (" + HresultText(hr) + L")");

    VARIANT argument = value;  // Invoke may not change it, but takes a non-const array
    DISPID named = DISPID_PROPERTYPUT;
    DISPPARAMS params{&argument, &named, 1, 1};
    EXCEPINFO failure{};
    hr = object.Invoke(id, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_PROPERTYPUT, &params, nullptr, &failure, nullptr);
    Bstr description = Bstr::Attach(failure.bstrDescription);
    SysFreeString(failure.bstrSource);
    SysFreeString(failure.bstrHelpFile);
    if (hr == DISP_E_EXCEPTION && failure.scode) hr = failure.scode;
    if (FAILED(hr)) {
        std::wstring text = what + L" (" + HresultText(hr) + L")";
        if (!description.view().empty()) text += L": " + std::wstring(description.view());
        Raise(hr, text);
    }
}

void AppendToCollection(_Collection* collection, IDispatch* item, const wchar_t* parameter)
{
    if (!collection) Raise(RunTimeError::ObjectRequired, std::wstring(L"Object required: ") + parameter);
    VARIANT value;
    V_VT(&value) = VT_DISPATCH;
    V_DISPATCH(&value) = item;  // borrowed: Add takes its own reference
    VARIANT key = OmittedValue(), before = OmittedValue(), after = OmittedValue();
    Check(collection->Add(&value, &key, &before, &after), L"Add on the collection failed");
}

} // namespace kavro
