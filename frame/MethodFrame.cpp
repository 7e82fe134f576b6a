#include "MethodFrame.h"

#include <exception>
#include <new>

#include "Identity.h"
#include "Owners.h"
#include "ZebMachine.h"

namespace kavro {

void Raise(RunTimeError error, std::wstring description)
{
    throw ComError{ToHresult(error), std::move(description)};
}

void Raise(HRESULT hr, std::wstring description)
{
    throw ComError{hr, std::move(description)};
}

ComError CurrentFailure() noexcept
{
    try {
        throw;
    } catch (const ComError& error) {
        return error;
    } catch (const std::bad_alloc&) {
        return ComError{E_OUTOFMEMORY, L"Out of memory"};
    } catch (...) {
        return ComError{E_UNEXPECTED, L"Unexpected failure"};
    }
}

namespace {

// Error information for the host, readable through GetErrorInfo.
void PublishErrorInfo(const ComError& error) noexcept
{
    ComPtr<ICreateErrorInfo> create;
    if (FAILED(CreateErrorInfo(&create))) return;
    create->SetGUID(IID_IMachine);
    create->SetSource(const_cast<LPOLESTR>(kProgId));
    create->SetDescription(const_cast<LPOLESTR>(error.description.c_str()));
    ComPtr<IErrorInfo> info;
    if (SUCCEEDED(create.As(&info))) SetErrorInfo(0, info.Get());
}

// Whether this process is COM's surrogate (dllhost.exe), serving a host in
// another process, such as a 64-bit one: nobody need be at its screen.
bool InSurrogate() noexcept
{
    wchar_t path[MAX_PATH];
    DWORD n = GetModuleFileNameW(nullptr, path, MAX_PATH);
    if (n == 0 || n >= MAX_PATH) return false;
    const wchar_t* name = path + n;
    while (name > path && name[-1] != L'\\' && name[-1] != L'/') --name;
    return CompareStringOrdinal(name, -1, L"dllhost.exe", -1, TRUE) == CSTR_EQUAL;
}

} // namespace

HRESULT MethodFrame::Fail() noexcept
{
    ComError error = CurrentFailure();
    if (!armed_ || policy_.trap == Trap::None) {
        PublishErrorInfo(error);
        return FAILED(error.hr) ? error.hr : E_FAIL;
    }
    if (policy_.trap == Trap::MessageBox) {
        // In a surrogate the box would hold the host's call with nobody to
        // close it: the failure's description follows the message instead.
        const bool surrogate = InSurrogate();
        if (!surrogate) MessageBoxW(nullptr, error.description.c_str(), kComponentName, MB_OK);
        if (strMsg_ && policy_.trapMessage) {
            try {
                std::wstring text = policy_.trapMessage;
                if (surrogate) text += L"\n" + error.description;
                SetText(strMsg_, text);
            } catch (...) {
                // The result already says false; losing the message is all that is left.
            }
        }
    }
    SetErrorInfo(0, nullptr);
    return S_OK;
}

void SetText(BSTR* target, std::wstring_view text)
{
    if (!target) Raise(E_POINTER, L"A by-reference String parameter is missing");
    Bstr replacement(text);
    SysFreeString(*target);
    *target = replacement.Detach();
}

} // namespace kavro
