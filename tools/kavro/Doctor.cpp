// kavro doctor: runs the checks (DoctorChecks.h) and prints what they found.
#include "Doctor.h"

#include <windows.h>

#include <algorithm>
#include <vector>

#include <nlohmann/json.hpp>

#include "Component.h"
#include "Console.h"
#include "DoctorChecks.h"
#include "Failure.h"
#include "frame/Identity.h"

namespace kavro::tool {
namespace {

using Json = nlohmann::ordered_json;
using namespace doctor;

// The installation as a host meets it; given: the Kavro.dll --dll names, if any.
std::vector<Finding> Examine(const std::wstring& given, bool x64)
{
    Findings f;
    if (x64) {
        CheckX64(f);
        return f.all();
    }
    CheckWindows(f);
    const bool progId = static_cast<bool>(Key(HKEY_CLASSES_ROOT, kProgId));
    const bool server = static_cast<bool>(Key(HKEY_CLASSES_ROOT, L"CLSID\\" + GuidText(CLSID_clsMachine)));
    const std::wstring file = progId || server ? CheckRegistration(f, given) : CheckUnregistered(f, given);
    CheckInstaller(f);
    CheckVendorLibrary(f, FolderOf(file));
    CheckHostClasses(f);
    CheckRegistryView(f);
    return f.all();
}

} // namespace

int Doctor(const std::wstring& dllPath, bool json, bool x64)
{
    if (!dllPath.empty() && !FileExists(FullPath(dllPath))) Fail(kBadArguments, L"--dll: there is no file " + dllPath);
    const std::vector<Finding> findings = Examine(dllPath.empty() ? L"" : FullPath(dllPath), x64);
    size_t problems = 0;
    std::wstring warnings;  // their checks' names
    size_t warned = 0;
    for (const Finding& f : findings) {
        problems += f.level == Level::kProblem ? 1 : 0;
        if (f.level == Level::kWarning) warnings += (warned++ ? L", " : L"") + f.check;
    }

    if (json) {
        Json out = Json::array();
        for (const Finding& f : findings) {
            // "ok" stays what it was for readers that know no levels: nothing to correct.
            bool ok = f.level == Level::kOk || f.level == Level::kWarning;
            out.push_back({{"check", Utf8(f.check)}, {"ok", ok}, {"found", Utf8(f.found)}, {"fix", Utf8(f.fix)},
                           {"level", Utf8(LevelName(f.level))}});
        }
        Print(FromUtf8(out.dump(2)) + L"\n");
    } else {
        std::wstring text;
        for (const Finding& f : findings) {
            std::wstring level = LevelName(f.level);
            level.resize(std::max<size_t>(level.size() + 2, 9), L' ');
            text += level + f.check + L": " + f.found + (f.fix.empty() ? L"" : L". Fix: " + f.fix) + L"\n";
        }
        const std::wstring warningCount = std::to_wstring(warned) + (warned == 1 ? L" warning (" : L" warnings (") + warnings + L")";
        if (problems == 0 && warned == 0) text += L"Everything is in order.\n";
        else if (problems == 0) text += L"No problem found, but " + warningCount + L": read it before you leave.\n";
        else text += std::to_wstring(problems) + (problems == 1 ? L" problem" : L" problems") + L" found" +
                     (warned ? L", and " + warningCount : L"") + L".\n";
        Print(text);
    }
    return problems == 0 ? kSuccess : kAnsweredFalse;
}

} // namespace kavro::tool
