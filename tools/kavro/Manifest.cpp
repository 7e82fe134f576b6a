#include "Manifest.h"

#include <cstring>
#include <map>

#include "Console.h"
#include "Handle.h"

namespace kavro::tool {
namespace {

constexpr DWORD kMaxBytes = 1u << 20;  // a manifest is a few kilobytes

std::optional<std::string> ReadBytes(const std::wstring& path)
{
    Handle file(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
    DWORD size = file ? GetFileSize(file.get(), nullptr) : INVALID_FILE_SIZE;
    if (size == INVALID_FILE_SIZE || size > kMaxBytes) return std::nullopt;
    std::string bytes(size, '\0');
    DWORD read = 0;
    if (size && (!ReadFile(file.get(), bytes.data(), size, &read, nullptr) || read != size)) return std::nullopt;
    return bytes;
}

std::wstring Decoded(std::string bytes)
{
    if (bytes.compare(0, 2, "\xFF\xFE") == 0) {
        std::wstring text((bytes.size() - 2) / 2, L'\0');
        std::memcpy(text.data(), bytes.data() + 2, text.size() * sizeof(wchar_t));
        return text;
    }
    if (bytes.compare(0, 3, "\xEF\xBB\xBF") == 0) bytes.erase(0, 3);
    return FromUtf8(bytes);
}

bool IsSpace(wchar_t c) { return c == L' ' || c == L'\t' || c == L'\r' || c == L'\n'; }

// One tag: its name without a namespace prefix, and its attributes.
struct Tag {
    std::wstring name;
    bool closing = false, empty = false;
    std::map<std::wstring, std::wstring> attributes;
};

// The tag starting at text[at] == '<'; at moves past it. nullopt for
// comments, declarations and processing instructions.
std::optional<Tag> NextTag(const std::wstring& text, size_t& at)
{
    if (text.compare(at, 4, L"<!--") == 0) {
        size_t end = text.find(L"-->", at);
        at = end == std::wstring::npos ? text.size() : end + 3;
        return std::nullopt;
    }
    size_t end = text.find(L'>', at);
    if (end == std::wstring::npos) end = text.size();
    std::wstring body = text.substr(at + 1, end - at - 1);
    at = end + 1;
    if (body.empty() || body[0] == L'?' || body[0] == L'!') return std::nullopt;
    Tag tag;
    size_t i = 0;
    if (body[0] == L'/') tag.closing = true, i = 1;
    // "</>": the one slash closes, there is no second one to take.
    if (body.size() > i && body.back() == L'/') tag.empty = true, body.pop_back();
    size_t nameEnd = i;
    while (nameEnd < body.size() && !IsSpace(body[nameEnd])) ++nameEnd;
    tag.name = body.substr(i, nameEnd - i);
    if (size_t colon = tag.name.find(L':'); colon != std::wstring::npos) tag.name.erase(0, colon + 1);
    for (i = nameEnd; i < body.size();) {
        size_t equals = body.find(L'=', i);
        if (equals == std::wstring::npos) break;
        size_t quote = equals + 1;
        while (quote < body.size() && IsSpace(body[quote])) ++quote;
        if (quote >= body.size() || (body[quote] != L'"' && body[quote] != L'\'')) break;
        size_t close = body.find(body[quote], quote + 1);
        if (close == std::wstring::npos) break;
        size_t nameStart = i;
        while (nameStart < equals && IsSpace(body[nameStart])) ++nameStart;
        size_t nameStop = equals;
        while (nameStop > nameStart && IsSpace(body[nameStop - 1])) --nameStop;
        tag.attributes[body.substr(nameStart, nameStop - nameStart)] = body.substr(quote + 1, close - quote - 1);
        i = close + 1;
    }
    return tag;
}

} // namespace

std::optional<std::vector<DeclaredClass>> DeclaredClasses(const std::wstring& manifestPath)
{
    std::optional<std::string> bytes = ReadBytes(manifestPath);
    if (!bytes) return std::nullopt;
    return DeclaredClassesIn(*bytes);
}

std::vector<DeclaredClass> DeclaredClassesIn(const std::string& bytes)
{
    const std::wstring text = Decoded(bytes);
    std::vector<DeclaredClass> classes;
    std::wstring file;  // the <file> the scan is inside
    for (size_t at = text.find(L'<'); at < text.size(); at = text.find(L'<', at)) {
        std::optional<Tag> tag = NextTag(text, at);
        if (!tag) continue;
        if (tag->name == L"file") file = tag->closing || tag->empty ? L"" : tag->attributes[L"name"];
        else if (tag->name == L"comClass" && !tag->closing)
            classes.push_back({file, tag->attributes[L"clsid"], tag->attributes[L"progid"],
                               tag->attributes[L"threadingModel"], tag->attributes[L"tlbid"]});
    }
    return classes;
}

ActivatedManifest::ActivatedManifest(const std::wstring& manifestPath)
{
    ACTCTXW request{};
    request.cbSize = sizeof(request);
    request.lpSource = manifestPath.c_str();
    context_ = CreateActCtxW(&request);
    bool active = context_ != INVALID_HANDLE_VALUE && ActivateActCtx(context_, &cookie_);
    if (!active) {
        error_ = GetLastError();
        if (error_ == 0) error_ = ERROR_SXS_CANT_GEN_ACTCTX;
        cookie_ = 0;
    }
}

ActivatedManifest::~ActivatedManifest()
{
    if (cookie_) DeactivateActCtx(0, cookie_);
    if (context_ != INVALID_HANDLE_VALUE) ReleaseActCtx(context_);
}

} // namespace kavro::tool
