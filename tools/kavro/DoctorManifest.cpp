// Use without registration: Kavro.manifest beside Kavro.dll declares the
// class for hosts whose manifest depends on it.
#include "DoctorChecks.h"

#include <oleauto.h>
#include <wrl/client.h>

#include "Component.h"
#include "Manifest.h"
#include "frame/Identity.h"

namespace kavro::tool::doctor {
namespace {

using Microsoft::WRL::ComPtr;

// What the manifest gets wrong about clsMachine in the DLL named dllName; empty when nothing.
std::wstring ManifestMistakes(const std::wstring& manifest, const std::wstring& dllName)
{
    std::optional<std::vector<DeclaredClass>> classes = DeclaredClasses(manifest);
    if (!classes) return L"cannot be read";
    const std::wstring clsid = GuidText(CLSID_clsMachine);
    const DeclaredClass* ours = nullptr;
    std::wstring others;
    for (const DeclaredClass& c : *classes) {
        if (SameText(c.clsid, clsid)) ours = &c;
        else others += (others.empty() ? L"" : L", ") + c.clsid;
    }
    if (!ours)
        return others.empty() ? L"declares no COM class, so not clsMachine " + clsid
                              : L"declares the class " + others + L", not clsMachine " + clsid;
    std::wstring wrong;
    auto expect = [&](const wchar_t* what, const std::wstring& got, const std::wstring& want) {
        if (!SameText(got, want))
            wrong += (wrong.empty() ? L"" : L", ") + std::wstring(what) + L" \"" + got + L"\" instead of \"" + want + L"\"";
    };
    expect(L"the file", ours->file, dllName);
    expect(L"the ProgID", ours->progid, kProgId);
    expect(L"the type library", ours->tlbid, GuidText(LIBID_Kavro));
    expect(L"the threading model", ours->threadingModel, L"Apartment");
    return wrong.empty() ? wrong : L"declares clsMachine with " + wrong;
}

} // namespace

// Nothing registered: with Kavro.manifest beside the DLL that is an
// installation for use without registration; else the one cause.
std::wstring CheckUnregistered(Findings& f, const std::wstring& given)
{
    std::wstring file = given;
    if (file.empty()) {
        std::wstring beside = FolderOf(ModulePath(nullptr)) + L"Kavro.dll";
        if (FileExists(beside)) file = beside;
    }
    const std::wstring manifest = FolderOf(file) + L"Kavro.manifest";
    if (file.empty() || !FileExists(manifest)) {
        f.Problem(L"ProgID",
                  L"Kavro.clsMachine is not registered, nor its class, and there is no Kavro.manifest beside " +
                      (file.empty() ? std::wstring(L"Kavro.dll") : file),
                  kRegister);
        const std::wstring because = L"Kavro.dll is not registered";
        f.NotChecked({L"server", L"threading model"}, because);
        if (given.empty()) f.NotChecked({L"32-bit DLL", L"version"}, because);
        else CheckFile(f, given);
        f.NotChecked({L"type library", L"creation"}, because);
        return file;
    }
    f.Ok(L"ProgID", L"Kavro.clsMachine is not registered: " + manifest +
                        L" declares it for hosts whose manifest depends on Kavro (use without registration)");
    std::wstring wrong = ManifestMistakes(manifest, NameOf(file));
    std::optional<ActivatedManifest> context;
    if (wrong.empty()) {
        context.emplace(manifest);
        if (context->error())
            wrong = L"is not accepted as an activation context: " + Explained(HRESULT_FROM_WIN32(context->error()));
    }
    if (!wrong.empty())
        f.Problem(L"manifest", manifest + L" " + wrong,
                  L"Replace Kavro.manifest with the one of the release package, beside Kavro.dll.");
    else
        f.Ok(L"manifest", manifest + L" declares " + NameOf(file) + L" with clsMachine " + GuidText(CLSID_clsMachine) +
                              L", Kavro.clsMachine, the type library " + GuidText(LIBID_Kavro) + L" and Apartment");
    bool dll = CheckFile(f, file);
    if (!wrong.empty() || !dll) {
        f.NotChecked({L"type library", L"creation"}, wrong.empty() ? L"the DLL is not usable" : L"the manifest is wrong");
        return file;
    }
    ComPtr<ITypeLib> library;
    HRESULT hr = LoadRegTypeLib(LIBID_Kavro, kTypeLibMajor, kTypeLibMinor, LOCALE_NEUTRAL, &library);
    if (FAILED(hr)) f.Problem(L"type library", L"Kavro 1.0 cannot be loaded through Kavro.manifest: " + Explained(hr),
                              L"Replace Kavro.manifest and Kavro.dll with those of the release package.");
    else f.Ok(L"type library", L"Kavro 1.0 loads through Kavro.manifest");
    CheckCreation(f, file, L"by its ProgID through Kavro.manifest");
    return file;
}

} // namespace kavro::tool::doctor
