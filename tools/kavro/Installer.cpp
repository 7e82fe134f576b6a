#include "Installer.h"

#include <windows.h>
#include <msi.h>

#include <algorithm>
#include <utility>
#include <vector>

#include "Component.h"
#include "X64Hosts.h"

namespace kavro::tool {
namespace {

// As deploy/Kavro.wxs declares them; they never change.
const wchar_t kUpgradeCode[] = L"{2F1B0BFC-834B-4C1E-BAF4-E12F3843C1E4}";
const wchar_t kServerComponent[] = L"{4A2FBD82-5404-445F-BE18-38BD276AF979}";
// More would be a broken configuration, not installations.
constexpr DWORD kMostProducts = 16;

struct Product {
    std::wstring code, name, version;
    std::wstring dll;  // where the installer put Kavro.dll; empty when it is not installed there
};

// How a call that writes text into the caller's buffer answered.
enum class Answer { kText, kMore, kNone };

// The text such a call gives, its buffer grown while it asks for more; empty
// when it has none. call(buffer, length) sets length as Windows Installer does.
template <typename Call>
std::wstring GrownText(Call call)
{
    std::vector<wchar_t> text(MAX_PATH);
    for (int tries = 0; tries < 4; ++tries) {
        DWORD length = static_cast<DWORD>(text.size());
        switch (call(text.data(), &length)) {
        case Answer::kText: return std::wstring(text.data(), std::min<size_t>(length, text.size() - 1));
        case Answer::kMore: text.resize(static_cast<size_t>(length) + 1); break;
        case Answer::kNone: return {};
        }
    }
    return {};
}

// A property of an installed product; empty when it has none.
std::wstring ProductInfo(const std::wstring& product, const wchar_t* property)
{
    return GrownText([&](wchar_t* text, DWORD* length) {
        UINT status = MsiGetProductInfoW(product.c_str(), property, text, length);
        return status == ERROR_SUCCESS ? Answer::kText : status == ERROR_MORE_DATA ? Answer::kMore : Answer::kNone;
    });
}

// The installed Kavro.dll of a product, when the installer has it there.
std::wstring InstalledServer(const std::wstring& product)
{
    return GrownText([&](wchar_t* path, DWORD* length) {
        INSTALLSTATE state = MsiGetComponentPathW(product.c_str(), kServerComponent, path, length);
        return state == INSTALLSTATE_LOCAL ? Answer::kText : state == INSTALLSTATE_MOREDATA ? Answer::kMore : Answer::kNone;
    });
}

// The products of Kavro's UpgradeCode, and those that installed Kavro.dll's
// component: the latter also finds an installation whose UpgradeCode entry
// is lost (Wine loses it in a major upgrade). error: Windows Installer's
// answer when it could not say.
std::vector<Product> KavroProducts(UINT& error)
{
    std::vector<std::wstring> codes;
    error = ERROR_SUCCESS;
    auto collect = [&](auto next) {
        for (DWORD i = 0; i < kMostProducts && error == ERROR_SUCCESS; ++i) {
            wchar_t code[39] = {};
            UINT status = next(i, code);
            // No more, or no product holds the component.
            if (status == ERROR_NO_MORE_ITEMS || status == ERROR_UNKNOWN_COMPONENT) return;
            if (status != ERROR_SUCCESS) error = status;
            else if (std::find(codes.begin(), codes.end(), code) == codes.end()) codes.push_back(code);
        }
    };
    collect([](DWORD i, wchar_t* code) { return MsiEnumRelatedProductsW(kUpgradeCode, 0, i, code); });
    collect([](DWORD i, wchar_t* code) { return MsiEnumClientsW(kServerComponent, i, code); });
    std::vector<Product> products;
    for (const std::wstring& code : codes)
        products.push_back({code, ProductInfo(code, INSTALLPROPERTY_INSTALLEDPRODUCTNAME),
                            ProductInfo(code, INSTALLPROPERTY_VERSIONSTRING), InstalledServer(code)});
    return products;
}

// The volume and index of a file: equal for the same file under any of its
// names (a short 8.3 path, another case, a link).
std::optional<std::pair<DWORD, ULONGLONG>> FileIdentity(const std::wstring& path)
{
    HANDLE file = CreateFileW(path.c_str(), FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                              nullptr, OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) return std::nullopt;
    BY_HANDLE_FILE_INFORMATION info{};
    const bool known = GetFileInformationByHandle(file, &info);
    CloseHandle(file);
    if (!known) return std::nullopt;
    return std::pair{info.dwVolumeSerialNumber, (static_cast<ULONGLONG>(info.nFileIndexHigh) << 32) | info.nFileIndexLow};
}

std::wstring Named(const Product& p)
{
    return (p.name.empty() ? std::wstring(L"Kavro") : p.name) + L" " + (p.version.empty() ? L"(no version)" : p.version) +
           L" (Windows Installer product " + p.code + L")";
}

// The repair as a command line Windows Installer takes everywhere (msiexec
// /famus is the same; Wine's msiexec does not repair by product code).
std::wstring Repair(const Product& p)
{
    return L"msiexec /i " + p.code + L" REINSTALL=ALL REINSTALLMODE=amus from " + kElevatedPrompt +
           L" puts back the files and the registration it installed";
}

} // namespace

InstallerFinding ExamineInstaller(const std::optional<std::wstring>& registered)
{
    UINT error = ERROR_SUCCESS;
    const std::vector<Product> products = KavroProducts(error);
    if (error != ERROR_SUCCESS)
        return {true, L"Windows Installer could not list the products of Kavro's UpgradeCode " + std::wstring(kUpgradeCode) +
                          L" or of Kavro.dll's component (error " + std::to_wstring(error) + L")",
                L"Run kavro doctor again from " + std::wstring(kElevatedPrompt) +
                    L"; if it says the same, the Windows Installer service needs repair."};
    if (products.empty())
        return {false, L"no Kavro installed by Windows Installer here (UpgradeCode " + std::wstring(kUpgradeCode) +
                           L"): this installation is not the MSI's", {}};
    if (products.size() > 1) {
        std::wstring all;
        for (const Product& p : products) all += (all.empty() ? L"" : L"; ") + Named(p);
        return {true, std::to_wstring(products.size()) + L" installations by Windows Installer fight over one registration: " + all,
                L"Keep one: remove the others (Apps and features, or msiexec /x PRODUCT from " + std::wstring(kElevatedPrompt) +
                    L"), then repair the one kept with msiexec /i PRODUCT REINSTALL=ALL REINSTALLMODE=amus."};
    }
    const Product& product = products.front();
    if (product.dll.empty())
        return {true, Named(product) + L" is installed, but its Kavro.dll is not" +
                          (registered ? L" (the class names " + *registered + L")" : std::wstring()),
                L"Repair it: " + Repair(product) + L"."};
    const auto installed = FileIdentity(product.dll);
    const std::wstring missing = installed ? L"" : L", and that file is missing";
    if (!registered)
        return {true, Named(product) + L" installed " + product.dll + missing +
                          L", but Kavro.clsMachine's class names no server: the registration was taken away (regsvr32 /u or uninstall.cmd)",
                L"Repair it: " + Repair(product) + L"."};
    const auto named = FileIdentity(*registered);
    const bool same = installed && named ? *installed == *named
                                         : CompareStringOrdinal(FullPath(*registered).c_str(), -1, FullPath(product.dll).c_str(),
                                                                -1, TRUE) == CSTR_EQUAL;
    if (!same)
        return {true, L"the registration names " + *registered + L", not the Kavro.dll that " + Named(product) + L" installed, " +
                          product.dll + missing + L": another copy was registered over it (regsvr32 or install.cmd)",
                L"Unregister that copy (uninstall.cmd in its folder, or regsvr32 /u on it), then repair Kavro: " + Repair(product) +
                    L"."};
    if (!installed)
        return {true, Named(product) + L" installed " + product.dll + L", the registered Kavro.dll, but that file is missing",
                L"Repair it: " + Repair(product) + L"."};
    return {false, Named(product) + L": the registered Kavro.dll is the one it installed, " + product.dll, {}};
}

} // namespace kavro::tool
