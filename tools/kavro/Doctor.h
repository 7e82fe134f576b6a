// kavro doctor: the installation checked the way a host meets it, one finding
// a line, each problem with its fix. It only reads: nothing is registered,
// written or called on a terminal.
#pragma once
#include <string>

namespace kavro::tool {

// dllPath: the Kavro.dll meant to be installed; empty for the registered one.
// Exit code 0 when everything is in order, 1 when a problem was found.
// x64: the registration for 64-bit hosts instead (this one creates the
// component, in its surrogate process).
int Doctor(const std::wstring& dllPath, bool json, bool x64);

} // namespace kavro::tool
