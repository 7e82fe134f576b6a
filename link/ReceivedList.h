// A list handed out by HwDev.dll. It goes back to the library with its free
// function exactly once on every path after it was received, with the same
// pointer and count variables the receive filled in.
#pragma once
#include <windows.h>
#include <algorithm>
#include <cstdint>
#include <vector>

#include "frame/Errors.h"

namespace kavro {

template <class Record>
class ReceivedList {
public:
    using FreeFn = int(__stdcall*)(Record**, int*);

    // The free function is bound before the receive, so a list can always go back.
    explicit ReceivedList(FreeFn free) : free_(free) {}
    ReceivedList(const ReceivedList&) = delete;
    ReceivedList& operator=(const ReceivedList&) = delete;
    ~ReceivedList() { Release(); }

    // Hand these to the receive, then call Received().
    Record** list() { return &list_; }
    int* count() { return &count_; }
    void Received() { held_ = true; }

    // How many records the list holds, after checking that the count and
    // pointer describe memory the library can have handed out.
    std::size_t Size() const
    {
        if (count_ < 0) Raise(RunTimeError::Overflow, L"HwDev.dll returned a negative record count");
        const auto records = static_cast<std::uint64_t>(count_);
        if (records * sizeof(Record) > static_cast<std::uint64_t>(PTRDIFF_MAX))
            Raise(RunTimeError::OutOfMemory, L"HwDev.dll returned more records than fit in memory");
        if (records > 0 && !list_) Raise(E_POINTER, L"HwDev.dll returned records without a list");
        return static_cast<std::size_t>(records);
    }

    // The component's own copy of the records.
    std::vector<Record> Copy() const
    {
        std::vector<Record> copy(Size());
        if (!copy.empty()) RtlMoveMemory(copy.data(), list_, copy.size() * sizeof(Record));
        return copy;
    }

    // Hands visit each record in list order, copied out of library memory
    // before it is read, a block at a time: for a long list, one copy of the
    // whole list costs more in fresh memory pages than the walk that follows.
    template <class Visit>
    void ForEachCopied(Visit&& visit) const
    {
        const std::size_t records = Size();
        std::vector<Record> block(std::min(records, kBlockBytes / sizeof(Record)));
        for (std::size_t at = 0; at < records; at += block.size()) {
            const std::size_t n = std::min(block.size(), records - at);
            RtlMoveMemory(block.data(), list_ + at, n * sizeof(Record));
            for (std::size_t k = 0; k < n; ++k) visit(block[k]);
        }
    }

    // Bytes that a record of the list addresses (a template), copied out of
    // library memory while the list is still held. A negative length, or
    // bytes without an address, is refused before anything is read.
    std::vector<std::uint8_t> CopyAddressed(std::uint32_t address, long length) const
    {
        if (!held_) Raise(E_UNEXPECTED, L"The list was already handed back to HwDev.dll");
        if (length < 0) Raise(RunTimeError::Overflow, L"HwDev.dll returned a negative template length");
        if (length > 0 && address == 0) Raise(E_POINTER, L"HwDev.dll returned template bytes without an address");
        std::vector<std::uint8_t> bytes(static_cast<std::size_t>(length));
        if (length > 0)
            RtlMoveMemory(bytes.data(), reinterpret_cast<const void*>(static_cast<std::uintptr_t>(address)), bytes.size());
        return bytes;
    }

    void Release() noexcept
    {
        if (!held_) return;
        held_ = false;
        free_(&list_, &count_);
    }

private:
    static constexpr std::size_t kBlockBytes = 64 * 1024;

    FreeFn free_;
    Record* list_ = nullptr;
    int count_ = 0;
    bool held_ = false;
};

} // namespace kavro
