// Backup and restore in a build without the in-memory recordset.
#include "Commands.h"
#include "Failure.h"

namespace kavro::tool {

int Backup(IMachine&, const Terminal&, const std::wstring&, const std::wstring&)
{
    Fail(kCallFailed, L"backup is not available in this build: it has no recordset");
}

int Restore(IMachine&, const Terminal&, const std::wstring&, const std::wstring&, const std::wstring&)
{
    Fail(kCallFailed, L"restore is not available in this build: it has no recordset");
}

} // namespace kavro::tool
