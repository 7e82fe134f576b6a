// The frame every IMachine method runs through: a reference on the object for
// the call, the Boolean result false until the success path says otherwise,
// and the method's error trap.
#pragma once
#include <windows.h>
#include <oleauto.h>
#include <string_view>
#include <utility>

#include "Errors.h"

namespace kavro {

enum class Trap {
    None,        // a failure reaches the host as a failing HRESULT with error information
    Silent,      // a failure gives the result false and a successful call
    MessageBox,  // as Silent, after showing the failure and setting the fixed message
};

struct MethodPolicy {
    const wchar_t* name;
    Trap trap;
    const wchar_t* trapMessage;  // put into strMsg by the MessageBox trap
};

// The trap table.
namespace policy {
inline constexpr MethodPolicy funcRegister{L"funcRegister", Trap::MessageBox,
                                           L"搜索考勤机失败，请重试！"};
inline constexpr MethodPolicy funcBackFingure{L"funcBackFingure", Trap::Silent, nullptr};
inline constexpr MethodPolicy funcReWrite{L"funcReWrite", Trap::Silent, nullptr};
inline constexpr MethodPolicy DownloadCarddata{L"DownloadCarddata", Trap::None, nullptr};
inline constexpr MethodPolicy funcWriteCard{L"funcWriteCard", Trap::None, nullptr};
inline constexpr MethodPolicy delCardData{L"delCardData", Trap::Silent, nullptr};
} // namespace policy

class MethodFrame {
public:
    explicit MethodFrame(const MethodPolicy& policy) : policy_(policy) {}

    // From here on failures go to the method's trap. strMsg receives the
    // trap's fixed message, where the method has one.
    void ArmTrap(BSTR* strMsg = nullptr)
    {
        armed_ = true;
        strMsg_ = strMsg;
    }

    // Turns the exception in flight into the method's HRESULT.
    HRESULT Fail() noexcept;

private:
    const MethodPolicy& policy_;
    bool armed_ = false;
    BSTR* strMsg_ = nullptr;
};

// Runs body(frame), which answers true on its success path. Never throws.
template <class Body>
HRESULT RunMethod(IUnknown& self, const MethodPolicy& policy, VARIANT_BOOL* result, Body&& body) noexcept
{
    if (!result) return E_POINTER;
    self.AddRef();
    VARIANT_BOOL answer = VARIANT_FALSE;
    MethodFrame frame(policy);
    HRESULT hr = S_OK;
    try {
        if (std::forward<Body>(body)(frame)) answer = VARIANT_TRUE;
    } catch (...) {
        hr = frame.Fail();
    }
    *result = answer;
    self.Release();
    return hr;
}

// Replaces the caller's string, as a by-reference String parameter allows. The
// text goes by its length: a host's text may hold NULs.
void SetText(BSTR* target, std::wstring_view text);

} // namespace kavro
