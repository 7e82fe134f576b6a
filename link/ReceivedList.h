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

// Whether [start, start + bytes) is committed memory this process may read. A
// count or a template address that lies would otherwise take the host down.
inline bool ReadableMemory(const void* start, std::size_t bytes)
{
    constexpr DWORD kReadable = PAGE_READONLY | PAGE_READWRITE | PAGE_WRITECOPY | PAGE_EXECUTE_READ |
                                PAGE_EXECUTE_READWRITE | PAGE_EXECUTE_WRITECOPY;
    auto at = reinterpret_cast<std::uintptr_t>(start);
    const std::uintptr_t end = at + bytes;
    if (end < at) return false;
    while (at < end) {
        MEMORY_BASIC_INFORMATION region;
        if (!VirtualQuery(reinterpret_cast<const void*>(at), &region, sizeof region)) return false;
        if (region.State != MEM_COMMIT || !(region.Protect & kReadable) || (region.Protect & PAGE_GUARD))
            return false;
        at = reinterpret_cast<std::uintptr_t>(region.BaseAddress) + region.RegionSize;
    }
    return true;
}

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
        if (!ReadableMemory(list_, static_cast<std::size_t>(records) * sizeof(Record)))
            Raise(E_POINTER, L"HwDev.dll returned more records than its list holds");
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
        const void* bytesAt = reinterpret_cast<const void*>(static_cast<std::uintptr_t>(address));
        if (!ReadableMemory(bytesAt, static_cast<std::size_t>(length)))
            Raise(E_POINTER, L"HwDev.dll returned a template outside readable memory");
        std::vector<std::uint8_t> bytes(static_cast<std::size_t>(length));
        if (length > 0)
            RtlMoveMemory(bytes.data(), bytesAt, bytes.size());
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
