// Text in and out: UTF-16 to and from a console, UTF-8 when redirected, so
// the component's Chinese messages arrive intact either way.
#pragma once
#include <windows.h>

#include <string>
#include <string_view>

namespace kavro::tool {

std::string Utf8(std::wstring_view text);
std::wstring FromUtf8(std::string_view text);

void Print(std::wstring_view text);       // standard output
void PrintError(std::wstring_view text);  // standard error

bool IsConsole(DWORD stdHandle);

// How a child process can get a handle of ours as its output.
enum class HandOver {
    kNone,         // there is none
    kConsole,      // a console: the child shares it and opens it itself; a console
                   // handle cannot be handed over (Windows 7's are pseudo-handles,
                   // which a handle list for CreateProcess rejects)
    kInheritable,  // a file or pipe: a duplicate of it is inherited
};
HandOver HandOverOf(HANDLE handle);

// Asks a yes/no question on the console; true only for an answer starting with y.
bool Confirm(std::wstring_view question);

// One line on standard error that rewrites itself; silent when standard error
// is not a console, so logs and pipes get no control characters.
class ProgressLine {
public:
    ProgressLine();
    ProgressLine(const ProgressLine&) = delete;
    ProgressLine& operator=(const ProgressLine&) = delete;
    ~ProgressLine() { Clear(); }
    void Show(std::wstring_view text);
    void Clear();

private:
    bool enabled_;
    size_t width_ = 0;
};

} // namespace kavro::tool
