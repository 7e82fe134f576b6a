// The owner of a kernel handle (a file, a pipe end, a process, a job): closed
// once, on every path. Null and INVALID_HANDLE_VALUE both mean none.
#pragma once
#include <windows.h>

#include <utility>

namespace kavro::tool {

class Handle {
public:
    Handle() = default;
    explicit Handle(HANDLE h) : h_(h) {}
    Handle(Handle&& other) noexcept : h_(std::exchange(other.h_, nullptr)) {}
    Handle& operator=(Handle&& other) noexcept
    {
        reset(std::exchange(other.h_, nullptr));
        return *this;
    }
    Handle(const Handle&) = delete;
    Handle& operator=(const Handle&) = delete;
    ~Handle() { Close(); }

    HANDLE get() const { return h_; }
    bool valid() const { return h_ && h_ != INVALID_HANDLE_VALUE; }
    explicit operator bool() const { return valid(); }
    void reset(HANDLE h = nullptr)
    {
        Close();
        h_ = h;
    }
    // Closes it now; false when closing failed (a file's last write can fail there).
    bool Close()
    {
        bool ok = !valid() || CloseHandle(h_);
        h_ = nullptr;
        return ok;
    }

private:
    HANDLE h_ = nullptr;
};

} // namespace kavro::tool
