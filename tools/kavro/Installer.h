// What Windows Installer knows of Kavro, for kavro doctor: the products of
// Kavro's MSI (deploy/Kavro.wxs) by their UpgradeCode, and whether the
// registered Kavro.dll is the file the installer put there. It only reads.
#pragma once
#include <optional>
#include <string>

namespace kavro::tool {

struct InstallerFinding {
    bool problem;       // else all is well, or no MSI installed Kavro here
    std::wstring found;
    std::wstring fix;   // empty unless a problem
};

// registered: the server file Kavro.clsMachine's class names, when it names one.
InstallerFinding ExamineInstaller(const std::optional<std::wstring>& registered);

} // namespace kavro::tool
