// The COM classes an assembly manifest declares for its files, and an
// activation context made from it: registration-free use as a host meets it.
#pragma once
#include <windows.h>

#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace kavro::tool {

// One <comClass> and the <file> it sits in; attributes as written.
struct DeclaredClass {
    std::wstring file, clsid, progid, threadingModel, tlbid;
};

// nullopt when the file cannot be read or is not text.
std::optional<std::vector<DeclaredClass>> DeclaredClasses(const std::wstring& manifestPath);
// The same from a manifest's bytes (UTF-8, or UTF-16 after its byte-order
// mark). Any bytes at all give an answer, at worst no classes.
std::vector<DeclaredClass> DeclaredClassesIn(const std::string& bytes);

// An activation context from a manifest, active while this object lives.
class ActivatedManifest {
public:
    explicit ActivatedManifest(const std::wstring& manifestPath);
    ActivatedManifest(const ActivatedManifest&) = delete;
    ActivatedManifest& operator=(const ActivatedManifest&) = delete;
    ~ActivatedManifest();
    // 0 when active, else the error CreateActCtx or ActivateActCtx gave.
    DWORD error() const { return error_; }

private:
    HANDLE context_ = INVALID_HANDLE_VALUE;
    ULONG_PTR cookie_ = 0;
    DWORD error_ = 0;
};

} // namespace kavro::tool
