#include "MessageBoxes.h"

#include <algorithm>

namespace kavro::test {
namespace {

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
    std::vector<HWND> answered;
    while (!stop_) {
        HWND box = FindWindowW(L"#32770", caption_.c_str());
        if (box && std::find(answered.begin(), answered.end(), box) == answered.end() && IsWindowVisible(box)) {
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
