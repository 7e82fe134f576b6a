#include "MessageBoxes.h"

#include <tlhelp32.h>

#include <algorithm>
#include <map>

namespace kavro::test {
namespace {

// Whether the process is this one or one it started (a script host, say):
// tests that run at once share a desktop, and each must see only its own boxes.
bool OursOrOurChilds(DWORD process)
{
    const DWORD self = GetCurrentProcessId();
    if (process == self) return true;
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (snapshot == INVALID_HANDLE_VALUE) return false;
    std::map<DWORD, DWORD> parentOf;
    PROCESSENTRY32W entry{};
    entry.dwSize = sizeof entry;
    for (BOOL more = Process32FirstW(snapshot, &entry); more; more = Process32NextW(snapshot, &entry))
        parentOf[entry.th32ProcessID] = entry.th32ParentProcessID;
    CloseHandle(snapshot);
    for (int depth = 0; depth < 16 && process != 0; ++depth) {
        auto parent = parentOf.find(process);
        if (parent == parentOf.end()) return false;
        process = parent->second;
        if (process == self) return true;
    }
    return false;
}

BOOL CALLBACK AddVisibleButton(HWND child, LPARAM buttons)
{
    wchar_t className[16] = {};
    GetClassNameW(child, className, 16);
    if (lstrcmpiW(className, L"Button") == 0 && IsWindowVisible(child))
        reinterpret_cast<std::vector<int>*>(buttons)->push_back(GetDlgCtrlID(child));
    return TRUE;
}

} // namespace

MessageBoxWatch::MessageBoxWatch(const wchar_t* caption) : caption_(caption), thread_([this] { Watch(); }) {}

MessageBoxWatch::~MessageBoxWatch() { Stop(); }

std::vector<SeenBox> MessageBoxWatch::Stop()
{
    stop_ = true;
    if (thread_.joinable()) thread_.join();
    return seen_;
}

void MessageBoxWatch::Watch()
{
    std::vector<HWND> answered, others;
    auto known = [](const std::vector<HWND>& boxes, HWND box) {
        return std::find(boxes.begin(), boxes.end(), box) != boxes.end();
    };
    while (!stop_) {
        for (HWND box = nullptr; (box = FindWindowExW(nullptr, box, L"#32770", caption_.c_str())) != nullptr;) {
            if (known(answered, box) || known(others, box) || !IsWindowVisible(box)) continue;
            DWORD owner = 0;
            GetWindowThreadProcessId(box, &owner);
            if (!OursOrOurChilds(owner)) {
                others.push_back(box);
                continue;
            }
            SeenBox seen;
            wchar_t text[1024] = {};
            GetDlgItemTextW(box, 0xFFFF, text, 1024);  // the static control that holds the text
            seen.text = text;
            EnumChildWindows(box, AddVisibleButton, reinterpret_cast<LPARAM>(&seen.buttons));
            seen_.push_back(seen);
            answered.push_back(box);
            PostMessageW(box, WM_COMMAND, IDOK, 0);
        }
        Sleep(10);
    }
}

} // namespace kavro::test
