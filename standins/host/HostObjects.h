// What the objects of ZebMachine.dll share: error handling at the COM
// boundary, an owning VARIANT, the reference-counted base, the records kept
// for the tests, injected failures and the creation functions.
#pragma once
#include <windows.h>
#include <oleauto.h>
#include <new>
#include <span>
#include <utility>
#include <vector>

#include "HostStub.h"
#include <StdCollection.h>
#include <ZebMachine.h>

namespace zebhost {

// ---- Failures -------------------------------------------------------------

// A failure inside the DLL; one catch at each COM entry point turns it into an HRESULT.
struct ComError {
    HRESULT hr;
    const char* what;
};

[[noreturn]] inline void Fail(HRESULT hr, const char* what) { throw ComError{hr, what}; }
inline void Check(HRESULT hr, const char* what) { if (FAILED(hr)) Fail(hr, what); }

template <class Body>
HRESULT Guarded(Body&& body) noexcept
{
    try {
        body();
        return S_OK;
    } catch (const ComError& e) {
        return e.hr;
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    } catch (...) {
        return E_UNEXPECTED;
    }
}

// The run-time errors a Visual Basic collection raises, as HRESULTs.
constexpr HRESULT VbError(WORD number) { return MAKE_HRESULT(SEVERITY_ERROR, FACILITY_CONTROL, number); }
constexpr HRESULT kInvalidCall = VbError(5);
constexpr HRESULT kSubscriptOutOfRange = VbError(9);
constexpr HRESULT kTypeMismatch = VbError(13);
constexpr HRESULT kDuplicateKey = VbError(457);

// ---- Values ---------------------------------------------------------------

// A VARIANT that owns its contents and can live in a std::vector.
class StoredVariant {
public:
    StoredVariant() { VariantInit(&value_); }
    explicit StoredVariant(const VARIANT& source, bool followReference = false)
    {
        VariantInit(&value_);
        VARIANT* from = const_cast<VARIANT*>(&source);
        Check(followReference ? VariantCopyInd(&value_, from) : VariantCopy(&value_, from), "copy a VARIANT");
    }
    StoredVariant(StoredVariant&& other) noexcept : value_(other.value_) { VariantInit(&other.value_); }
    StoredVariant& operator=(StoredVariant&& other) noexcept
    {
        std::swap(value_, other.value_);
        return *this;
    }
    ~StoredVariant() { VariantClear(&value_); }

    const VARIANT& get() const { return value_; }
    // Empties the value and lends it out to be filled.
    VARIANT* Receive()
    {
        VariantClear(&value_);
        return &value_;
    }
    HRESULT CopyTo(VARIANT* out) const
    {
        VariantInit(out);
        return VariantCopy(out, const_cast<VARIANT*>(&value_));
    }

private:
    VARIANT value_;
};

// What a script hands over for a VARIANT argument: one level of
// VT_BYREF|VT_VARIANT is looked through.
inline const VARIANT& Referenced(const VARIANT& v)
{
    return (V_VT(&v) == (VT_BYREF | VT_VARIANT) && V_VARIANTREF(&v)) ? *V_VARIANTREF(&v) : v;
}

// An optional argument left out: a NULL pointer or VT_ERROR with DISP_E_PARAMNOTFOUND.
inline bool Omitted(const VARIANT* v)
{
    if (!v) return true;
    const VARIANT& r = Referenced(*v);
    return V_VT(&r) == VT_ERROR && V_ERROR(&r) == DISP_E_PARAMNOTFOUND;
}

// ---- Dispatch -------------------------------------------------------------

// One row of an interface's dispatch table.
struct DispatchName {
    const wchar_t* name;
    DISPID id;
};

// GetIDsOfNames from a table; names compare without regard to case.
HRESULT LookUpNames(std::span<const DispatchName> table, REFIID riid, LPOLESTR* names,
                    UINT count, DISPID* ids);

// The positional arguments of one Invoke, first argument first; named
// arguments other than DISPID_PROPERTYPUT are refused.
class InvokeArgs {
public:
    explicit InvokeArgs(const DISPPARAMS* params);
    // The i-th argument, or nullptr when the caller passed fewer.
    VARIANT* at(UINT i) const { return i < count_ ? &params_->rgvarg[count_ - 1 - i] : nullptr; }
    // Requires between min and max arguments.
    void Expect(UINT min, UINT max) const;

private:
    const DISPPARAMS* params_;
    UINT count_;
};

// ---- Records kept for the tests ------------------------------------------

struct PutRecord {
    const wchar_t* name; // the canonical name, from a dispatch table
    StoredVariant value;
};

struct AddRecord {
    StoredVariant item;
    bool keyOmitted;
    bool beforeOmitted;
    bool afterOmitted;
};

// Private interface through which the exported HostStub_* functions read an
// object's records. In-process only: it hands out pointers to the object's own lists.
struct IHostStubRecord : public IUnknown {
    // nullptr when the object keeps no list of that kind.
    virtual const std::vector<PutRecord>* STDMETHODCALLTYPE RecordedPuts() = 0;
    virtual const std::vector<AddRecord>* STDMETHODCALLTYPE RecordedAdds() = 0;
};
extern const IID IID_IHostStubRecord;

// ---- Counters and injected failures (HostStub.cpp) -------------------------

void ObjectCreated(int kind);
void ObjectDestroyed(int kind);
LONG LiveObjectsTotal();

// Each returns the injected failure for this call, or S_OK.
HRESULT InjectedCreateFailure(int kind);
HRESULT InjectedPutFailure(const wchar_t* name);
HRESULT InjectedAddFailure();

// ---- Objects ----------------------------------------------------------------

// Reference counting and the live/created counters for one kind of object;
// Kind HOSTSTUB_KIND_COUNT is an object not counted by kind.
template <int Kind, class... Interfaces>
class HostObject : public Interfaces... {
public:
    HostObject(const HostObject&) = delete;
    HostObject& operator=(const HostObject&) = delete;

    ULONG STDMETHODCALLTYPE AddRef() override { return InterlockedIncrement(&refs_); }
    ULONG STDMETHODCALLTYPE Release() override
    {
        LONG n = InterlockedDecrement(&refs_);
        if (n == 0) delete this;
        return n;
    }

protected:
    HostObject() { ObjectCreated(Kind); }
    virtual ~HostObject() { ObjectDestroyed(Kind); }

    // Hands out interface I of this object with a reference.
    template <class I>
    HRESULT Hand(I* iface, void** out)
    {
        *out = iface;
        AddRef();
        return S_OK;
    }

private:
    LONG refs_ = 1;
};

// A host object behind a dual interface that keeps records for the tests.
// There is no type information: late binding goes through each object's own
// dispatch table, so nothing needs to be registered for it.
template <int Kind, class Interface>
class AutomationObject : public HostObject<Kind, Interface, IHostStubRecord> {
public:
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** out) override
    {
        if (!out) return E_POINTER;
        if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IDispatch) ||
            IsEqualIID(riid, __uuidof(Interface)))
            return this->Hand(static_cast<Interface*>(this), out);
        if (IsEqualIID(riid, IID_IHostStubRecord))
            return this->Hand(static_cast<IHostStubRecord*>(this), out);
        *out = nullptr;
        return E_NOINTERFACE;
    }

    HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT* count) override
    {
        if (!count) return E_POINTER;
        *count = 0;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT, LCID, ITypeInfo** info) override
    {
        if (info) *info = nullptr;
        return DISP_E_BADINDEX;
    }
};

// Creates a new object (one reference, handed over through QueryInterface).
using Creator = HRESULT (*)(REFIID riid, void** out);
HRESULT CreateMachineItem(REFIID riid, void** out);
HRESULT CreateCardData(REFIID riid, void** out);
HRESULT CreateCollection(REFIID riid, void** out);
HRESULT CreateItemEnumerator(_Collection* collection, IUnknown** out);

// Makes an object and hands it to its caller through QueryInterface; the
// object goes again if the interface is refused.
template <class Object, class... Args>
HRESULT HandOverNew(REFIID riid, void** out, Args&&... args)
{
    if (!out) return E_POINTER;
    *out = nullptr;
    Object* object = nullptr;
    HRESULT hr = Guarded([&] { object = new Object(std::forward<Args>(args)...); });
    if (FAILED(hr)) return hr;
    hr = object->QueryInterface(riid, out);
    object->Release();
    return hr;
}

// The server's lock count (IClassFactory::LockServer).
void LockModule(bool lock);
LONG ModuleLocks();

// The host's classes and the stand-in Collection, as COM serves and registers them.
struct ServedClass {
    const CLSID* clsid;
    const wchar_t* name;
    const wchar_t* progId;
    int kind;
    Creator create;
};
std::span<const ServedClass> ServedClasses();
HRESULT CreateClassFactory(const ServedClass& served, REFIID riid, void** out);

} // namespace zebhost
