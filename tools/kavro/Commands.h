// The five commands. Each calls the component as the host does and answers
// the exit code; failures end as Failure (Failure.h).
#pragma once
#include <string>
#include <vector>

#include "Arguments.h"
#include "Component.h"

namespace kavro::tool {

struct SearchRequest {
    bool serial = false;
    std::vector<std::wstring> addresses;  // network search
    NumberRange ports{0, -1};             // serial search
    NumberRange numbers{1, 1};
};

int Discover(IMachine& machine, const SearchRequest& request, bool json);
int Download(IMachine& machine, const Terminal& terminal, const std::wstring& csvPath, bool json);
int Clear(IMachine& machine, const Terminal& terminal);
int Backup(IMachine& machine, const Terminal& terminal, const std::wstring& person, const std::wstring& storePath);
int Restore(IMachine& machine, const Terminal& terminal, const std::wstring& person, const std::wstring& storePath,
            const std::wstring& text);

// The component answered false: its own message as it is, then the same in
// English (fallback when it gave none that we know). Exit code 1.
[[noreturn]] void AnsweredFalse(std::wstring_view message, const std::wstring& fallback);

// A VARIANT's value as text; empty for Empty and Null.
std::wstring VariantText(const VARIANT& value);

} // namespace kavro::tool
