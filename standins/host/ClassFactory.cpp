// The class factory of a served class. A factory is an object like any other
// here, so a factory someone holds keeps DllCanUnloadNow answering S_FALSE.
#include "HostObjects.h"

namespace zebhost {
namespace {

class ClassFactory final : public HostObject<HOSTSTUB_KIND_COUNT, IClassFactory> {
public:
    explicit ClassFactory(const ServedClass& served) : served_(served) {}

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** out) override
    {
        if (!out) return E_POINTER;
        if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IClassFactory))
            return Hand(static_cast<IClassFactory*>(this), out);
        *out = nullptr;
        return E_NOINTERFACE;
    }

    HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* outer, REFIID riid, void** out) override
    {
        if (!out) return E_POINTER;
        *out = nullptr;
        if (outer) return CLASS_E_NOAGGREGATION;
        HRESULT injected = InjectedCreateFailure(served_.kind);
        if (FAILED(injected)) return injected;
        return served_.create(riid, out);
    }

    HRESULT STDMETHODCALLTYPE LockServer(BOOL lock) override
    {
        LockModule(lock != FALSE);
        return S_OK;
    }

private:
    const ServedClass& served_;
};

LONG g_locks;

} // namespace

void LockModule(bool lock)
{
    if (lock)
        InterlockedIncrement(&g_locks);
    else
        InterlockedDecrement(&g_locks);
}

LONG ModuleLocks() { return g_locks; }

HRESULT CreateClassFactory(const ServedClass& served, REFIID riid, void** out)
{
    return HandOverNew<ClassFactory>(riid, out, served);
}

} // namespace zebhost
