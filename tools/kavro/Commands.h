// The five commands. Each calls the component as the host does and answers
// the exit code; failures end as Failure (Failure.h).
#pragma once
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "Arguments.h"
#include "Component.h"

namespace kavro::tool {

class WorkerSearch;

struct SearchRequest {
    bool serial = false;
    std::vector<std::wstring> addresses;  // network search
    NumberRange ports{0, -1};             // serial search
    NumberRange numbers{1, 1};
};

// One property a found terminal's clsMachineItem holds, as text and, when
// the component put a whole number, as that number.
struct ReportedProperty {
    std::wstring name;
    std::wstring text;
    std::optional<long> number;
};

// What searching one place (address or port) gave: the terminals the
// component reported there, in its order, and, when the search of that place
// failed, the exit code and message it would have ended the program with.
struct PlaceResult {
    std::vector<std::vector<ReportedProperty>> found;
    int exitCode = 0;
    std::wstring failure;
    bool searched = true;  // false: the search ended before this place
};

// Told of each place's result as it arrives (in any order).
using PlaceDone = std::function<void(size_t index, const PlaceResult& result)>;

size_t PlaceCount(const SearchRequest& request);
std::wstring PlaceName(const SearchRequest& request, size_t index);  // "192.168.1.7", "COM3"

// One funcRegister call for the place at index; failures end up in the result.
PlaceResult SearchPlace(IMachine& machine, const SearchRequest& request, size_t index);

// Searches every place, here one after another (no workers) or spread over
// the workers' processes (Workers.h), then prints what was found in the order
// of the places. The exit code is that of the first place that failed. On
// Ctrl+C it prints what was found so far and ends.
int Discover(IMachine& machine, const SearchRequest& request, bool json, WorkerSearch* workers);
int Download(IMachine& machine, const Terminal& terminal, const std::wstring& csvPath, bool json);
int Clear(IMachine& machine, const Terminal& terminal);
// Both wait up to waitSeconds for the fingerprint store's lock (Store.h).
int Backup(IMachine& machine, const Terminal& terminal, const std::wstring& person, const std::wstring& storePath,
           int waitSeconds);
int Restore(IMachine& machine, const Terminal& terminal, const std::wstring& person, const std::wstring& storePath,
            const std::wstring& text, int waitSeconds);

// The component answered false: its own message as it is, then the same in
// English (fallback when it gave none that we know). Exit code 1.
[[noreturn]] void AnsweredFalse(std::wstring_view message, const std::wstring& fallback);

// A VARIANT's value as text; empty for Empty and Null.
std::wstring VariantText(const VARIANT& value);

} // namespace kavro::tool
