// Message boxes shown for real (under a virtual X display) and answered by a
// test: a watcher thread finds each box by caption, in any process of the
// display, reads it and presses OK.
#pragma once
#include <windows.h>

#include <atomic>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace kavro::test {

struct SeenBox {
    std::wstring text;
    std::vector<int> buttons;  // control ids of the visible buttons
};

class MessageBoxWatch {
public:
    explicit MessageBoxWatch(const wchar_t* caption = L"Kavro");
    ~MessageBoxWatch();
    MessageBoxWatch(const MessageBoxWatch&) = delete;
    MessageBoxWatch& operator=(const MessageBoxWatch&) = delete;

    // Stops watching and answers every box seen, in order.
    std::vector<SeenBox> Stop();

private:
    void Watch();

    std::wstring caption_;
    std::atomic<bool> stop_{false};
    std::vector<SeenBox> seen_;
    std::thread thread_;
};

} // namespace kavro::test
