// Owners for the Automation resources the component handles, so that no path
// frees by hand: Bstr for a BSTR, Variant for a VARIANT, RegKey for an open
// registry key. Interfaces use Microsoft::WRL::ComPtr.
#pragma once
#include <windows.h>
#include <oleauto.h>
#include <wrl/client.h>
#include <new>
#include <string_view>
#include <utility>

namespace kavro {

using Microsoft::WRL::ComPtr;

class Bstr {
public:
    Bstr() = default;
    explicit Bstr(std::wstring_view text) : value_(Allocate(text)) {}
    Bstr(const Bstr& other) : value_(other.value_ ? Allocate(other.view()) : nullptr) {}
    Bstr(Bstr&& other) noexcept : value_(std::exchange(other.value_, nullptr)) {}
    Bstr& operator=(Bstr other) noexcept { std::swap(value_, other.value_); return *this; }
    ~Bstr() { SysFreeString(value_); }

    // Takes ownership of a BSTR someone handed us.
    static Bstr Attach(BSTR value) { Bstr b; b.value_ = value; return b; }
    BSTR Detach() { return std::exchange(value_, nullptr); }
    BSTR get() const { return value_; }
    BSTR* out() { SysFreeString(value_); value_ = nullptr; return &value_; }
    // A NULL BSTR is the empty string.
    std::wstring_view view() const { return value_ ? std::wstring_view(value_, SysStringLen(value_)) : std::wstring_view(); }

private:
    static BSTR Allocate(std::wstring_view text)
    {
        BSTR b = SysAllocStringLen(text.data(), static_cast<UINT>(text.size()));
        if (!b) throw std::bad_alloc();
        return b;
    }
    BSTR value_ = nullptr;
};

// A BSTR someone else owns, as text; a NULL BSTR is the empty string.
inline std::wstring_view ViewOf(BSTR text) { return text ? std::wstring_view(text, SysStringLen(text)) : std::wstring_view(); }

// VARIANTs handed to a call: the text is borrowed from its owner, the numbers
// are held by value, so none of them is cleared.
inline VARIANT TextValue(const Bstr& text)
{
    VARIANT v;
    V_VT(&v) = VT_BSTR;
    V_BSTR(&v) = text.get();
    return v;
}

inline VARIANT ShortValue(short value)
{
    VARIANT v;
    V_VT(&v) = VT_I2;
    V_I2(&v) = value;
    return v;
}

inline VARIANT LongValue(long value)
{
    VARIANT v;
    V_VT(&v) = VT_I4;
    V_I4(&v) = value;
    return v;
}

// An optional argument left out, as Automation spells it.
inline VARIANT OmittedValue()
{
    VARIANT v;
    V_VT(&v) = VT_ERROR;
    V_ERROR(&v) = DISP_E_PARAMNOTFOUND;
    return v;
}

class Variant {
public:
    Variant() { VariantInit(&value_); }
    Variant(const Variant&) = delete;
    Variant& operator=(const Variant&) = delete;
    ~Variant() { VariantClear(&value_); }

    VARIANT* get() { return &value_; }
    const VARIANT* get() const { return &value_; }
    VARIANT* out() { VariantClear(&value_); return &value_; }
    VARIANT* operator->() { return &value_; }
    const VARIANT* operator->() const { return &value_; }

private:
    VARIANT value_;
};

// An open registry key, closed once.
class RegKey {
public:
    RegKey() = default;
    RegKey(const RegKey&) = delete;
    RegKey& operator=(const RegKey&) = delete;
    ~RegKey() { if (key_) RegCloseKey(key_); }
    HKEY get() const { return key_; }
    HKEY* out() { return &key_; }

private:
    HKEY key_ = nullptr;
};

} // namespace kavro
